// The card command group: GET_READERS, READ_FILE, PIN_PAD_AVAILABLE, VERIFY_PIN,
// COMPUTE_SIGNATURE, COMPUTE_AUTHENTICATION.
#pragma once

#include "api_ctx.h"
#include "json.h"

// True when cmd is one of the group's commands; the answer or its error is then in response.
// False leaves response untouched.
bool card_command_group(const char* cmd, json_message* message, api_ctx* ctx, json_response* response);
