// veldra-pin-dialog-typer PIN | --cancel: a test program that plays the user of the host's PIN
// dialog from outside the host, as scripts/windows-test needs it: it waits (up to 30 s) for the
// dialog on the secure desktop, writes its title and its description (UTF-8, one line each, the
// description's line breaks as they are) to standard output, types PIN into its field and presses OK,
// or presses Cancel. Exit status 0 once done, 1 when no dialog came.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

#include "user_input_win.h"

namespace {

BOOL CALLBACK find_pin_dialog(HWND window, LPARAM found) {
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (std::wcscmp(className, L"#32770") != 0 || !GetDlgItem(window, PIN_DIALOG_EDIT)) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

HWND wait_for_dialog() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    HWND found = nullptr;
    while (!found && std::chrono::steady_clock::now() < until) {
        if (HDESK desktop = OpenDesktopW(SECURE_DESKTOP_NAME, 0, FALSE, GENERIC_ALL)) {
            SetThreadDesktop(desktop);
            EnumDesktopWindows(desktop, find_pin_dialog, reinterpret_cast<LPARAM>(&found));
            CloseDesktop(desktop);
        }
        if (!found) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return found;
}

void print_utf8(const std::wstring& text) {
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr,
                            nullptr);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
}

std::wstring window_text(HWND window) {
    wchar_t text[2048] = {};
    GetWindowTextW(window, text, 2048);
    return text;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    const HWND dialog = wait_for_dialog();
    if (!dialog) return 1;
    _setmode(_fileno(stdout), _O_BINARY);  // line breaks as they are
    print_utf8(window_text(dialog));
    print_utf8(window_text(GetDlgItem(dialog, PIN_DIALOG_LABEL)));
    std::fflush(stdout);
    const bool cancel = std::wcscmp(argv[1], L"--cancel") == 0;
    if (!cancel) SendMessageW(GetDlgItem(dialog, PIN_DIALOG_EDIT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[1]));
    PostMessageW(dialog, WM_COMMAND, cancel ? IDCANCEL : IDOK, 0);
    return 0;
}
