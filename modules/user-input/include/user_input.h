// The PIN input service: asks the user for a PIN in a dialog.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "secret.h"

// What the PIN will do once the card has it.
enum class PinUse { Check, Sign, LogIn };

// The texts of one dialog, UTF-8: the window title, then the prompt shown above the field.
// With a site (the requesting page's origin, checked by the caller), the dialog's own lines name the
// site and the use, and title and prompt are the site's own words, shown after them, bounded and
// marked as the site's; they may then be empty.
struct PromptTexts {
    const char* title;
    const char* prompt;
    const char* site = nullptr;
    PinUse use = PinUse::Check;
};

class user_input {
public:
    // The text typed when the user confirmed; empty on cancel, close, time-out, cancellation,
    // or when no dialog can be shown. Blocks the calling thread until the dialog ends.
    virtual Utils::Secret ask(const PromptTexts& texts) = 0;
    // Time-out of the dialogs that start afterwards, in seconds; 0 or less means none.
    virtual void set_timeout(int64_t seconds) = 0;
    // Ends every open dialog at once and makes every later ask return empty. Any thread.
    virtual void cancel() = 0;
    virtual ~user_input() = default;
};

// What every platform's service keeps alike: the time-out of the dialogs that start afterwards, and
// the cancellation, never undone. A service is not copied.
class UserInputBase : public user_input {
public:
    UserInputBase() = default;
    UserInputBase(const UserInputBase&) = delete;
    UserInputBase& operator=(const UserInputBase&) = delete;

    void set_timeout(int64_t seconds) override { timeout_.store(seconds); }
    bool is_cancelled() const { return cancelled_.load() != 0; }
    int64_t timeout_seconds() const { return timeout_.load(); }

protected:
    // Marks the service cancelled; true for the first call only.
    bool mark_cancelled() { return cancelled_.exchange(1) == 0; }

private:
    std::atomic<int32_t> cancelled_{0};
    std::atomic<int64_t> timeout_{0};
};

// Creates the service (UserInputImpl); an empty pointer when that fails.
std::shared_ptr<user_input> create_user_input();

#ifndef _WIN32
// The pinentry program that a dialog runs: the first executable "pinentry" on the PATH (the
// system's default, /bin:/usr/bin, when PATH is unset); empty when there is none. Empty entries
// of PATH, which would mean the working directory, are skipped.
std::string user_input_find_pinentry();

// A flavour that draws on a terminal ("curses", "tty", "gtk2:curses", ...): the host has none.
bool pinentry_flavor_needs_terminal(const std::string& flavor);

// The flavour that program reports for this process's environment (GETINFO flavor, then BYE; no
// window is shown), as a dialog would see it; empty, with the reason in error, when it does not
// answer within a few seconds.
std::string pinentry_query_flavor(const std::string& program, std::string& error);
#endif
