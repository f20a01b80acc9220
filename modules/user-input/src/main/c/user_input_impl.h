// The PIN input service on Linux: every ask runs the pinentry found on the PATH as its dialog.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "user_input.h"

class UserInputImpl : public UserInputBase {
public:
    // Throws std::system_error when the wake-up descriptor cannot be made.
    UserInputImpl();
    ~UserInputImpl() override;

    Utils::Secret ask(const PromptTexts& texts) override;
    void cancel() override;

private:
    // An eventfd written once by cancel and never read: readable for good, it ends every open
    // dialog's wait at once and every later one before it starts.
    int wakeFd = -1;
    // One dialog at a time: pinentry grabs the keyboard, and a second one on the same display would
    // fail at once in a way that cannot be told from the user's Cancel.
    std::mutex dialogMutex;
};
