// The reader session: connecting, card presence and ATR, and the exchange primitives on which
// every card operation is built.
#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "log.h"
#include "pcsc_call.h"
#include "scard_reader.h"
#include "secret.h"
#include "status_word.h"

namespace SZidaZaru::detail {

namespace {
constexpr size_t kReceiveBufferSize = 10240;
constexpr size_t kMaxCachedAtr = 32;
constexpr uint32_t kGetResponse = 0x00C00000;
// An exchange that keeps being answered 61xx or 6Cxx would never end; no real sequence needs
// more steps than a 32 KB file read in 256-byte chunks.
constexpr int kMaxExchangeSteps = 160;
constexpr uint32_t kMaxReadOffset = 0x7FFF;  // P1 bit 8 of READ BINARY selects a short file id

// The received bytes, the last two split off as the status word when there are two.
ApduResponse SplitOffStatusWord(uint32_t command, Bytes received, bool statusExpected) {
    ApduResponse response;
    response.command = command;
    if (statusExpected && received.size() >= 2) {
        response.status = static_cast<uint32_t>(received[received.size() - 2]) << 8 | received.back();
        received.resize(received.size() - 2);
    }
    response.data = std::move(received);
    return response;
}
}  // namespace

SCardReader::SCardReader(std::shared_ptr<CommBase::ICommLibrary> library, std::string name, SCARDCONTEXT context)
    : library_(std::move(library)), name_(std::move(name)), context_(context) {}

bool SCardReader::IsPinPadReader() { return ClassifyReader(name_) != ReaderClass::Plain; }

void SCardReader::Connect() {
    if (connected_) return;
    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    const LONG rv =
        PCSC_CALL_TOLERATING(operations_, Tolerate(SCARD_E_PROTO_MISMATCH), SCardConnect, context_, name_.c_str(),
                             SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol);
    if (rv == SCARD_E_PROTO_MISMATCH)
        PCSC_CALL(operations_, SCardConnect, context_, name_.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0, &handle,
                  &protocol);
    card_.Adopt(handle);
    if (protocol == SCARD_PROTOCOL_T0) {
        pci_ = SCARD_PCI_T0;
    } else if (protocol == SCARD_PROTOCOL_T1) {
        pci_ = SCARD_PCI_T1;
    } else {
        // A connection we cannot talk over is closed again, so a later attempt does not leak it.
        card_.Close();
        char message[64];
        std::snprintf(message, sizeof message, "unknown protocol %#lx", static_cast<unsigned long>(protocol));
        operations_.ThrowPlain(message);
    }
    protocol_ = protocol;
    connected_ = true;
}

void SCardReader::ReadStatus() {
    if (!atr_.empty()) return;
    SCARD_READERSTATE state{};
    state.szReader = name_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    PCSC_CALL(operations_, SCardGetStatusChange, context_, 0, &state, 1);
    cardPresent_ = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
    const size_t length = std::min<size_t>({kMaxCachedAtr, state.cbAtr, sizeof state.rgbAtr});
    atr_.assign(state.rgbAtr, state.rgbAtr + length);
}

bool SCardReader::IsCardPresent() {
    try {
        ReadStatus();
        return cardPresent_;
    } catch (...) {
        return false;
    }
}

std::vector<uint8_t> SCardReader::GetAtr() {
    try {
        ReadStatus();
        return atr_;
    } catch (...) {
        return {};
    }
}

int SCardReader::GetRemainingAttempts() { return remainingTries_; }

void SCardReader::SetPinPadListener(std::function<void(bool)> listener) { pinPadListener_ = std::move(listener); }

ApduResponse SCardReader::Transmit(uint32_t command, const Bytes& data, unsigned le) {
    if (data.size() > 255) operations_.ThrowPlain("command data too long");
    Bytes encoded = EncodeCommand(command, data, le);
    const Utils::WipeOnExit wipe{encoded};  // it may carry a PIN block
    Bytes received(kReceiveBufferSize);
    DWORD receivedLength = static_cast<DWORD>(received.size());
    PCSC_CALL(operations_, SCardTransmit, card_.get(), pci_, encoded.data(), static_cast<DWORD>(encoded.size()),
              nullptr, received.data(), &receivedLength);
    received.resize(std::min<size_t>(receivedLength, received.size()));
    ApduResponse response = SplitOffStatusWord(command, std::move(received), true);
    LOG_DEBUG("APDU %08x: status %04x, %zu bytes", command, response.status, response.data.size());
    return response;
}

ApduResponse SCardReader::Control(DWORD controlCode, const Bytes& data, bool statusExpected) {
    Bytes received(kReceiveBufferSize);
    DWORD returned = 0;
    PCSC_CALL(operations_, SCardControl, card_.get(), controlCode, data.empty() ? nullptr : data.data(),
              static_cast<DWORD>(data.size()), received.data(), static_cast<DWORD>(received.size()), &returned);
    received.resize(std::min<size_t>(returned, received.size()));
    return SplitOffStatusWord(static_cast<uint32_t>(controlCode), std::move(received), statusExpected);
}

Bytes SCardReader::Exchange(uint32_t command, Bytes data, unsigned le, bool readToEnd) {
    Bytes out;
    for (int step = 1;; ++step) {
        ApduResponse r = Transmit(command, data, le);
        uint32_t sw = r.status;
        bool done = false;
        if (Sw1(sw) == kSw1WrongLength) {
            if (sw == kSwWrongLengthNoHint && le != 0 && le % 256 == 0) {
                sw = kSwSuccess;
                done = true;
            } else {
                le = NamedLength(sw);
            }
        } else if (readToEnd && sw == kSwWrongOffset) {
            sw = kSwSuccess;
        } else if (readToEnd && sw == kSwEndOfFileReached) {
            // The card sent what was left of the file: the read is complete.
            sw = kSwSuccess;
            done = true;
        } else if (!readToEnd && Sw1(sw) == kSw1MoreData) {
            command = kGetResponse;
            data.clear();
            le = NamedLength(sw);
        } else if (sw != kSwSuccess) {
            operations_.ThrowStatusWord(sw, command);
        } else {
            done = !readToEnd || r.data.size() < 256;
        }
        out.insert(out.end(), r.data.begin(), r.data.end());
        if (readToEnd) {
            if (done || (sw == kSwSuccess && r.data.size() < 256)) return out;
            if ((command & 0xFFFF) + r.data.size() > kMaxReadOffset) operations_.ThrowPlain("file too large");
            command += static_cast<uint32_t>(r.data.size());
        }
        if (done) return out;
        if (step >= kMaxExchangeSteps) operations_.ThrowStatusWord(r.status, r.command);
    }
}

void SCardReader::RequireSuccess(const ApduResponse& response) const {
    if (response.status != kSwSuccess) operations_.ThrowStatusWord(response.status, response.command);
}

void SCardReader::CheckConnected() const {
    if (!connected_)
        throw std::logic_error("SZidaZaru::`anonymous-namespace'::SCardReader::CheckConnected: not connected");
}

}  // namespace SZidaZaru::detail
