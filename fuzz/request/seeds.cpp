// Writes the request fuzzer's seed corpus: one file per real request, every command at least
// once, with the 4-byte header of fuzz_input.h in front. Run: request_fuzzer_seeds DIR
// (the tokens are sealed under the fuzzer's master key for its fixed clock).
#include <cstdio>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "pin_token.h"

namespace {

const uint8_t kMasterKey[32] = {0x76, 0x65, 0x6c, 0x64, 0x72, 0x61, 0x2d, 0x66, 0x75, 0x7a, 0x7a,
                                0x2d, 0x6d, 0x61, 0x73, 0x74, 0x65, 0x72, 0x2d, 0x6b, 0x65, 0x79,
                                0x2d, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
constexpr int64_t kFixedCalendarMs = 1780272000000;  // the fuzzer's clock
const char* kPlain = "Veldra Fuzz Reader 00 00";
const char* kEscape = "VASCO DIGIPASS 870 01 00";
const char* kCcid = "APG8201 02 00";
const char* kBypass = "BOSA BEIDX 03 00";
const std::string kHash32(64, 'a');

struct Seed {
    std::string name;
    std::string header;  // 4 bytes
    std::string body;
};

std::string header(uint8_t flags = 0, uint8_t faultAt = 0, uint8_t fault = 0, uint8_t dialog = 0) {
    return std::string{static_cast<char>(flags), static_cast<char>(faultAt), static_cast<char>(fault),
                       static_cast<char>(dialog)};
}

std::string frame(const std::string& text, uint32_t n) {
    return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                       static_cast<char>(n >> 24)} +
           text;
}

std::string sign(const char* cmd, const char* reader, const std::string& extra) {
    return std::string("{\"cmd\":\"") + cmd + "\",\"reader\":\"" + reader + "\",\"hash\":\"" + kHash32 + "\"" + extra +
           "}";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: request_fuzzer_seeds DIR\n");
        return 2;
    }
    PinTokenCipher cipher(kMasterKey);
    const std::string token = cipher.Seal(Utils::Secret::copy_of("591847"), kFixedCalendarMs + PIN_TOKEN_LIFETIME_MS,
                                          pin_token_binding({}, ""));
    const std::string h = header();
    std::vector<Seed> seeds = {
        {"get_info", h, R"({"cmd":"GET_INFO"})"},
        {"get_info_debug", h, R"({"cmd":"GET_INFO","debug":"true"})"},
        {"timeout_rested", h, R"({"cmd":"TIMEOUT","sleep":"2","timeout":"0"})"},
        {"timeout_numbers", h, R"({"cmd":"TIMEOUT","sleep":5,"timeout":1})"},
        {"get_readers", h, R"({"cmd":"GET_READERS","debug":true})"},
        {"get_readers_no_card", header(0x02), R"({"cmd":"GET_READERS"})"},
        {"get_readers_v18", header(0x04), R"({"cmd":"GET_READERS"})"},
        {"read_file_certificate", h,
         std::string(R"({"cmd":"READ_FILE","reader":")") + kPlain + R"(","fileId":"3F00DF005039"})"},
        {"read_file_identity", h,
         std::string(R"({"cmd":"READ_FILE","reader":")") + kPlain + R"(","label":"id","fileId":"3f00df014031"})"},
        {"read_file_photo", h,
         std::string(R"({"cmd":"READ_FILE","reader":")") + kCcid + R"(","fileId":"3F00DF014035"})"},
        {"read_file_removed", header(0, 6, 0x0F),
         std::string(R"({"cmd":"READ_FILE","reader":")") + kPlain + R"(","fileId":"3F00DF005038"})"},
        {"pin_pad_available", h, std::string(R"({"cmd":"PIN_PAD_AVAILABLE","reader":")") + kEscape + R"("})"},
        {"verify_pin_member", h, std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kPlain + R"(","pin":"591847"})"},
        {"verify_pin_dialog", h,
         std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kPlain +
             R"(","entry_title":"PIN","entry_message":"Your PIN, please","debug":"true"})"},
        {"compute_signature_site", h,
         std::string(R"({"cmd":"COMPUTE_SIGNATURE","reader":")") + kPlain + R"(","hash":")" + kHash32 +
             R"(","callerOrigin":"https://xn--bcher-kva.example","entry_title":"Bank","entry_message":"\n\nSign\u202e here"})"},
        {"verify_pin_token", h,
         std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kPlain + R"(","pinToken":")" + token + R"("})"},
        {"verify_pin_wrong", header(0, 0, 0, 7), std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kPlain + R"("})"},
        {"verify_pin_escape_pad", header(0x10), std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kEscape + R"("})"},
        {"verify_pin_ccid_pad", h, std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kCcid + R"(","debug":true})"},
        {"verify_pin_bypass", h, std::string(R"({"cmd":"VERIFY_PIN","reader":")") + kBypass + R"("})"},
        {"compute_signature", h, sign("COMPUTE_SIGNATURE", kPlain, R"(,"pin":"591847")")},
        {"compute_signature_v18", header(0x04), sign("COMPUTE_SIGNATURE", kPlain, R"(,"pinToken":")" + token + "\"")},
        {"compute_signature_dialog", header(0, 0, 0, 2), sign("COMPUTE_SIGNATURE", kPlain, R"(,"debug":"true")")},
        {"compute_signature_pad", h, sign("COMPUTE_SIGNATURE", kCcid, "")},
        {"compute_signature_eidas_fail", header(0x40), sign("COMPUTE_SIGNATURE", kPlain, R"(,"pin":"591847")")},
        {"compute_signature_before_rule", header(0, 0, 0, 0x20),
         sign("COMPUTE_SIGNATURE", kPlain, R"(,"pin":"591847")")},
        {"compute_signature_2015_certificate", header(0, 0, 0, 0x40),
         sign("COMPUTE_SIGNATURE", kPlain, R"(,"pin":"591847")")},
        {"compute_signature_no_service", header(0, 9, 0x00), sign("COMPUTE_SIGNATURE", kPlain, R"(,"pin":"591847")")},
        {"compute_authentication", h,
         sign("COMPUTE_AUTHENTICATION", kPlain, R"(,"key":"__authentication__","pin":"591847")")},
        {"compute_authentication_escape", header(0x84), sign("COMPUTE_AUTHENTICATION", kEscape, "")},
        {"get_pads", h, R"({"cmd":"GET_PADS","debug":"true"})"},
        {"compute_signature_image", h,
         R"({"cmd":"COMPUTE_SIGNATURE_IMAGE","pad":"Wacom","hash":"00ff","reason":"r","signer":"s",)"
         R"("image":"iVBORw0KGgo=","rectX":"10","rectY":"-2","rectW":"100","rectH":"50"})"},
        {"get_system_info", h, R"({"cmd":"GET_SYSTEM_INFO"})"},
        {"unknown_command", h, R"({"cmd":"get_info","pin":"1234","pinToken":"abc"})"},
        {"invalid_json", h, R"({"cmd":"GET_INFO",)"},
        {"raw_frame", header(0x01), frame(R"({"cmd":"GET_INFO"})", 18)},
        {"raw_frame_short", header(0x01), frame(R"({"cmd":"GET)", 18)},
        {"raw_frame_oversize", header(0x01), frame("{}", 0x3FFFFF)},
        {"raw_frame_empty", header(0x01), frame("", 0)},
    };
    for (const Seed& seed : seeds) {
        std::ofstream out(std::string(argv[1]) + "/" + seed.name, std::ios::binary);
        out << seed.header << seed.body;
        if (!out) {
            std::fprintf(stderr, "cannot write %s\n", seed.name.c_str());
            return 1;
        }
    }
    std::printf("%zu seeds\n", seeds.size());
    return 0;
}
