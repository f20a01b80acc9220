// The toolkit the card command handlers share: request members, bounded hex members, opening the
// library and the reader, the PIN-verification listener, the PIN result members, and the
// CommandException type with its two answer writers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_ctx.h"
#include "api_exception.h"
#include "comm_base.h"
#include "json.h"
#include "scard_comm.h"
#include "secret.h"

// A remaining-attempts count that is not known: the member is left out.
constexpr int32_t NO_ATTEMPTS = -1234;
// The request's limit after a user interaction (the PIN dialog, a PIN verification), counted from its end.
constexpr int32_t PIN_INTERACTION_SECONDS = 10;

class CommandException;
using ResponseWriter = void (*)(const CommandException& exception, json_response* response);

// The error object with the exception's code, id and message.
void write_error_response(const CommandException& exception, json_response* response);
// The wrong-PIN object: {"pinRemainingAttempts":N,"pinValid":false,"valid":false}, the count left
// out when the id is NO_ATTEMPTS.
void write_pin_failure_response(const CommandException& exception, json_response* response);

// A card command's failure, answered by its response_writer.
class CommandException : public Utils::api_exception {
public:
    // id equals code.
    CommandException(const std::string& message, int32_t code);
    CommandException(const std::string& message, int32_t code, int32_t id, ResponseWriter writer);
    // "Timeout entering PIN or cancelled by user.", id 12.
    static CommandException timeout(int32_t code);

    int32_t id() const noexcept { return value(); }
    void response_writer(json_response* response) const { writer_(*this, response); }

private:
    ResponseWriter writer_;
};

// printf-style text cut at 2047 characters.
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The answer for a comm failure caught while doing what context says; code is the error code of
// that step. The PIN outcomes of CommException become their own answers.
CommandException to_command_exception(const Utils::api_exception& caught, const std::string& context, int32_t code);

// Runs step; a Failure it throws becomes to_command_exception(failure, context, code). A
// CommandException passes unchanged: it is an answer already.
template <typename Failure = Utils::api_exception, typename Step>
void with_comm_failures_answered(const std::string& context, int32_t code, Step&& step) {
    try {
        step();
    } catch (const CommandException&) {
        throw;
    } catch (const Failure& e) {
        throw to_command_exception(e, context, code);
    }
}

// A member's raw value, at most 254 characters. Absent: the default (and missing set) when optional,
// else "Message [%s] misses a field named [%s]" with code 99.
std::string read_field(const json_message* message, const char* name, const char* defaultValue = "",
                       bool optional = false, bool* missing = nullptr);
// An optional member that may hold a secret (the PIN, a PIN token), at most 254 characters; empty
// (and missing set) when absent. The value passes through no buffer that is not wiped.
Utils::Secret read_secret_field(const json_message* message, const char* name, bool* missing = nullptr);
// The bytes of a hex text. With a display name, invalid hex or more than maxBytes (when not 0)
// fails with "Invalid %s [%s]. Should be maximum %d hex characters" and errorCode; without one,
// invalid hex gives no bytes.
std::vector<uint8_t> read_hex_field(const std::string& text, int32_t errorCode, const char* displayName,
                                    size_t maxBytes);

std::shared_ptr<CommBase::ICommLibrary> open_library(CommBase::ICommFactory& factory, const std::string& name);
// readerName: the "reader" member's raw text, its string escapes decoded here. With ctx: connects
// and installs pin_interaction_listener.
std::shared_ptr<CommBase::ICommReader> open_reader(CommBase::ICommLibrary& library, const std::string& readerName,
                                                   api_ctx* ctx);
// The PC/SC view of reader; null when not possible, or "operation not supported for library" (99)
// when required.
SZidaZaru::ISCardReader* as_scard_reader(CommBase::ICommReader* reader, bool required);

// Ends the command with std::runtime_error("expired") once the request's time limit has fired: the
// engine has answered for it already.
void throw_if_expired(Watcher* watcher);

// The listener a reader calls around each PIN verification: pauses the request's time limit while
// the card (or the user on a PIN pad) verifies, and gives it 10 seconds from the end.
std::function<void(bool)> pin_interaction_listener(api_ctx* ctx);

// "pinToken" (valid and token not empty), "pinRemainingAttempts" (PC/SC readers), "pinValid",
// "valid"; a "," after each but the last member when last is set.
void write_pin_result(json_response* response, bool valid, CommBase::ICommReader* reader, const std::string& token,
                      bool last);
