// Where a card command's PIN comes from: a still-valid PIN token, the "pin" member, the reader's
// own PIN pad, or the PIN dialog, in that order.
#pragma once

#include <string>

#include "api_ctx.h"
#include "comm_base.h"
#include "json.h"
#include "pin_token.h"
#include "secret.h"
#include "user_input.h"

// The PIN to present to the card (empty when the reader collects it) and a new token (or empty).
// The PIN is wiped when the record goes; the record moves but is never copied.
struct PinAndToken {
    std::string token;
    Utils::Secret pin;
};

// Members "pinToken", "pin", "entry_title", "entry_message". The token issued is valid for
// PIN_TOKEN_LIFETIME_MS and bound to the card in reader, to ctx's origin and to ctx's site (the
// requesting page, when the request names it); a token made for another card, origin or site, or
// made without a site for a request with one, or the other way round, counts as absent. Without a
// master key in ctx, or for a card that gives no serial number, no token is read or issued. The
// dialog is told the site and what the PIN is for (use).
// A reader that collects the PIN itself (PIN pad) or skips it gets no PIN from the request and no
// token: the host never saw the PIN the card checked.
PinAndToken acquire_pin(CommBase::ICommLibrary& library, CommBase::ICommReader& reader, const json_message* message,
                        api_ctx* ctx, PinUse use);

// Checks the PIN rule (1 to 12 ASCII digits; code 9 otherwise) and seals a new token bound to
// binding (none without a cipher).
PinAndToken validate_and_seal_pin(const PinTokenCipher* cipher, Utils::Secret pin, const std::string& binding);
