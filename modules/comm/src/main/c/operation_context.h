// The stack of descriptions of the operations in progress on one comm object, and the four
// ways a comm error is raised against it. Every message is composed as
// "Error <top>; <message>" while an operation is in progress, unchanged otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace SZidaZaru::detail {

class OperationContext {
public:
    OperationContext() : stack_{std::string()} {}

    void Push(std::string description) { stack_.push_back(std::move(description)); }
    void Pop() {
        if (stack_.size() > 1) stack_.pop_back();
    }
    const std::string& Top() const { return stack_.back(); }

    // "Error %s%s%s" with the top, "; " (only before a non-empty message) and the message,
    // cut at 2047 characters; the message itself when no operation is in progress.
    std::string Compose(const std::string& message) const;

    // "error calling <function>", code = result with bit 31 set, value 0: Utils::api_exception.
    [[noreturn]] void ThrowSystemCall(const char* function, long result) const;
    // The message, code 0, value 0: Utils::api_exception.
    [[noreturn]] void ThrowPlain(const std::string& message) const;
    // "error SW", code = the status word, value = the command word: Utils::api_exception.
    [[noreturn]] void ThrowStatusWord(uint32_t statusWord, uint32_t commandWord) const;
    // A PIN outcome: CommBase::CommException.
    [[noreturn]] void ThrowPinOutcome(int32_t code, const std::string& message, int32_t value) const;

private:
    std::deque<std::string> stack_;
};

// Pushes a description for the lifetime of the scope.
class OperationScope {
public:
    OperationScope(OperationContext& context, std::string description) : context_(context) {
        context_.Push(std::move(description));
    }
    ~OperationScope() { context_.Pop(); }
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

private:
    OperationContext& context_;
};

}  // namespace SZidaZaru::detail
