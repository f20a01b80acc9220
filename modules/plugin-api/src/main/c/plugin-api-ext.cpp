#include "plugin-api-ext.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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

std::shared_ptr<ISigningDeviceFactory> built_in_pads() { return CreateSigningDeviceFactory(); }

}  // namespace

bool base64_bio_decode(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    const size_t n = text.size();
    size_t padding = 0;
    if (n >= 2 && text.compare(n - 2, 2, "==") == 0) padding = 2;
    else if (n >= 1 && text[n - 1] == '=') padding = 1;
    if (n * 3 / 4 < padding || n > INT_MAX) return false;  // "=" alone, or too long for the filter
    const size_t expected = n * 3 / 4 - padding;
    if (expected == 0) return n == 0;
    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* source = BIO_new_mem_buf(text.data(), static_cast<int>(n));
    if (!b64 || !source) {
        BIO_free(b64);
        BIO_free(source);
        return false;
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BIO* chain = BIO_push(b64, source);
    bytes->resize(n + 1);
    const int read = BIO_read(chain, bytes->data(), static_cast<int>(n));
    BIO_free_all(chain);
    if (read < 0 || static_cast<size_t>(read) != expected) {
        bytes->clear();
        return false;
    }
    bytes->resize(expected);
    return true;
}

std::string base64_bio_encode(const std::vector<uint8_t>& bytes) {
    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* sink = BIO_new(BIO_s_mem());
    if (!b64 || !sink) {
        BIO_free(b64);
        BIO_free(sink);
        return {};
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BIO* chain = BIO_push(b64, sink);
    size_t done = 0;
    while (done < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (BIO_write(chain, bytes.data() + done, chunk) != chunk) break;
        done += static_cast<size_t>(chunk);
    }
    std::string text;
    if (done == bytes.size() && BIO_flush(chain) == 1) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(sink, &data);
        if (length > 0) text.assign(data, static_cast<size_t>(length));
    }
    BIO_free_all(chain);
    return text;
}

void get_pads(api_ctx* ctx, json_response* response, const PadFactoryMaker& makeFactory) {
    ComInit com;
    watcher_set_timeout(watcher_of(ctx), PADS_TIMEOUT_SECONDS);
    std::vector<PadDescription> pads;
    try {
        pads = makeFactory()->Enumerate();
    } catch (...) {
        json_response_error(response, 20, "Listing signature pads failed (%s)", exception_text().c_str());
        return;
    }
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
    // Room for the whole value, so that an over-long hash is seen as such and not cut to size.
    std::vector<char> hash;
    if (!read_member(message, "hash", &hash)) return missing_member(response, message, "hash");
    uint8_t hashBytes[HASH_MAX_BYTES];
    const int hashLength = hex_to_bytes(hash.data(), hashBytes, sizeof hashBytes);
    if (hashLength < 0) {
        json_response_error(response, 7, "Invalid hash [%s]. Should be maximum %d hex characters", hash.data(),
                            static_cast<int>(2 * HASH_MAX_BYTES));
        return;
    }
    const std::vector<uint8_t> hashValue(hashBytes, hashBytes + hashLength);

    ComInit com;
    watcher_set_timeout(watcher_of(ctx), CAPTURE_TIMEOUT_SECONDS);
    std::shared_ptr<ISigningDeviceFactory> factory;
    std::vector<PadDescription> pads;
    try {
        factory = makeFactory();
        pads = factory->Enumerate();
    } catch (...) {
        json_response_error(response, 20, "Listing signature pads failed (%s)", exception_text().c_str());
        return;
    }
    // The last pad of that name that opens decides; a failing attempt ends the search.
    std::shared_ptr<ISigningDevice> device;
    PadDescription selected;
    std::string notFound;
    for (const PadDescription& candidate : pads) {
        if (candidate.name != pad) continue;
        try {
            device = factory->CreateDevice(pad);
            selected = candidate;
        } catch (...) {
            notFound = " (" + exception_text() + ")";
            break;
        }
    }
    if (!device) {
        json_response_error(response, 21, "Signature pad [%s] not found%s", pad, notFound.c_str());
        return;
    }

    std::vector<char> text;
    if (read_member(message, "image", &text)) {
        std::vector<uint8_t> image;
        if (!base64_bio_decode(text.data(), &image)) {
            json_response_error(response, 99, "Invalid image encoding");
            return;
        }
        if (!image.empty()) {
            const Rect rect{read_coordinate(message, "rectX", 0), read_coordinate(message, "rectY", 0),
                            read_coordinate(message, "rectW", 2048), read_coordinate(message, "rectH", 2048)};
            try {
                device->SetImage(std::move(image), rect, true);
            } catch (...) {
                // Answered at once: waiting for the time limit would tell the caller nothing more.
                json_response_error(response, 22, "Signing failed (%s)", exception_text().c_str());
                return;
            }
        }
    }
    const std::string reason = read_member(message, "reason", &text) ? text.data() : "";
    const std::string signer = read_member(message, "signer", &text) ? text.data() : "";
    device->SetTexts(signer, reason);
    if (!hashValue.empty()) device->SetHash(hashValue);

    // The user may take the whole capture time: the request's limit waits, and counts again afterwards.
    std::string session;
    Watcher* watcher = watcher_of(ctx);
    watcher_pause(watcher);  // nothing paused once the limit has fired: the engine has answered already
    try {
        device->CaptureSignature(ctx ? ctx->stopping : nullptr, CAPTURE_STALL_SECONDS, CAPTURE_TIMEOUT_SECONDS,
                                 &session);
    } catch (...) {
        json_response_error(response, 22, "Signing failed (%s)", exception_text().c_str());
        return;
    }
    watcher_resume(watcher, CAPTURE_TIMEOUT_SECONDS);

    const std::string signatureData = device->GetSignatureData();
    const std::vector<uint8_t> picture = device->GetImage();
    if (signatureData.empty() || picture.empty()) {
        json_response_error(response, 23, "No signature data, signing timed out or cancelled by user");
        return;
    }
    std::string pkcs;
    if (!session.empty() && !hashValue.empty()) {
        try {
            const std::shared_ptr<SigningSession> signing = factory->OpenSession(session);
            if (!signing) {
                json_response_error(response, 99, "No signature session (timeout?)");
                return;
            }
            pkcs = hex_upper(signing->SignHash(hashValue));
        } catch (...) {
            json_response_error(response, 22, "Signing failed (%s)", exception_text().c_str());
            return;
        }
    }
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
