// Placeholder until the dialog lands: no dialog can be shown, so every ask is empty.
#include <atomic>

#include "user_input.h"

namespace {
class UserInputImpl : public UserInputBase {
public:
    std::string ask(const PromptTexts&) override { return {}; }
    void set_timeout(int64_t seconds) override { timeout_.store(seconds); }
    void cancel() override { cancelled_.store(1); }
    ~UserInputImpl() override { cancel(); }

private:
    std::atomic<int32_t> cancelled_{0};
    std::atomic<int64_t> timeout_{0};
};
}  // namespace

std::shared_ptr<user_input> create_user_input() { return std::make_shared<UserInputImpl>(); }
