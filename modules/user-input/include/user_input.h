// The PIN input service: asks the user for a PIN in a dialog.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The texts of one dialog, UTF-8: the window title, then the prompt shown above the field.
struct PromptTexts {
    const char* title;
    const char* prompt;
};

class user_input {
public:
    // The text typed when the user confirmed; empty on cancel, close, time-out, cancellation,
    // or when no dialog can be shown. Blocks the calling thread until the dialog ends.
    virtual std::string ask(const PromptTexts& texts) = 0;
    // Time-out of the dialogs that start afterwards, in seconds; 0 or less means none.
    virtual void set_timeout(int64_t seconds) = 0;
    // Ends every open dialog at once and makes every later ask return empty. Any thread.
    virtual void cancel() = 0;
    virtual ~user_input() = default;
};

class UserInputBase : public user_input {};

// Creates the service (UserInputImpl); an empty pointer when that fails.
std::shared_ptr<user_input> create_user_input();
