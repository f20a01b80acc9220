// Shared pieces of the comm unit tests: the fixture that checks the PC/SC script was played to
// its end, and the script of opening a library and connecting a reader.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "pcsc_mock.h"
#include "scard_comm.h"

namespace CommTest {

using PcscMock::Hex;
using PcscMock::Script;

// The BELPIC token information file as a card answers it, with its status word.
inline const char* kTokenInfoAnswer = "30 0C 04 06 42 45 4C 50 49 43 02 02 01 11 90 00";

class ScriptedTest : public ::testing::Test {
protected:
    void TearDown() override { PcscMock::VerifyAllConsumed(); }
};

// A context with one listed reader.
inline Script& OpenWith(Script& s, const std::string& reader) { return s.Establish().List({reader}); }

// A T=1 connection and the BELPIC probe.
inline Script& ConnectBelpic(Script& s, const std::string& reader) {
    return s.Connect(reader, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_S_SUCCESS, SCARD_PROTOCOL_T1)
        .Begin()
        .Transmit("00 A4 08 0C 06 3F 00 DF 00 50 32", "90 00")
        .Transmit("00 B0 00 00 1F", kTokenInfoAnswer)
        .End();
}

inline std::shared_ptr<SZidaZaru::ISCardReader> OpenReader(const std::string& reader) {
    SZidaZaru::SCardFactory factory;
    auto library = factory.OpenLibrary("");
    return std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(reader));
}

// Runs body and returns the api_exception it raised; fails the test when it raises none.
template <typename Body>
Utils::api_exception Raised(Body body) {
    try {
        body();
    } catch (const Utils::api_exception& e) {
        return e;
    }
    ADD_FAILURE() << "no api_exception raised";
    return Utils::api_exception("none", 0, 0);
}

}  // namespace CommTest
