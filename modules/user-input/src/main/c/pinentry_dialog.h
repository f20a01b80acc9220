// One PIN dialog over pinentry's Assuan protocol: greeting, flavour check, texts, GETPIN.
#pragma once

#include <cstdint>
#include <string>

#include "user_input.h"
#include "secret.h"

struct PinentryRequest {
    std::string program;     // absolute path of the pinentry to run
    std::string title;       // window title, UTF-8 or not
    std::string prompt;      // the description above the field, UTF-8 or not
    std::string fieldLabel;  // the labels of the field and the two buttons
    std::string okLabel;
    std::string cancelLabel;
    int64_t timeout = 0;  // seconds; 0 or less: none
    int wakeFd = -1;      // readable when the dialog must end at once
};

// The text typed when the user confirmed, cut to kPinMaxCharacters characters; empty in every
// other outcome. Never logs the text.
Utils::Secret pinentry_dialog_run(const PinentryRequest& request);

// The edit field's capacity.
constexpr std::size_t kPinMaxCharacters = 19;
