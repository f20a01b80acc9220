// The PIN input service on Linux: every ask runs the pinentry found on the PATH as its dialog.
#pragma once

#include <atomic>
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
    UserInputImpl(const UserInputImpl&) = delete;
    UserInputImpl& operator=(const UserInputImpl&) = delete;

    std::string ask(const PromptTexts& texts) override;
    void set_timeout(int64_t seconds) override;
    void cancel() override;

private:
    std::atomic<int32_t> cancelled{0};  // 1 once cancelled, never reset
    std::atomic<int64_t> timeout{0};    // seconds for the dialogs that start afterwards
    // An eventfd written once by cancel and never read: readable for good, it ends every open
    // dialog's wait at once and every later one before it starts.
    int wakeFd = -1;
    // One dialog at a time: pinentry grabs the keyboard, and a second one on the same display would
    // fail at once in a way that cannot be told from the user's Cancel.
    std::mutex dialogMutex;
};
