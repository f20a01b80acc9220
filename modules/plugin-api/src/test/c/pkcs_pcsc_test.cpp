// The card commands over the real comm layer, with the scripted PC/SC stand-in in place of
// libpcsclite: the CCID PIN-pad reader (which no virtual reader can emulate) byte for byte, and the
// conversion of what the reader answers into the command's answer.
#include <gtest/gtest.h>
#include <reader.h>

#include <nlohmann/json.hpp>
#include <cstdio>
#include <string>

#include "clock.h"
#include "pcsc_mock.h"
#include "pkcs_fakes.h"
#include "plugin-api-pkcs.h"
#include "plugin-api-pkcs-sign.h"

using PcscMock::Script;
using pkcstest::Context;
using pkcstest::error_text;

namespace {

const std::string CCID = "Gemalto APG8201 00 00";
const char* FEATURES = "0A 04 42 33 00 12 06 04 42 33 00 06 07 04 42 33 00 07";
const DWORD VERIFY_CODE = 0x42330006;
const char* VERIFY_STRUCTURE =
    "00 1E 89 47 04 0C 04 02 01 09 04 00 00 00 00 0D 00 00 00 00 20 00 01 08 20 FF FF FF FF FF FF FF";
const std::vector<uint8_t> CLASSIC_ATR = PcscMock::Hex("3B 98 13 40 0A A5 03 01 01 01 AD 13 11");

// "feature not supported" with the platform's code (0x8010001F in pcsc-lite, 0x80100022 in winscard).
std::string unsupported_feature_text() {
    char text[64];
    std::snprintf(text, sizeof text, "Error verifying PIN (Comm 0x%08lx) (0)",
                  static_cast<unsigned long>(SCARD_E_UNSUPPORTED_FEATURE));
    return text;
}

int64_t fakeNow = 0;
int64_t fake_clock() { return fakeNow; }

// Opening the library, finding the reader and connecting it (T=1).
Script& connected(Script& s) {
    return s.Establish().List({CCID}).Connect(CCID, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
                                              SCARD_PROTOCOL_T1);
}

// The BELPIC probe of card recognition.
Script& probe(Script& s) {
    return s.Begin()
        .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 32", "90 00")
        .Transmit("00 B0 00 00 1F", "30 0C 04 06 42 45 4C 50 49 43 02 02 01 11 90 00")
        .End();
}

// The PIN typed on the reader, answered with the card's status word sw.
Script& pinPadVerify(Script& s, const char* sw) {
    return s.Control(CM_IOCTL_GET_FEATURE_REQUEST, "", FEATURES).Control(VERIFY_CODE, VERIFY_STRUCTURE, sw);
}

class CcidPinPad : public testing::Test {
protected:
    void SetUp() override {
        fakeNow = EIDAS2_RULE_START_MS - 1000;
        Utils::set_calendar_clock(fake_clock);
    }
    void TearDown() override {
        Utils::set_calendar_clock(nullptr);
        PcscMock::VerifyAllConsumed();
    }

    std::string run(const std::string& request) {
        PcscMock::Install(script);
        json_message* message = json_parse(request.c_str());
        char cmd[100];
        json_get_value(message, "cmd", cmd, sizeof cmd);
        json_response* response = json_response_new();
        EXPECT_TRUE(card_command_group(cmd, message, &context.ctx, response));
        std::string text = response->data;
        json_response_free(response);
        json_free(message);
        EXPECT_FALSE(nlohmann::json::parse(text, nullptr, false).is_discarded()) << text;
        return text;
    }

    Script script;
    Context context;
};

}  // namespace

TEST_F(CcidPinPad, TheUserTypesThePinOnTheReaderNoDialogNoToken) {
    context.watcher.timeout.store(30'000'000'000);
    probe(connected(script));
    pinPadVerify(script, "90 00").Disconnect().Release();
    EXPECT_EQ(run(R"({"cmd":"VERIFY_PIN","reader":")" + CCID + "\"}"),
              R"({"pinRemainingAttempts":-1,"pinValid":true,"valid":true})");
    EXPECT_TRUE(context.input.titles.empty());
    EXPECT_EQ(context.watcher.active.load(), 1);
    EXPECT_EQ(context.watcher.timeout.load(), 10'000'000'000);
}

TEST_F(CcidPinPad, WhatTheReaderAnswersBecomesTheAnswer) {
    const std::pair<const char*, std::string> cases[] = {
        {"63 C2", R"({"pinRemainingAttempts":2,"pinValid":false,"valid":false})"},
        {"63 C0", R"({"pinRemainingAttempts":0,"pinValid":false,"valid":false})"},
        {"69 83", error_text(99, 13, "Card blocked, no remaining pin attempts.")},
        {"64 01", error_text(99, 12, "Timeout entering PIN or cancelled by user.")},
        {"64 00", error_text(99, 12, "Timeout entering PIN or cancelled by user.")},
        {"6A 80", error_text(99, 99, "Error verifying PIN (Comm 0x6a80) (0x42330006)")},
    };
    for (const auto& [sw, answer] : cases) {
        SCOPED_TRACE(sw);
        script = Script();
        probe(connected(script));
        pinPadVerify(script, sw).Disconnect().Release();
        EXPECT_EQ(run(R"({"cmd":"VERIFY_PIN","reader":")" + CCID + "\"}"), answer);
        PcscMock::VerifyAllConsumed();
    }
}

TEST_F(CcidPinPad, AReaderWithoutTheVerifyFeatureOrWithoutControl) {
    probe(connected(script));
    script.Control(CM_IOCTL_GET_FEATURE_REQUEST, "", "0A 04 42 33 00 12").Disconnect().Release();
    EXPECT_EQ(run(R"({"cmd":"VERIFY_PIN","reader":")" + CCID + "\"}"),
              error_text(99, 99, "Error verifying PIN (Comm 0) (0)"));
    PcscMock::VerifyAllConsumed();

    script = Script();
    probe(connected(script));
    script.Control(CM_IOCTL_GET_FEATURE_REQUEST, "", "", SCARD_E_UNSUPPORTED_FEATURE).Disconnect().Release();
    EXPECT_EQ(run(R"({"cmd":"VERIFY_PIN","reader":")" + CCID + "\"}"), error_text(99, 99, unsupported_feature_text()));
}

TEST_F(CcidPinPad, SigningOnTheReaderSendsTheDigestInfo) {
    const std::string hash(64, 'C');  // 32 bytes CC
    std::string pso = "00 2A 9E 9A 33 30 31 30 0D 06 09 60 86 48 01 65 03 04 02 01 05 00 04 20";
    for (int i = 0; i < 32; ++i) pso += " CC";
    connected(script).Status(CCID, SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, CLASSIC_ATR);
    // The environment, the PIN on the reader and the signature in one transaction.
    probe(script).Begin().Transmit("00 22 41 B6 05 04 80 01 84 82", "90 00");
    pinPadVerify(script, "90 00")
        .Transmit(pso, "61 04")
        .Transmit("00 C0 00 00 04", "0A 0B 0C 0D 90 00")
        .End()
        .Disconnect()
        .Release();
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_AUTHENTICATION","reader":")" + CCID + R"(","hash":")" + hash + "\"}"),
              R"({"pinRemainingAttempts":-1,"pinValid":true,"valid":true,"signature":"0A0B0C0D"})");
    EXPECT_TRUE(context.input.titles.empty());
}

TEST_F(CcidPinPad, ACardThatRefusesToSignAfterThePin) {
    connected(script);
    probe(script);  // the eIDAS 2.0 rule asks for the card type (before its start date: no certificate)
    script.Status(CCID, SCARD_STATE_PRESENT | SCARD_STATE_CHANGED, CLASSIC_ATR)
        .Begin()
        .Transmit("00 22 41 B6 05 04 80 01 84 83", "90 00");
    pinPadVerify(script, "90 00");
    std::string pso = "00 2A 9E 9A 23 30 21 30 09 06 05 2B 0E 03 02 1A 05 00 04 14";
    for (int i = 0; i < 20; ++i) pso += " 11";
    script.Transmit(pso, "69 82").End().Disconnect().Release();
    EXPECT_EQ(run(R"({"cmd":"COMPUTE_SIGNATURE","reader":")" + CCID + R"(","hash":")" + std::string(40, '1') + "\"}"),
              error_text(8, 8, "Error computing digital signature (Comm 0x1) (0x6982)"));
}
