#include "plugin-api-pkcs-handlers.h"

#include <functional>
#include <map>
#include <string>

#include "exception_text.h"
#include "hex.h"
#include "log.h"
#include "plugin-api-pkcs-pin.h"
#include "plugin-api-pkcs-sign.h"
#include "plugin-api-pkcs-support.h"
#include "scard_comm.h"

namespace {

using CardCommands::PluginApi;

using Handler = std::function<void(PluginApi&, api_ctx*, json_message*, json_response*)>;

std::map<std::string, Handler> command_table() {
    return {
        {"GET_READERS", [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.getReaders(c, m, r); }},
        {"READ_FILE", [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.readFile(c, m, r); }},
        {"PIN_PAD_AVAILABLE",
         [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.pinPadAvailable(c, m, r); }},
        {"VERIFY_PIN", [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.verifyPin(c, m, r); }},
        {"COMPUTE_SIGNATURE",
         [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.computeSignature(c, m, r, false); }},
        {"COMPUTE_AUTHENTICATION",
         [](PluginApi& api, api_ctx* c, json_message* m, json_response* r) { api.computeSignature(c, m, r, true); }},
    };
}

// The ATR as GET_READERS shows it: a 1.8 card as the classic ATR, the final byte left out.
std::string atr_text(const std::vector<uint8_t>& atr) {
    std::string text =
        is_beid18_atr(atr) ? hex_upper({std::begin(BEID_CLASSIC_ATR), std::end(BEID_CLASSIC_ATR)}) : hex_upper(atr);
    if (text.size() >= 4) text.resize(text.size() - 2);
    return text;
}

void write_reader(json_response* response, int index, CommBase::ICommLibrary& library, const std::string& name) {
    auto reader = library.GetReader(name);
    auto* scard = as_scard_reader(reader.get(), false);
    json_response_separator(response, index == 0);
    json_response_begin_object(response, nullptr);
    json_response_add_int(response, "index", index, false);
    json_response_add_string(response, "library", library.GetName().c_str(), false);
    json_response_add_string(response, "name", name.c_str(), false);
    if (scard) {
        const std::vector<uint8_t> atr = scard->GetAtr();
        if (!atr.empty()) json_response_add_string(response, "atr", atr_text(atr).c_str(), false);
    }
    const bool present = reader && reader->IsCardPresent();
    json_response_add_bool(response, "cardPresent", present, false);
    json_response_add_int(response, "cardType", present ? reader->GetCardType() : 0, true);
    json_response_end_object(response);
}

}  // namespace

std::string card_handler_name(const char* handler) {
    return std::string("`anonymous-namespace'::PluginApi::") + handler;
}

void CardCommands::PluginApi::getReaders(api_ctx*, json_message*, json_response* response) {
    const std::vector<std::string> libraries = factory.ListLibraries();
    json_response_begin(response);
    json_response_begin_array(response, "readerList");
    int index = 0;
    for (const std::string& libraryName : libraries) {
        with_comm_failures_answered("Error getting readers", 2, [&] {
            auto library = open_library(factory, libraryName);
            const std::vector<std::string> readers = library->ListReaders();
            LOG_DEBUG("[%s] Found %d reader(s)", libraryName.c_str(), static_cast<int>(readers.size()));
            for (const std::string& name : readers) write_reader(response, index++, *library, name);
        });
    }
    json_response_end_array(response);
    json_response_end(response);
}

void CardCommands::PluginApi::readFile(api_ctx* ctx, json_message* message, json_response* response) {
    auto library = open_library(factory, "");
    const std::string readerName = read_field(message, "reader");
    read_field(message, "label", "", true);  // carried by callers, not used
    const std::string fileIdText = read_field(message, "fileId");
    const std::vector<uint8_t> fileId = read_hex_field(fileIdText, 3, "file ID", 32);
    auto reader = open_reader(*library, readerName, ctx);
    reader->GetCardType();
    LOG_DEBUG("[%s] reading file [%s]", readerName.c_str(), hex_upper(fileId).c_str());
    with_comm_failures_answered("Error reading file", 5, [&] {
        const std::vector<uint8_t> data = reader->ReadFile(std::string(fileId.begin(), fileId.end()));
        json_response_begin(response);
        json_response_add_string(response, "data", hex_upper(data).c_str(), true);
        json_response_end(response);
    });
}

void CardCommands::PluginApi::pinPadAvailable(api_ctx*, json_message* message, json_response* response) {
    auto library = open_library(factory, "");
    const std::string readerName = read_field(message, "reader");
    auto reader = open_reader(*library, readerName, nullptr);
    LOG_DEBUG("[%s] checking pinpad", readerName.c_str());
    json_response_begin(response);
    json_response_add_bool(response, "available", reader->IsPinPadReader(), true);
    json_response_end(response);
}

void CardCommands::PluginApi::verifyPin(api_ctx* ctx, json_message* message, json_response* response) {
    auto library = open_library(factory, "");
    const std::string readerName = read_field(message, "reader");
    auto reader = open_reader(*library, readerName, ctx);
    LOG_DEBUG("[%s] verifying PIN", readerName.c_str());
    PinAndToken pinAndToken = acquire_pin(*library, *reader, message, ctx, PinUse::Check);
    with_comm_failures_answered("Error verifying PIN", 99, [&] {
        const bool valid = reader->VerifyPin(pinAndToken.pin);
        json_response_begin(response);
        write_pin_result(response, valid, reader.get(), pinAndToken.token, true);
        json_response_end(response);
    });
}

bool run_card_command(CommBase::ICommFactory& factory, const char* cmd, json_message* message, api_ctx* ctx,
                      json_response* response) {
    const auto table = command_table();
    const auto entry = table.find(cmd);
    if (entry == table.end()) return false;
    CardCommands::PluginApi api(factory);
    try {
        entry->second(api, ctx, message, response);
    } catch (const CommandException& e) {
        e.response_writer(response);
    } catch (...) {
        json_response_error_with_id(response, 99, 99, "%s",
                                    Utils::current_exception_text(Utils::EmptyWhat::Keep).c_str());
    }
    return true;
}
