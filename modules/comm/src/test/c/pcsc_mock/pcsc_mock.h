// A scripted stand-in for the PC/SC library, linked into unit tests in place of libpcsclite.
// A test lists every call it expects, in order, with the answer to give; each SCard* call
// consumes the next step and fails the test, naming the step's number, on any mismatch.
#pragma once

#include <winscard.h>

#include <cstdint>
#include <string>
#include <vector>

namespace PcscMock {

using Bytes = std::vector<uint8_t>;

constexpr SCARDCONTEXT kContext = 0x1111;
constexpr SCARDHANDLE kCard = 0x2222;

enum class Call {
    Establish,
    Release,
    ListReaders,
    Connect,
    Disconnect,
    Begin,
    End,
    GetStatusChange,
    Transmit,
    Control
};

struct Step {
    Call call;
    LONG result = SCARD_S_SUCCESS;
    std::string text;            // reader name (Connect, GetStatusChange) or the multi-string (ListReaders)
    Bytes expect;                // command bytes (Transmit) or input (Control)
    Bytes answer;                // response (Transmit, Control) or ATR (GetStatusChange)
    DWORD number = 0;            // protocols asked (Connect), control code (Control), event state (GetStatusChange)
    DWORD protocol = 0;          // active protocol given (Connect); PCI protocol expected (Transmit, 0: any)
    SCARDHANDLE handle = kCard;  // card handle expected
    DWORD reportedLength = 0;    // ListReaders: the size reported by a size query (0: the real size)
};

// "00 A4 08 0C" or "00A4080C" to bytes.
Bytes Hex(const std::string& text);

class Script {
public:
    Script& Establish(LONG result = SCARD_S_SUCCESS);
    Script& Release();
    // The size query and the fill, answering these names.
    Script& List(const std::vector<std::string>& names);
    // One ListReaders call answering result (a size query when it is the first of a pair).
    Script& ListCall(LONG result, const std::vector<std::string>& names = {}, DWORD reportedLength = 0);
    Script& Connect(const std::string& reader, DWORD protocols, LONG result, DWORD active);
    Script& Disconnect();
    Script& Begin(LONG result = SCARD_S_SUCCESS, SCARDHANDLE handle = kCard);
    Script& End();
    Script& Status(const std::string& reader, DWORD eventState, const Bytes& atr, LONG result = SCARD_S_SUCCESS);
    Script& Transmit(const std::string& command, const std::string& answer, LONG result = SCARD_S_SUCCESS);
    Script& TransmitBytes(const Bytes& command, const Bytes& answer, LONG result = SCARD_S_SUCCESS);
    Script& Control(DWORD code, const std::string& input, const std::string& answer, LONG result = SCARD_S_SUCCESS);
    // Modifies the last step.
    Script& OnHandle(SCARDHANDLE handle);
    Script& WithPci(DWORD protocol);

    std::vector<Step> steps;
};

// Makes the script the active one (replacing any earlier one).
void Install(const Script& script);
// Fails the test for every step not consumed, then clears the script.
void VerifyAllConsumed();
// The number of steps consumed so far.
size_t Consumed();

}  // namespace PcscMock
