#include "plugin-api-pkcs.h"

#include "plugin-api-pkcs-handlers.h"
#include "scard_comm.h"

bool card_command_group(const char* cmd, json_message* message, api_ctx* ctx, json_response* response) {
    SZidaZaru::SCardFactory factory;  // stateless; the libraries and readers it opens live for this call
    return run_card_command(factory, cmd, message, ctx, response);
}
