#include "plugin-api-pkcs-pin.h"

#include <memory>

#include "clock.h"
#include "log.h"
#include "plugin-api-pkcs-support.h"
#include "scard_comm.h"
#include "user_input.h"
#include "veldra_assert.h"

namespace {

constexpr size_t PIN_MAX_DIGITS = 12;

bool follows_pin_rule(const std::string& pin) {
    if (pin.empty() || pin.size() > PIN_MAX_DIGITS) return false;
    for (char c : pin)
        if (c < '0' || c > '9') return false;
    return true;
}

// Leading, then trailing spaces and tabs removed.
Utils::Secret trim_blanks(const Utils::Secret& text) {
    const std::string_view view(text.text());
    const size_t first = view.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const size_t last = view.find_last_not_of(" \t");
    return Utils::Secret::copy_of(view.substr(first, last - first + 1));
}

// A member's text for the dialog: for a request that names its site, with its JSON escapes decoded
// (the dialog then shows it as the site's own words); else as it is written.
std::string dialog_field(const json_message* message, const char* name, const char* specified, const char* site) {
    if (!site) return read_field(message, name, specified, true);
    const std::string raw = read_field(message, name, "", true);
    std::string text;
    return json_unescape(raw.data(), raw.size(), text) ? text : raw;
}

// Asks the user; the request's time limit does not run while the dialog is open, and counts
// PIN_INTERACTION_SECONDS from its end.
Utils::Secret ask_user(user_input& input, const json_message* message, Watcher* watcher, const char* site, PinUse use) {
    const std::string title = dialog_field(message, "entry_title", "PIN Code Entry", site);
    const std::string prompt =
        dialog_field(message, "entry_message", "Please provide PIN code for requested operation:", site);
    if (!watcher_pause(watcher)) throw_if_expired(watcher);  // refused once the limit has fired
    Utils::Secret typed;
    try {
        typed = input.ask(PromptTexts{title.c_str(), prompt.c_str(), site, use});
    } catch (...) {
        typed.clear();
    }
    LOG_DEBUG("Got user input pin *** (%d)", static_cast<int>(typed.size()));
    watcher_resume(watcher, PIN_INTERACTION_SECONDS);
    return typed;
}

// The card's serial number, which it gives before any PIN is sent (the card recognition reads it);
// empty for a card that gives none, or whose token information cannot be read.
std::vector<uint8_t> card_identity(CommBase::ICommReader& reader) {
    SZidaZaru::ISCardReader* scard = as_scard_reader(&reader, false);
    if (!scard) return {};
    scard->GetCardType();
    return scard->GetCardSerial();
}

}  // namespace

PinAndToken validate_and_seal_pin(const PinTokenCipher* cipher, Utils::Secret pin, const std::string& binding) {
    if (!follows_pin_rule(pin.text()))
        throw CommandException(
            "Malformed PIN. It should only contain numbers, at least one digit and at most 12 digits", 9);
    const int64_t expiry = Utils::calendar_ms() / 1000 * 1000 + PIN_TOKEN_LIFETIME_MS;
    PinAndToken result;
    if (cipher) result.token = cipher->Seal(pin, expiry, binding);
    result.pin = std::move(pin);
    return result;
}

PinAndToken acquire_pin(CommBase::ICommLibrary& library, CommBase::ICommReader& reader, const json_message* message,
                        api_ctx* ctx, PinUse use) {
    Watcher* watcher = ctx ? ctx->watcher : nullptr;
    throw_if_expired(watcher);
    // The reader's keypad collects the PIN, or the reader skips it: whatever the request holds is
    // not what the card checks, so it is neither used nor sealed into a token.
    if (reader.IsPinPadReader() || library.HasCapability()) return PinAndToken();

    // A card that tells no identity cannot be told from another such card: no token is opened or
    // issued for it.
    const std::vector<uint8_t> identity = card_identity(reader);
    std::unique_ptr<PinTokenCipher> cipher;
    if (ctx && ctx->key && ctx->key_length == MASTER_KEY_LENGTH && !identity.empty())
        cipher = std::make_unique<PinTokenCipher>(ctx->key);
    const char* site = ctx ? ctx->site : nullptr;
    const std::string binding = pin_token_binding(identity, ctx && ctx->origin ? ctx->origin : "", site);

    Utils::Secret token = read_secret_field(message, "pinToken");
    if (!token.empty()) {
        LOG_DEBUG("Found pin token");
        Utils::Secret pin;
        try {
            if (cipher) pin = cipher->Open(token, binding);
        } catch (...) {
            pin.clear();
        }
        if (!pin.empty()) {
            LOG_DEBUG("Extracted token pin *** (%d)", static_cast<int>(pin.size()));
            return validate_and_seal_pin(cipher.get(), std::move(pin), binding);
        }
        LOG_DEBUG("Pin token not usable here (expired, altered, or made for another card, origin or site)");
        token.clear();
    }

    bool missing = false;
    Utils::Secret pin = read_secret_field(message, "pin", &missing);
    if (!missing) return validate_and_seal_pin(cipher.get(), std::move(pin), binding);
    VELDRA_ASSERT(pin.empty());

    if (ctx && ctx->input) {
        const Utils::Secret typed = ask_user(*ctx->input, message, watcher, site, use);
        if (typed.empty()) throw CommandException::timeout(9);
        return validate_and_seal_pin(cipher.get(), trim_blanks(typed), binding);
    }
    read_field(message, "pin");  // throws: no source at all
    return PinAndToken();
}
