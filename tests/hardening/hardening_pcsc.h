// What the PC/SC hardening tests share: the virtual readers, requests through the built host
// with their answers checked as a browser needs them, and a PIN dialog that waits for a signal.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host_process.h"
#include "virtual_cards.h"

namespace hardening {

// pcscd's names of the virtual readers (scripts/virtual-reader).
inline const std::string PLAIN = "Veldra Virtual Reader 00 00";
inline const std::string ESCAPE = "VASCO DIGIPASS 870 00 00";
inline const std::string BYPASS = "BOSA BEIDX 00 00";
// The cards' PIN in these tests; no log line may ever show it.
inline const std::string CARD_PIN = "739146";

using hosttest::virtual_reader;
inline std::string vr_dir() { return hosttest::virtual_reader_dir(); }
// The folder of the built programs.
std::string bin_dir();

inline std::vector<uint8_t> certificate_of(const std::string& reader, const std::string& name) {
    return hosttest::card_certificate(reader, name);
}
std::vector<uint8_t> from_hex(const std::string& hex);
// Whether signature is the certificate key's RSA PKCS #1 v1.5 signature of the SHA-256 hash.
bool verifies_sha256(const std::vector<uint8_t>& certificateDer, const std::vector<uint8_t>& hash,
                     const std::vector<uint8_t>& signature);

struct HostAnswer {
    hosttest::HostRun run;
    std::string text;
    nlohmann::json json;
    bool error() const { return json.is_object() && json.contains("error"); }
    int code() const { return error() ? json["error"]["code"].get<int>() : -1; }
    std::string message() const { return error() ? json["error"]["message"].get<std::string>() : std::string(); }
};

// A PIN dialog (a pinentry first on the PATH) that opens, tells the test, and answers pin only
// once the test opens the gate.
class PinentryGate {
public:
    PinentryGate(const std::string& folder, const std::string& pin);
    hosttest::HostOptions options() const;
    bool wait_asked(std::chrono::milliseconds limit) const;
    void open() const;

private:
    std::string dir_;
};

// A test with a state folder of its own; the cards it inserted are removed at its end, and it
// fails when a host or helper process of this build is still running then.
class PcscTest : public testing::Test {
protected:
    void TearDown() override;
    void insert(const std::string& reader, const std::vector<std::string>& options = {}) {
        cards_.insert(reader, options);
    }
    void remove(const std::string& reader) { cards_.remove(reader); }
    // One request text through the host: one frame of valid JSON and exit code 0, or the test fails.
    HostAnswer ask(const std::string& json, const hosttest::HostOptions& extra = {});

    hosttest::TempDir home;

private:
    hosttest::InsertedCards cards_;
};

}  // namespace hardening
