#include "plugin-api-ext.h"

// The pad and system commands are not built yet: the group owns no command.
bool pad_command_group(api_ctx*, json_message*, const char*, json_response*) { return false; }
