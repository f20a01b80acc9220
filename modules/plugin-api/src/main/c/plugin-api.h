// Command routing: one request text in, one response text out.
#pragma once

#include "api_ctx.h"

// The response text for the request, on the heap (free() it). Never null.
char* handle_command(api_ctx* ctx, const char* jsonCommandString);
