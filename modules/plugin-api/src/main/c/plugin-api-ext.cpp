#include "plugin-api-ext.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64_bio.h"
#include "com.h"
#include "exception_text.h"
#include "hex.h"
#include "log.h"
#include "plugin-api-system.h"
#include "wacom_sdk_device_factory.h"

using namespace BioSigningDevice;

namespace {

constexpr size_t PAD_NAME_SIZE = 500;  // at most 498 characters
constexpr size_t HASH_MAX_BYTES = 50;  // 100 hex digits
constexpr int32_t PADS_TIMEOUT_SECONDS = 30;
constexpr int32_t CAPTURE_TIMEOUT_SECONDS = 60;
constexpr int64_t CAPTURE_STALL_SECONDS = 1;
constexpr const char* MODEL_MEMBER = "1.2.528.56.1004.1.1";
constexpr const char* PKCS_MEMBER = "1.2.528.56.1004.1.2";
constexpr const char* DATA_MEMBER = "1.2.528.56.1004.1.3";

Watcher* watcher_of(api_ctx* ctx) { return ctx ? ctx->watcher : nullptr; }

// The text of the exception being handled: what() of a standard exception, or its type's name when
// that is empty; "unknown exception" for anything else (the pad SDK's COM errors included).
std::string exception_text() {
    try {
        throw;
    } catch (const ComError& e) {
        LOG_API("Pad SDK call failed with 0x%08x", static_cast<unsigned>(e.Error()));
        return "unknown exception";
    } catch (...) {
        return Utils::current_exception_text(Utils::EmptyWhat::TypeName);
    }
}

// A member's whole raw text (room for the request's length); false when absent.
bool read_member(const json_message* message, const char* name, std::vector<char>* value) {
    value->assign(std::strlen(message->text) + 2, '\0');
    return json_get_value(message, name, value->data(), value->size());
}

// A rectangle member: decimal text replaces the default; a member that is no number keeps it.
int32_t read_coordinate(const json_message* message, const char* name, int32_t defaultValue) {
    std::vector<char> text;
    if (!read_member(message, name, &text)) return defaultValue;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.data(), &end, 10);
    if (end == text.data() || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        LOG_DEBUG("Ignoring %s: not a number", name);
        return defaultValue;
    }
    return static_cast<int32_t>(value);
}

void missing_member(json_response* response, const json_message* message, const char* name) {
    json_response_error(response, 99, "Message [%s] misses a field named [%s]", log_mask_secrets(message->text).c_str(),
                        name);
}

void write_pad(json_response* response, int index, const PadDescription& pad) {
    json_response_begin_object(response, nullptr);
    json_response_add_int(response, "index", index, false);
    json_response_add_string(response, "type", pad.type == StepOver ? "STEPOVER" : "WACOM", false);
    json_response_add_string(response, "name", pad.name.c_str(), false);
    const auto certificate = pad.properties.find("Certificate");
    if (certificate != pad.properties.end()) {
        const std::string& bytes = certificate->second;
        std::vector<char> hex(2 * bytes.size() + 1);
        bytes_to_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), hex.data(), hex.size());
        json_response_add_string(response, "certificate", hex.data(), false);
    }
    json_response_add_int(response, "width", pad.width, false);
    json_response_add_int(response, "height", pad.height, true);
    json_response_end_object(response);
}

void write_capture(json_response* response, const PadDescription& pad, const std::string& pkcs,
                   const std::string& signatureData, const std::vector<uint8_t>& image) {
    json_response_begin(response);
    json_response_begin_object(response, "metadata");
    json_response_add_string(response, MODEL_MEMBER, pad.model.c_str(), false);
    for (const auto& [name, value] : pad.properties)  // a std::map: ascending byte order of the names
        json_response_add_string(response, name.c_str(), value.c_str(), false);
    json_response_add_string(response, PKCS_MEMBER, pkcs.c_str(), false);
    json_response_add_string(response, DATA_MEMBER, signatureData.c_str(), true);
    json_response_end_object(response);
    json_response_separator(response);
    json_response_add_string(response, "image", base64_bio_encode(image).c_str(), true);
    json_response_end(response);
}

// Runs step; when it throws, answers code with "<failure> (<the exception's text>)" and gives false.
template <typename Step>
bool run_or_answer(json_response* response, int code, const char* failure, Step&& step) {
    try {
        step();
        return true;
    } catch (...) {
        json_response_error(response, code, "%s (%s)", failure, exception_text().c_str());
        return false;
    }
}

// The "hash" member's bytes (none for an empty one); false once a missing or invalid hash is answered.
bool read_hash(const json_message* message, json_response* response, std::vector<uint8_t>* hash) {
    // Room for the whole value, so that an over-long hash is seen as such and not cut to size.
    std::vector<char> text;
    if (!read_member(message, "hash", &text)) {
        missing_member(response, message, "hash");
        return false;
    }
    uint8_t bytes[HASH_MAX_BYTES];
    const int length = hex_to_bytes(text.data(), bytes, sizeof bytes);
    if (length < 0) {
        json_response_error(response, 7, "Invalid hash [%s]. Should be maximum %d hex characters", text.data(),
                            static_cast<int>(2 * HASH_MAX_BYTES));
        return false;
    }
    hash->assign(bytes, bytes + length);
    return true;
}

// The factory and the pads it lists; false once a failure is answered.
bool list_pads(json_response* response, const PadFactoryMaker& makeFactory,
               std::shared_ptr<ISigningDeviceFactory>* factory, std::vector<PadDescription>* pads) {
    return run_or_answer(response, 20, "Listing signature pads failed", [&] {
        *factory = makeFactory();
        *pads = (*factory)->Enumerate();
    });
}

// The last pad of that name that opens decides; a failing attempt ends the search. Null once
// "not found" is answered.
std::shared_ptr<ISigningDevice> open_pad(json_response* response, ISigningDeviceFactory& factory,
                                         const std::vector<PadDescription>& pads, const char* name,
                                         PadDescription* selected) {
    std::shared_ptr<ISigningDevice> device;
    std::string notFound;
    for (const PadDescription& candidate : pads) {
        if (candidate.name != name) continue;
        try {
            device = factory.CreateDevice(name);
            *selected = candidate;
        } catch (...) {
            notFound = " (" + exception_text() + ")";
            break;
        }
    }
    if (!device) json_response_error(response, 21, "Signature pad [%s] not found%s", name, notFound.c_str());
    return device;
}

// The request's "image" (base64) shown on the pad in its rectangle; false once a failure is answered.
bool show_image(const json_message* message, json_response* response, ISigningDevice& device) {
    std::vector<char> text;
    if (!read_member(message, "image", &text)) return true;
    std::vector<uint8_t> image;
    if (!base64_bio_decode(text.data(), &image)) {
        json_response_error(response, 99, "Invalid image encoding");
        return false;
    }
    if (image.empty()) return true;
    const Rect rect{read_coordinate(message, "rectX", 0), read_coordinate(message, "rectY", 0),
                    read_coordinate(message, "rectW", 2048), read_coordinate(message, "rectH", 2048)};
    // Answered at once: waiting for the time limit would tell the caller nothing more.
    return run_or_answer(response, 22, "Signing failed", [&] { device.SetImage(std::move(image), rect, true); });
}

// The user may take the whole capture time: the request's limit waits, and counts again afterwards.
// False once a failure is answered.
bool capture(api_ctx* ctx, json_response* response, ISigningDevice& device, std::string* session) {
    Watcher* watcher = watcher_of(ctx);
    watcher_pause(watcher);  // nothing paused once the limit has fired: the engine has answered already
    const bool captured = run_or_answer(response, 22, "Signing failed", [&] {
        device.CaptureSignature(ctx ? ctx->stopping : nullptr, CAPTURE_STALL_SECONDS, CAPTURE_TIMEOUT_SECONDS, session);
    });
    if (captured) watcher_resume(watcher, CAPTURE_TIMEOUT_SECONDS);
    return captured;
}

// The pad's own signature over the hash, in the session the capture opened, as upper-case hex;
// false once a failure is answered.
bool sign_hash(json_response* response, ISigningDeviceFactory& factory, const std::string& session,
               const std::vector<uint8_t>& hash, std::string* pkcs) {
    std::shared_ptr<SigningSession> signing;
    if (!run_or_answer(response, 22, "Signing failed", [&] { signing = factory.OpenSession(session); })) return false;
    if (!signing) {
        json_response_error(response, 99, "No signature session (timeout?)");
        return false;
    }
    return run_or_answer(response, 22, "Signing failed", [&] { *pkcs = hex_upper(signing->SignHash(hash)); });
}

std::shared_ptr<ISigningDeviceFactory> built_in_pads() { return CreateSigningDeviceFactory(); }

}  // namespace

void get_pads(api_ctx* ctx, json_response* response, const PadFactoryMaker& makeFactory) {
    ComInit com;
    watcher_set_timeout(watcher_of(ctx), PADS_TIMEOUT_SECONDS);
    std::shared_ptr<ISigningDeviceFactory> factory;
    std::vector<PadDescription> pads;
    if (!list_pads(response, makeFactory, &factory, &pads)) return;
    LOG_DEBUG("Found %d pad(s)", static_cast<int>(pads.size()));
    json_response_begin(response);
    json_response_begin_array(response, "padList");
    for (size_t i = 0; i < pads.size(); ++i) {
        json_response_separator(response, i == 0);
        write_pad(response, static_cast<int>(i), pads[i]);
    }
    json_response_end_array(response);
    json_response_end(response);
}

void compute_signature_image(api_ctx* ctx, json_message* message, json_response* response,
                             const PadFactoryMaker& makeFactory) {
    char pad[PAD_NAME_SIZE];
    if (!json_get_value(message, "pad", pad, sizeof pad)) return missing_member(response, message, "pad");
    std::vector<uint8_t> hash;
    if (!read_hash(message, response, &hash)) return;

    ComInit com;
    watcher_set_timeout(watcher_of(ctx), CAPTURE_TIMEOUT_SECONDS);
    std::shared_ptr<ISigningDeviceFactory> factory;
    std::vector<PadDescription> pads;
    if (!list_pads(response, makeFactory, &factory, &pads)) return;
    PadDescription selected;
    const std::shared_ptr<ISigningDevice> device = open_pad(response, *factory, pads, pad, &selected);
    if (!device || !show_image(message, response, *device)) return;
    std::vector<char> text;
    const std::string reason = read_member(message, "reason", &text) ? text.data() : "";
    const std::string signer = read_member(message, "signer", &text) ? text.data() : "";
    device->SetTexts(signer, reason);
    if (!hash.empty()) device->SetHash(hash);

    std::string session;
    if (!capture(ctx, response, *device, &session)) return;
    const std::string signatureData = device->GetSignatureData();
    const std::vector<uint8_t> picture = device->GetImage();
    if (signatureData.empty() || picture.empty()) {
        json_response_error(response, 23, "No signature data, signing timed out or cancelled by user");
        return;
    }
    std::string pkcs;
    if (!session.empty() && !hash.empty() && !sign_hash(response, *factory, session, hash, &pkcs)) return;
    write_capture(response, selected, pkcs, signatureData, picture);
}

bool pad_command_group(api_ctx* ctx, json_message* message, const char* cmd, json_response* response) {
    if (std::strcmp(cmd, "GET_PADS") == 0) {
        get_pads(ctx, response, &built_in_pads);
    } else if (std::strcmp(cmd, "COMPUTE_SIGNATURE_IMAGE") == 0) {
        compute_signature_image(ctx, message, response, &built_in_pads);
    } else if (std::strcmp(cmd, "GET_SYSTEM_INFO") == 0) {
        get_system_info(ctx, response);
    } else {
        return false;
    }
    return true;
}
