// The pad and system command group: GET_PADS, COMPUTE_SIGNATURE_IMAGE, GET_SYSTEM_INFO.
#pragma once

#include "api_ctx.h"
#include "json.h"

// True when cmd is one of the group's commands; the answer or its error is then in response.
// False leaves response untouched.
bool pad_command_group(api_ctx* ctx, json_message* message, const char* cmd, json_response* response);
