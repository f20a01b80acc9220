#include "user_input_win.h"

#include <windows.h>

#include <memory>
#include <utility>

#include "dialog_texts.h"
#include "log.h"
#include "secret.h"

namespace {

constexpr UINT_PTR TIMEOUT_TIMER = 1;
constexpr BYTE BACKDROP_DIM_ALPHA = 0xC0;

HMODULE this_module() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&this_module), &module);
    return module;
}

LRESULT CALLBACK backdrop_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT) return DefWindowProcW(window, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC target = BeginPaint(window, &paint);
    const auto bitmap = reinterpret_cast<HBITMAP>(GetWindowLongPtrW(window, GWLP_USERDATA));
    RECT area{};
    GetWindowRect(window, &area);
    if (bitmap) {
        HDC memory = CreateCompatibleDC(target);
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(target, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        DeleteDC(memory);
    }
    EndPaint(window, &paint);
    return 0;
}

// The screen at about a quarter of its brightness.
HBITMAP dimmed_screen() {
    HDC screen = GetDC(nullptr);
    if (!screen) return nullptr;
    RECT client{};
    GetClientRect(GetDesktopWindow(), &client);
    const int width = client.right - client.left, height = client.bottom - client.top;
    HDC capture = CreateCompatibleDC(screen);
    HDC black = CreateCompatibleDC(screen);
    HBITMAP image = CreateCompatibleBitmap(screen, width, height);
    HBITMAP shade = CreateCompatibleBitmap(screen, width, height);
    if (capture && black && image && shade) {
        HGDIOBJ oldCapture = SelectObject(capture, image);
        BitBlt(capture, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        HGDIOBJ oldBlack = SelectObject(black, shade);
        RECT all{0, 0, width, height};
        FillRect(black, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
        const BLENDFUNCTION blend{AC_SRC_OVER, 0, BACKDROP_DIM_ALPHA, 0};
        AlphaBlend(capture, 0, 0, width, height, black, 0, 0, width, height, blend);
        SelectObject(black, oldBlack);
        SelectObject(capture, oldCapture);
    }
    if (shade) DeleteObject(shade);
    if (black) DeleteDC(black);
    if (capture) DeleteDC(capture);
    ReleaseDC(nullptr, screen);
    return image;
}

// The separate desktop with the dimmed backdrop, for the life of one dialog; everything is put
// back and released on destruction. Failures leave the dialog on the thread's own desktop.
class SecureDesktopGuard {
public:
    SecureDesktopGuard() {
        previousDesktop = GetThreadDesktop(GetCurrentThreadId());
        SetProcessDPIAware();
        backdropBitmap = dimmed_screen();
        RECT area{};
        GetWindowRect(GetDesktopWindow(), &area);
        constexpr ACCESS_MASK access = DESKTOP_CREATEWINDOW | DESKTOP_SWITCHDESKTOP;
        secureDesktop = OpenDesktopW(SECURE_DESKTOP_NAME, 0, FALSE, access);
        if (!secureDesktop) secureDesktop = CreateDesktopW(SECURE_DESKTOP_NAME, nullptr, nullptr, 0, access, nullptr);
        if (secureDesktop) {
            SwitchDesktop(secureDesktop);
            SetThreadDesktop(secureDesktop);
        }
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = backdrop_procedure;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = BACKDROP_WINDOW_CLASS;
        RegisterClassW(&windowClass);  // fails harmlessly when a previous dialog registered it
        backdropWindow =
            CreateWindowExW(0, BACKDROP_WINDOW_CLASS, L"", WS_POPUP | WS_VISIBLE | WS_DISABLED, area.left, area.top,
                            area.right, area.bottom, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (backdropWindow) {
            SetWindowLongPtrW(backdropWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(backdropBitmap));
            InvalidateRect(backdropWindow, nullptr, FALSE);
        }
    }
    ~SecureDesktopGuard() {
        // The backdrop is destroyed, not only minimised: the thread must own no window on the
        // secure desktop when it goes back to its own.
        if (backdropWindow) DestroyWindow(backdropWindow);
        if (previousDesktop) {
            SwitchDesktop(previousDesktop);
            SetThreadDesktop(previousDesktop);
        }
        if (secureDesktop) CloseDesktop(secureDesktop);
        if (backdropBitmap) DeleteObject(backdropBitmap);
    }
    SecureDesktopGuard(const SecureDesktopGuard&) = delete;
    SecureDesktopGuard& operator=(const SecureDesktopGuard&) = delete;

private:
    HDESK previousDesktop = nullptr;
    HDESK secureDesktop = nullptr;
    HWND backdropWindow = nullptr;
    HBITMAP backdropBitmap = nullptr;
};

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto* request = reinterpret_cast<PinRequest*>(lParam);
        // The window is published before the flag is read: a cancel that comes later finds it.
        request->window.exchange(dialog);
        if (request->owner->is_cancelled()) {
            EndDialog(dialog, 0);
            return 0;
        }
        const int64_t milliseconds = request->owner->timeout_seconds() * 1000;
        if (milliseconds > 0) {
            const UINT period = milliseconds > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<UINT>(milliseconds);
            SetTimer(dialog, TIMEOUT_TIMER, period, nullptr);
        }
        SetWindowTextW(dialog, user_input_widen(request->title).c_str());
        SetDlgItemTextW(dialog, PIN_DIALOG_LABEL, user_input_widen(request->prompt).c_str());
        if (!request->okLabel.empty()) SetDlgItemTextW(dialog, IDOK, user_input_widen(request->okLabel).c_str());
        if (!request->cancelLabel.empty())
            SetDlgItemTextW(dialog, IDCANCEL, user_input_widen(request->cancelLabel).c_str());
        // What the field shows is what the answer holds: no more than the text buffer keeps.
        SendDlgItemMessageW(dialog, PIN_DIALOG_EDIT, EM_LIMITTEXT, PIN_DIALOG_TEXT_BUFFER - 1, 0);
        SetWindowPos(dialog, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
        SetForegroundWindow(dialog);
        SetFocus(GetDlgItem(dialog, PIN_DIALOG_EDIT));
        return 0;
    }
    case WM_TIMER:
        KillTimer(dialog, TIMEOUT_TIMER);
        EndDialog(dialog, 0);
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            auto* request = reinterpret_cast<PinRequest*>(GetWindowLongPtrW(dialog, DWLP_USER));
            char text[PIN_DIALOG_TEXT_BUFFER] = {};
            GetDlgItemTextA(dialog, PIN_DIALOG_EDIT, text, PIN_DIALOG_TEXT_BUFFER);
            request->result = Utils::Secret::copy_of(text);
            Utils::wipe(text);
            EndDialog(dialog, 0);
            return 1;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, 0);
            return 1;
        }
        return 0;
    default: return 0;
    }
}

}  // namespace

std::wstring user_input_widen(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size > 0) {
        std::wstring wide(static_cast<size_t>(size), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
        return wide;
    }
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<int16_t>(static_cast<signed char>(c))));
    return wide;
}

UserInputImpl::~UserInputImpl() { cancel(); }

Utils::Secret UserInputImpl::ask(const PromptTexts& texts) {
    const HMODULE module = this_module();
    const bool forSite = texts.site && *texts.site;
    DialogTexts shown = dialog_texts(texts);
    std::list<PinRequest>::iterator request;
    {
        std::lock_guard<std::mutex> lock(requestsMutex);
        request = requests.emplace(requests.end());
        request->owner = this;
        request->title = std::move(shown.title);
        request->prompt = std::move(shown.description);
        if (forSite) {
            request->okLabel = std::move(shown.okLabel);
            request->cancelLabel = std::move(shown.cancelLabel);
        }
    }
    {
        SecureDesktopGuard desktop;
        const int resource = forSite ? PIN_DIALOG_SITE_RESOURCE : PIN_DIALOG_RESOURCE;
        const INT_PTR outcome = DialogBoxParamW(module, MAKEINTRESOURCEW(resource), nullptr, dialog_procedure,
                                                reinterpret_cast<LPARAM>(&*request));
        if (outcome == -1) LOG_API("PIN dialog could not be shown (error %lu)", GetLastError());
    }
    Utils::Secret result = std::move(request->result);  // the move wipes the request's copy
    std::lock_guard<std::mutex> lock(requestsMutex);
    requests.erase(request);
    return result;
}

void UserInputImpl::cancel() {
    mark_cancelled();
    std::lock_guard<std::mutex> lock(requestsMutex);
    for (PinRequest& request : requests)
        if (void* window = request.window.load()) PostMessageW(static_cast<HWND>(window), WM_CLOSE, 0, 0);
}
