// The host against the virtual readers: cards inserted and removed through scripts/virtual-reader,
// requests sent as a browser sends them, answers parsed as JSON, signatures checked with OpenSSL.
//
// The test binary runs under "scripts/virtual-reader run", which starts pcscd with the three virtual
// readers and stops everything when the binary ends, whatever way it ends.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_process.h"
#include "virtual_cards.h"

namespace cardtest {

// pcscd's names of the virtual readers.
inline const std::string PLAIN = "Veldra Virtual Reader 00 00";
inline const std::string PLAIN_SECOND_SLOT = "Veldra Virtual Reader 00 01";
inline const std::string ESCAPE = "VASCO DIGIPASS 870 00 00";
inline const std::string BYPASS = "BOSA BEIDX 00 00";
inline const std::string CCID = "APG8201 00 00";  // our own reader driver: a CCID PIN pad, one slot

inline const char* SIGNATURE_CERT = "3F00DF005039";
inline const char* AUTHENTICATION_CERT = "3F00DF005038";
inline const char* IDENTITY_FILE = "3F00DF014031";

std::vector<uint8_t> from_hex(const std::string& hex);
std::string to_hex(const std::vector<uint8_t>& bytes);
std::vector<uint8_t> digest(const char* algorithm, const std::string& data);

// True when signature is valid for hash under the certificate's key: RSA PKCS #1 v1.5 over the
// DigestInfo of hashAlgorithm, or ECDSA (the card's fixed-width r || s) over the bare hash.
bool verifies(const std::vector<uint8_t>& certificateDer, const std::vector<uint8_t>& hash, const char* hashAlgorithm,
              const std::vector<uint8_t>& signature);
using hosttest::card_certificate;

// The error answer, byte for byte.
inline std::string error_answer(int code, int id, const std::string& message) {
    return "{\"error\": { \"code\":" + std::to_string(code) + ",\"id\":" + std::to_string(id) + ",\"message\":\"" +
           message + "\"}}\n";
}

struct Answer {
    hosttest::HostRun run;
    std::string text;
    nlohmann::json json;
    bool error() const { return json.contains("error"); }
    int code() const { return json["error"]["code"].get<int>(); }
    int id() const { return json["error"]["id"].get<int>(); }
    std::string message() const { return json["error"]["message"].get<std::string>(); }
};

// A test with its own state folder (master key) and the cards it inserted removed at its end.
class CardTest : public testing::Test {
protected:
    void TearDown() override;

    // scripts/virtual-reader insert reader options... ("plain", "escape" or "bypass").
    void insert(const std::string& reader, const std::vector<std::string>& options = {}) {
        cards_.insert(reader, options);
    }
    void remove(const std::string& reader) { cards_.remove(reader); }

    // One request through the host; the answer must be one frame of valid JSON, exit code 0.
    Answer request(const nlohmann::json& message, const hosttest::HostOptions& extra = {});

    hosttest::TempDir home;

private:
    hosttest::InsertedCards cards_;
};

}  // namespace cardtest
