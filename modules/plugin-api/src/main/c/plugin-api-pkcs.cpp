#include "plugin-api-pkcs.h"

// The card commands are not built yet: the group owns no command.
bool card_command_group(const char*, json_message*, api_ctx*, json_response*) { return false; }
