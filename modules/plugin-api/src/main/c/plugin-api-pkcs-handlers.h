// The card command handlers. One PluginApi per group call, holding the comm factory of that call.
#pragma once

#include <cstdint>
#include <string>

#include "api_ctx.h"
#include "comm_base.h"
#include "json.h"
#include "log.h"

// ATR prefix of the 1.8 card generation, and the classic ATR reported in its place.
inline constexpr uint8_t BEID18_ATR_PREFIX[20] = {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0,
                                                  0x85, 0x04, 0x01, 0x20, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00};
inline constexpr uint8_t BEID_CLASSIC_ATR[13] = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03,
                                                 0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};

// The card commands' own namespace: the request engine's interface is the global PluginApi.
namespace CardCommands {

class PluginApi {
public:
    explicit PluginApi(CommBase::ICommFactory& factory) : factory(factory) {}

    void getReaders(api_ctx* ctx, json_message* message, json_response* response);
    void readFile(api_ctx* ctx, json_message* message, json_response* response);
    void pinPadAvailable(api_ctx* ctx, json_message* message, json_response* response);
    void verifyPin(api_ctx* ctx, json_message* message, json_response* response);
    // COMPUTE_SIGNATURE (authentication false) and COMPUTE_AUTHENTICATION (true).
    void computeSignature(api_ctx* ctx, json_message* message, json_response* response, bool authentication);

private:
    CommBase::ICommFactory& factory;
};

}  // namespace CardCommands

// The function name of the handlers' tagged lines ("PLUGIN-API-PKCS"): the handler's own name under
// `anonymous-namespace'::PluginApi, the same whichever namespace the class lives in.
std::string card_handler_name(const char* handler);
#define LOG_PKCS(...) \
    log_write_tagged("PLUGIN-API-PKCS", __FILE__, __LINE__, card_handler_name(__func__).c_str(), __VA_ARGS__)

// Runs cmd against factory: false (response untouched) when cmd is not a card command.
bool run_card_command(CommBase::ICommFactory& factory, const char* cmd, json_message* message, api_ctx* ctx,
                      json_response* response);
