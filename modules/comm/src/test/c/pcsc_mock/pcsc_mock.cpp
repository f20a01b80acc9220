#include "pcsc_mock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>

// The protocol control information the real library exports.
extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace PcscMock {
namespace {

const char* CallName(Call call) {
    switch (call) {
    case Call::Establish: return "SCardEstablishContext";
    case Call::Release: return "SCardReleaseContext";
    case Call::ListReaders: return "SCardListReaders";
    case Call::Connect: return "SCardConnect";
    case Call::Disconnect: return "SCardDisconnect";
    case Call::Begin: return "SCardBeginTransaction";
    case Call::End: return "SCardEndTransaction";
    case Call::GetStatusChange: return "SCardGetStatusChange";
    case Call::Transmit: return "SCardTransmit";
    case Call::Control: return "SCardControl";
    }
    return "?";
}

std::string ToHex(const uint8_t* data, size_t length) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
        out += b;
    }
    return out;
}

std::string MultiString(const std::vector<std::string>& names) {
    std::string s;
    for (const auto& n : names) {
        s += n;
        s.push_back('\0');
    }
    s.push_back('\0');
    return s;
}

struct State {
    std::mutex mutex;
    std::vector<Step> steps;
    size_t next = 0;
};

State& state() {
    static State s;
    return s;
}

// The next step, when it is of the given kind; null (and a test failure naming the step) otherwise.
const Step* Take(Call call, const std::string& detail = {}) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.next >= s.steps.size()) {
        ADD_FAILURE() << "PC/SC step " << s.next + 1 << ": unexpected " << CallName(call) << " " << detail
                      << " after the end of the script";
        return nullptr;
    }
    const Step& step = s.steps[s.next];
    if (step.call != call) {
        ADD_FAILURE() << "PC/SC step " << s.next + 1 << ": expected " << CallName(step.call) << ", got "
                      << CallName(call) << " " << detail;
        ++s.next;
        return nullptr;
    }
    ++s.next;
    return &step;
}

size_t StepNumber() { return state().next; }

#define MISMATCH(what) ADD_FAILURE() << "PC/SC step " << StepNumber() << ": " << what

}  // namespace

Bytes Hex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

Script& Script::Establish(LONG result) {
    Step step;
    step.call = Call::Establish;
    step.result = result;
    steps.push_back(step);
    return *this;
}
Script& Script::Release() {
    Step step;
    step.call = Call::Release;
    steps.push_back(step);
    return *this;
}
Script& Script::List(const std::vector<std::string>& names) {
    ListCall(SCARD_S_SUCCESS, names);
    return ListCall(SCARD_S_SUCCESS, names);
}
Script& Script::ListCall(LONG result, const std::vector<std::string>& names, DWORD reportedLength) {
    Step step;
    step.call = Call::ListReaders;
    step.result = result;
    step.text = MultiString(names);
    step.reportedLength = reportedLength;
    steps.push_back(step);
    return *this;
}
Script& Script::Connect(const std::string& reader, DWORD protocols, LONG result, DWORD active) {
    Step step;
    step.call = Call::Connect;
    step.result = result;
    step.text = reader;
    step.number = protocols;
    step.protocol = active;
    steps.push_back(step);
    return *this;
}
Script& Script::Disconnect() {
    Step step;
    step.call = Call::Disconnect;
    steps.push_back(step);
    return *this;
}
Script& Script::Begin(LONG result, SCARDHANDLE handle) {
    Step step;
    step.call = Call::Begin;
    step.result = result;
    step.handle = handle;
    steps.push_back(step);
    return *this;
}
Script& Script::End() {
    Step step;
    step.call = Call::End;
    steps.push_back(step);
    return *this;
}
Script& Script::Status(const std::string& reader, DWORD eventState, const Bytes& atr, LONG result) {
    Step step;
    step.call = Call::GetStatusChange;
    step.result = result;
    step.text = reader;
    step.answer = atr;
    step.number = eventState;
    steps.push_back(step);
    return *this;
}
Script& Script::Transmit(const std::string& command, const std::string& answer, LONG result) {
    return TransmitBytes(Hex(command), Hex(answer), result);
}
Script& Script::TransmitBytes(const Bytes& command, const Bytes& answer, LONG result) {
    Step step;
    step.call = Call::Transmit;
    step.result = result;
    step.expect = command;
    step.answer = answer;
    steps.push_back(step);
    return *this;
}
Script& Script::Control(DWORD code, const std::string& input, const std::string& answer, LONG result) {
    Step step;
    step.call = Call::Control;
    step.result = result;
    step.expect = Hex(input);
    step.answer = Hex(answer);
    step.number = code;
    steps.push_back(step);
    return *this;
}
Script& Script::OnHandle(SCARDHANDLE handle) {
    steps.back().handle = handle;
    return *this;
}
Script& Script::WithPci(DWORD protocol) {
    steps.back().protocol = protocol;
    return *this;
}

void Install(const Script& script) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.steps = script.steps;
    s.next = 0;
}

void VerifyAllConsumed() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (size_t i = s.next; i < s.steps.size(); ++i)
        ADD_FAILURE() << "PC/SC step " << i + 1 << ": " << CallName(s.steps[i].call) << " was never called";
    s.steps.clear();
    s.next = 0;
}

size_t Consumed() { return state().next; }

}  // namespace PcscMock

using namespace PcscMock;

extern "C" {

LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    const Step* step = Take(Call::Establish);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (scope != SCARD_SCOPE_SYSTEM) MISMATCH("scope " << scope);
    *context = step->result == SCARD_S_SUCCESS ? kContext : 0;
    return step->result;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    const Step* step = Take(Call::Release);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (context != kContext) MISMATCH("context " << context);
    return step->result;
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
    const Step* step = Take(Call::ListReaders);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (context != kContext) MISMATCH("context " << context);
    if (groups != nullptr) MISMATCH("a group filter");
    const DWORD size = step->reportedLength ? step->reportedLength : static_cast<DWORD>(step->text.size());
    if (step->result == SCARD_E_NO_READERS_AVAILABLE) {
        *length = 1;
        return step->result;
    }
    if (readers == nullptr) {
        *length = size;
        return step->result;
    }
    if (*length < step->text.size()) {
        *length = static_cast<DWORD>(step->text.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(readers, step->text.data(), step->text.size());
    *length = static_cast<DWORD>(step->text.size());
    return step->result;
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                  LPDWORD active) {
    const Step* step = Take(Call::Connect, reader);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (context != kContext) MISMATCH("context " << context);
    if (step->text != reader) MISMATCH("reader \"" << reader << "\", expected \"" << step->text << "\"");
    if (share != SCARD_SHARE_SHARED) MISMATCH("share mode " << share);
    if (protocols != step->number) MISMATCH("protocols " << protocols << ", expected " << step->number);
    if (step->result == SCARD_S_SUCCESS) {
        *card = kCard;
        *active = step->protocol;
    }
    return step->result;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    const Step* step = Take(Call::Disconnect);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (card != step->handle) MISMATCH("card handle " << card);
    if (disposition != SCARD_LEAVE_CARD) MISMATCH("disposition " << disposition);
    return step->result;
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    const Step* step = Take(Call::Begin);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (card != step->handle) MISMATCH("card handle " << card);
    return step->result;
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    const Step* step = Take(Call::End);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (card != step->handle) MISMATCH("card handle " << card);
    if (disposition != SCARD_LEAVE_CARD) MISMATCH("disposition " << disposition);
    return step->result;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count) {
    const Step* step = Take(Call::GetStatusChange, count ? states[0].szReader : "");
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (context != kContext) MISMATCH("context " << context);
    if (timeout != 0) MISMATCH("timeout " << timeout);
    if (count != 1) {
        MISMATCH(count << " reader states");
        return SCARD_F_INTERNAL_ERROR;
    }
    if (step->text != states[0].szReader) MISMATCH("reader \"" << states[0].szReader << "\"");
    if (states[0].dwCurrentState != SCARD_STATE_UNAWARE) MISMATCH("current state " << states[0].dwCurrentState);
    if (step->result != SCARD_S_SUCCESS) return step->result;
    states[0].dwEventState = step->number;
    // A reader may report more than fits the cache; the structure holds MAX_ATR_SIZE bytes.
    const size_t n = std::min(step->answer.size(), sizeof states[0].rgbAtr);
    if (n > 0) std::memcpy(states[0].rgbAtr, step->answer.data(), n);
    states[0].cbAtr = static_cast<DWORD>(n);
    return SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send, DWORD sendLength,
                   SCARD_IO_REQUEST* receivePci, LPBYTE receive, LPDWORD receiveLength) {
    const std::string sent = ToHex(send, sendLength);
    const Step* step = Take(Call::Transmit, sent);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (card != step->handle) MISMATCH("card handle " << card);
    if (step->protocol != 0 && (sendPci == nullptr || sendPci->dwProtocol != step->protocol))
        MISMATCH("PCI protocol " << (sendPci ? sendPci->dwProtocol : 0) << ", expected " << step->protocol);
    if (receivePci != nullptr) MISMATCH("a receive PCI");
    const std::string expected = ToHex(step->expect.data(), step->expect.size());
    if (sent != expected) MISMATCH("sent " << sent << ", expected " << expected);
    if (step->result != SCARD_S_SUCCESS) return step->result;
    if (*receiveLength < step->answer.size()) {
        *receiveLength = static_cast<DWORD>(step->answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!step->answer.empty()) std::memcpy(receive, step->answer.data(), step->answer.size());
    *receiveLength = static_cast<DWORD>(step->answer.size());
    return SCARD_S_SUCCESS;
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength, LPVOID output, DWORD outputLength,
                  LPDWORD returned) {
    const std::string sent = ToHex(static_cast<const uint8_t*>(input), inputLength);
    const Step* step = Take(Call::Control, sent);
    if (!step) return SCARD_F_INTERNAL_ERROR;
    if (card != step->handle) MISMATCH("card handle " << card);
    if (code != step->number) MISMATCH("control code 0x" << std::hex << code << ", expected 0x" << step->number);
    const std::string expected = ToHex(step->expect.data(), step->expect.size());
    if (sent != expected) MISMATCH("input " << sent << ", expected " << expected);
    *returned = 0;
    if (step->result != SCARD_S_SUCCESS) return step->result;
    if (outputLength < step->answer.size()) return SCARD_E_INSUFFICIENT_BUFFER;
    if (!step->answer.empty()) std::memcpy(output, step->answer.data(), step->answer.size());
    *returned = static_cast<DWORD>(step->answer.size());
    return SCARD_S_SUCCESS;
}

}  // extern "C"
