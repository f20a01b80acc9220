#include "plugin-api-pkcs-support.h"

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

#include "hex.h"
#include "log.h"
#include "secret.h"

namespace {

constexpr size_t FIELD_BUFFER_SIZE = 256;
constexpr size_t FORMAT_LIMIT = 2048;  // 2047 characters and the NUL

}  // namespace

std::string format_text(const char* format, ...) {
    char buffer[FORMAT_LIMIT];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void write_error_response(const CommandException& exception, json_response* response) {
    json_response_error_with_id(response, exception.code(), exception.id(), "%s", exception.message().c_str());
}

void write_pin_failure_response(const CommandException& exception, json_response* response) {
    json_response_begin(response);
    if (exception.id() != NO_ATTEMPTS) json_response_add_int(response, "pinRemainingAttempts", exception.id(), false);
    json_response_add_bool(response, "pinValid", false, false);
    json_response_add_bool(response, "valid", false, true);
    json_response_end(response);
}

CommandException::CommandException(const std::string& message, int32_t code)
    : CommandException(message, code, code, write_error_response) {}

CommandException::CommandException(const std::string& message, int32_t code, int32_t id, ResponseWriter writer)
    : Utils::api_exception(message, code, id), writer_(writer) {}

CommandException CommandException::timeout(int32_t code) {
    return CommandException("Timeout entering PIN or cancelled by user.", code, 12, write_error_response);
}

CommandException to_command_exception(const Utils::api_exception& caught, const std::string& context, int32_t code) {
    if (dynamic_cast<const CommBase::CommException*>(&caught)) {
        switch (caught.code()) {
        case CommBase::kCardBlocked:
            return CommandException("Card blocked, no remaining pin attempts.", 99, 13, write_error_response);
        case CommBase::kPinTimeoutOrCancelled: return CommandException::timeout(99);
        case CommBase::kInvalidPinNoCount:
            return CommandException("", NO_ATTEMPTS, NO_ATTEMPTS, write_pin_failure_response);
        case CommBase::kInvalidPin:
            return CommandException("", caught.value(), caught.value(), write_pin_failure_response);
        default: break;
        }
    }
    return CommandException(format_text("%s (Comm %#x) (%#x)", context.c_str(), static_cast<unsigned>(caught.code()),
                                        static_cast<unsigned>(caught.value())),
                            code);
}

Utils::Secret read_secret_field(const json_message* message, const char* name, bool* missing) {
    char value[FIELD_BUFFER_SIZE];
    const Utils::WipeOnExit wipeValue{value};
    const bool found = json_get_value(message, name, value, sizeof value);
    if (missing) *missing = !found;
    return found ? Utils::Secret::copy_of(value) : Utils::Secret();
}

std::string read_field(const json_message* message, const char* name, const char* defaultValue, bool optional,
                       bool* missing) {
    bool absent = false;
    const Utils::Secret value = read_secret_field(message, name, &absent);
    if (missing) *missing = absent;
    if (!absent) return value.text();
    if (optional) return defaultValue;
    // The answer quotes the request with its PIN and token masked: answers end up in logs.
    throw CommandException(
        format_text("Message [%s] misses a field named [%s]", log_mask_secrets(message->text).c_str(), name), 99);
}

std::vector<uint8_t> read_hex_field(const std::string& text, int32_t errorCode, const char* displayName,
                                    size_t maxBytes) {
    std::vector<uint8_t> bytes(text.size() / 2 + 1);
    const int decoded = hex_to_bytes(text.c_str(), bytes.data(), bytes.size());
    const bool invalid = decoded < 0;
    const bool tooLong = maxBytes != 0 && decoded > static_cast<int>(maxBytes);
    if (displayName && *displayName && (invalid || tooLong))
        throw CommandException(format_text("Invalid %s [%s]. Should be maximum %d hex characters", displayName,
                                           text.c_str(), static_cast<int>(maxBytes * 2)),
                               errorCode);
    bytes.resize(invalid ? 0 : static_cast<size_t>(decoded));
    return bytes;
}

std::shared_ptr<CommBase::ICommLibrary> open_library(CommBase::ICommFactory& factory, const std::string& name) {
    auto library = factory.OpenLibrary(name);
    if (!library) throw CommandException(format_text("Invalid library [%s]", name.c_str()), 0);
    return library;
}

std::shared_ptr<CommBase::ICommReader> open_reader(CommBase::ICommLibrary& library, const std::string& readerName,
                                                   api_ctx* ctx) {
    // The member as a JSON encoder wrote the name that GET_READERS listed.
    std::string name;
    auto reader = json_unescape(readerName.data(), readerName.size(), name) ? library.GetReader(name) : nullptr;
    if (!reader) throw CommandException(format_text("Card reader [%s] not found", readerName.c_str()), 0);
    if (ctx) {
        with_comm_failures_answered<CommBase::CommException>(
            format_text("No (valid) card present in [%s]", readerName.c_str()), 1, [&] {
                reader->Connect();
                reader->SetPinPadListener(pin_interaction_listener(ctx));
            });
    }
    return reader;
}

SZidaZaru::ISCardReader* as_scard_reader(CommBase::ICommReader* reader, bool required) {
    auto* scard = dynamic_cast<SZidaZaru::ISCardReader*>(reader);
    if (!scard && required) throw CommandException("operation not supported for library", 99);
    return scard;
}

void throw_if_expired(Watcher* watcher) {
    if (!watcher || !watcher->expired.load()) return;
    LOG_DEBUG("Experienced TIMEOUT; aborting processing ...");
    throw std::runtime_error("expired");
}

std::function<void(bool)> pin_interaction_listener(api_ctx* ctx) {
    Watcher* watcher = ctx ? ctx->watcher : nullptr;
    return [watcher](bool start) {
        if (start) {
            LOG_DEBUG("user interaction start");
            if (!watcher_pause(watcher)) throw_if_expired(watcher);  // refused once the limit has fired
        } else {
            watcher_resume(watcher, PIN_INTERACTION_SECONDS);
            LOG_DEBUG("user interaction end");
        }
    };
}

// The answer that carries a new token is not wiped, unlike the PIN and the request: the token is
// made to be handed out, and the caller keeps it as plain text; it opens only under this user's
// master key, for the card and the origin it is bound to; and the host writes no core file
// (secure_process_start). Wiping the answer's copies on their way out would protect nothing more.
void write_pin_result(json_response* response, bool valid, CommBase::ICommReader* reader, const std::string& token,
                      bool last) {
    if (valid && !token.empty()) json_response_add_string(response, "pinToken", token.c_str(), false);
    if (auto* scard = as_scard_reader(reader, false))
        json_response_add_int(response, "pinRemainingAttempts", scard->GetRemainingAttempts(), false);
    json_response_add_bool(response, "pinValid", valid, false);
    json_response_add_bool(response, "valid", valid, last);
}
