// The PIN input service on Windows: a modal dialog (resource 101) on the separate desktop
// "OstrevaneSecureDesktop", over a dimmed still of the user's screen.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "user_input.h"

// Dialog resources and their controls: 101 for a caller's own texts, 102 (a taller description)
// for a dialog that names the requesting site.
constexpr int PIN_DIALOG_RESOURCE = 101;
constexpr int PIN_DIALOG_SITE_RESOURCE = 102;
constexpr int PIN_DIALOG_BITMAP = 104;
constexpr int PIN_DIALOG_LABEL = 1001;
constexpr int PIN_DIALOG_EDIT = 1002;
// The text read back from the field: at most 19 characters.
constexpr int PIN_DIALOG_TEXT_BUFFER = 20;

constexpr const wchar_t* SECURE_DESKTOP_NAME = L"OstrevaneSecureDesktop";
constexpr const wchar_t* BACKDROP_WINDOW_CLASS = L"OstrevanePluginLocker";

class UserInputImpl;

// One open dialog.
struct PinRequest {
    UserInputImpl* owner;
    std::string title;
    std::string prompt;
    std::string okLabel;  // empty: the resource's own
    std::string cancelLabel;
    std::atomic<void*> window{nullptr};  // the dialog's HWND once it exists
    Utils::Secret result;
};

class UserInputImpl : public UserInputBase {
public:
    UserInputImpl() = default;
    ~UserInputImpl() override;

    Utils::Secret ask(const PromptTexts& texts) override;
    void cancel() override;

private:
    std::mutex requestsMutex;
    std::list<PinRequest> requests;  // the open dialogs
};

// UTF-8 to UTF-16; text that is not valid UTF-8 is widened byte by byte, each byte as a signed
// 8-bit value (so ASCII stays as it is and bytes 80..FF become FF80..FFFF).
std::wstring user_input_widen(const std::string& text);
