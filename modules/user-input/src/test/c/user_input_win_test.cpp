// The secure-desktop PIN dialog under Wine with a display: the test finds the dialog on the secure
// desktop by its title and types into it, presses its buttons, closes or cancels it.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "user_input_win.h"

using namespace std::chrono;

namespace {

std::string unique_title(const char* what) {
    static std::atomic<int> serial{0};
    return std::string("Veldra ") + what + " " + std::to_string(GetCurrentProcessId()) + "." + std::to_string(serial++);
}

struct Search {
    std::wstring title;
    HWND found = nullptr;
};

BOOL CALLBACK match_window(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    wchar_t text[256] = {};
    wchar_t className[64] = {};
    GetWindowTextW(window, text, 256);
    GetClassNameW(window, className, 64);
    if (search->title == text && std::wstring(className) == L"#32770") {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The open dialog with this title on the secure desktop, waited for up to 20 s.
HWND find_dialog(const std::string& title) {
    Search search{user_input_widen(title)};
    const auto until = steady_clock::now() + seconds(20);
    // Windows are looked for from a thread of their desktop: a thread with no windows of its own
    // can join it.
    std::thread([&] {
        while (steady_clock::now() < until && !search.found) {
            HDESK desktop = OpenDesktopW(SECURE_DESKTOP_NAME, 0, FALSE, GENERIC_ALL);
            if (desktop) {
                SetThreadDesktop(desktop);
                EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
                if (!search.found) EnumDesktopWindows(desktop, match_window, reinterpret_cast<LPARAM>(&search));
                CloseDesktop(desktop);
            }
            if (!search.found) std::this_thread::sleep_for(milliseconds(50));
        }
    }).join();
    if (!search.found) fprintf(stderr, "no window titled %ls\n", search.title.c_str());
    return search.found;
}

struct Asked {
    std::future<std::string> answer;
    std::string title;
};

Asked ask_async(UserInputImpl& input, const char* what, const char* prompt = "Your PIN") {
    Asked asked;
    asked.title = unique_title(what);
    asked.answer = std::async(std::launch::async, [&input, title = asked.title, prompt] {
        PromptTexts texts{title.c_str(), prompt};
        return input.ask(texts).text();
    });
    return asked;
}

std::string wait(Asked& asked, seconds limit = seconds(20)) {
    if (asked.answer.wait_for(limit) != std::future_status::ready) return "<still open>";
    return asked.answer.get();
}

}  // namespace

TEST(PinDialogResources, DialogAndBitmapAreInTheProgram) {
    HMODULE program = GetModuleHandleW(nullptr);
    EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(PIN_DIALOG_RESOURCE), reinterpret_cast<LPCWSTR>(RT_DIALOG)),
              nullptr);
    HBITMAP bitmap = static_cast<HBITMAP>(
        LoadImageW(program, MAKEINTRESOURCEW(PIN_DIALOG_BITMAP), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    ASSERT_NE(bitmap, nullptr);
    BITMAP info{};
    GetObjectW(bitmap, sizeof info, &info);
    EXPECT_EQ(info.bmWidth, 48);
    EXPECT_EQ(info.bmHeight, 48);
    EXPECT_EQ(info.bmBitsPixel, 24);
    DeleteObject(bitmap);
}

TEST(PinDialogText, InvalidUtf8IsWidenedBytePerByte) {
    EXPECT_EQ(user_input_widen("PIN \xC3\xA9"), L"PIN \u00e9");
    EXPECT_EQ(user_input_widen("ab\xE9z"), std::wstring(L"ab") + wchar_t(0xFFE9) + L"z");
    EXPECT_EQ(user_input_widen(""), L"");
}

TEST(PinDialog, TypedTextIsTheAnswerAndTheTextsAreShown) {
    UserInputImpl input;
    input.set_timeout(61);
    Asked asked = ask_async(input, "typed", "Enter the PIN of the card");
    HWND dialog = find_dialog(asked.title);
    ASSERT_NE(dialog, nullptr) << "no dialog on the secure desktop";
    wchar_t label[128] = {};
    GetDlgItemTextW(dialog, PIN_DIALOG_LABEL, label, 128);
    EXPECT_EQ(std::wstring(label), L"Enter the PIN of the card");
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, PIN_DIALOG_EDIT), GWL_STYLE) & ES_PASSWORD);
    SetDlgItemTextW(dialog, PIN_DIALOG_EDIT, L"1234");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(wait(asked), "1234");
}

TEST(PinDialog, AnswerKeepsTheFirstNineteenCharacters) {
    UserInputImpl input;
    Asked asked = ask_async(input, "long");
    HWND dialog = find_dialog(asked.title);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextW(dialog, PIN_DIALOG_EDIT, L"1234567890123456789012345");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(wait(asked), "1234567890123456789");
}

TEST(PinDialog, CancelButtonAndClosingAnswerEmpty) {
    UserInputImpl input;
    Asked cancelled = ask_async(input, "cancel");
    HWND dialog = find_dialog(cancelled.title);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextW(dialog, PIN_DIALOG_EDIT, L"9999");
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_EQ(wait(cancelled), "");

    Asked closed = ask_async(input, "close");
    dialog = find_dialog(closed.title);
    ASSERT_NE(dialog, nullptr);
    SetDlgItemTextW(dialog, PIN_DIALOG_EDIT, L"9999");
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_EQ(wait(closed), "");
}

TEST(PinDialog, TimeOutEndsTheDialogEmpty) {
    UserInputImpl input;
    input.set_timeout(1);
    const auto start = steady_clock::now();
    Asked asked = ask_async(input, "timeout");
    EXPECT_EQ(wait(asked), "");
    const auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 15000);
}

TEST(PinDialog, CancelClosesTheOpenDialogAndLaterAsksReturnAtOnce) {
    UserInputImpl input;
    Asked asked = ask_async(input, "cancelled");
    ASSERT_NE(find_dialog(asked.title), nullptr);
    input.cancel();
    EXPECT_EQ(wait(asked), "");
    const auto start = steady_clock::now();
    Asked later = ask_async(input, "after");
    EXPECT_EQ(wait(later), "");
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 10000);
}
