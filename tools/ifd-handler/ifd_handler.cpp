// The IFD handler entry points pcscd calls. Each reader.conf entry is one reader with one slot,
// its card on TCP port N of 127.0.0.1 ("DEVICENAME /dev/null:N", or CHANNELID N); the state
// of every reader is kept by its Lun, so one driver file serves any number of entries.
//
// Unlike vpcd, a card that hangs up during a command is reported as absent
// (IFD_ICC_NOT_PRESENT), and the reader is a CCID PIN pad: CM_IOCTL_GET_FEATURE_REQUEST lists
// FEATURE_VERIFY_PIN_DIRECT, whose control code takes a PIN_VERIFY_STRUCTURE, asks the card
// process what was typed on the keypad and sends the VERIFY it builds to the card.
extern "C" {  // the header declares the entry points without C linkage
#include <ifdhandler.h>
}
#include <reader.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "card_socket.h"
#include "pin_pad.h"

#define IFD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using VirtualReader::Bytes;
using VirtualReader::CardSocket;

// As CCID readers number their PIN control codes.
constexpr DWORD kVerifyPinDirectCode = SCARD_CTL_CODE(0x330000 + FEATURE_VERIFY_PIN_DIRECT);
constexpr int kCardTimeoutMs = 10000;
constexpr size_t kMaxAtr = MAX_ATR_SIZE;

struct Reader {
    std::mutex lock;
    CardSocket card;
    Bytes atr;  // empty: not powered
};

std::mutex readersLock;
std::map<DWORD, std::shared_ptr<Reader>> readers;  // by Lun, for the life of pcscd

std::shared_ptr<Reader> Find(DWORD lun) {
    std::lock_guard<std::mutex> guard(readersLock);
    const auto found = readers.find(lun);
    return found == readers.end() ? nullptr : found->second;
}

RESPONSECODE Open(DWORD lun, unsigned long port) {
    if (port == 0 || port > 0xFFFF) return IFD_COMMUNICATION_ERROR;
    auto reader = std::make_shared<Reader>();
    if (!reader->card.Listen(static_cast<uint16_t>(port))) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(readersLock);
    readers[lun] = std::move(reader);
    return IFD_SUCCESS;
}

// The card went away: the reader forgets it.
RESPONSECODE Gone(Reader& reader) {
    reader.card.DropCard();
    reader.atr.clear();
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE Copy(const Bytes& bytes, PUCHAR out, DWORD capacity, PDWORD length) {
    if (bytes.size() > capacity) {
        *length = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    *length = static_cast<DWORD>(bytes.size());
    return IFD_SUCCESS;
}

RESPONSECODE VerifyPin(Reader& reader, const Bytes& structure, PUCHAR out, DWORD capacity, PDWORD length) {
    auto keypad = reader.card.Ask({VirtualReader::kKeypad}, kCardTimeoutMs);
    if (!keypad) return Gone(reader);
    const VirtualReader::KeypadEntry typed = VirtualReader::ParseKeypadAnswer(*keypad);
    VirtualReader::Wipe(keypad->data(), keypad->size());
    const VirtualReader::PinVerification verification = VirtualReader::BuildVerify(structure, typed);
    if (!verification.valid) return IFD_NOT_SUPPORTED;
    if (verification.readerStatus != 0) {
        const Bytes status{static_cast<uint8_t>(verification.readerStatus >> 8),
                           static_cast<uint8_t>(verification.readerStatus)};
        return Copy(status, out, capacity, length);
    }
    const auto answer = reader.card.Ask(verification.command, kCardTimeoutMs);
    if (!answer) return Gone(reader);
    return Copy(*answer, out, capacity, length);
}

}  // namespace

IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    // "/dev/null:PORT", as vpcd's entries name their port.
    const char* colon = DeviceName ? std::strrchr(DeviceName, ':') : nullptr;
    if (!colon) return IFD_COMMUNICATION_ERROR;
    return Open(Lun, std::strtoul(colon + 1, nullptr, 0));
}

IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) { return Open(Lun, Channel); }

IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    std::lock_guard<std::mutex> guard(readersLock);
    readers.erase(Lun);
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    auto reader = Find(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(reader->lock);
    switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: return Copy(reader->atr, Value, *Length, Length);
    case TAG_IFD_SLOTS_NUMBER:
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        if (*Length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
        *Length = 1;
        Value[0] = 1;
        return IFD_SUCCESS;
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
        if (*Length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
        *Length = 1;
        Value[0] = 0;
        return IFD_SUCCESS;
    default: return IFD_ERROR_TAG;
    }
}

IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) { return IFD_ERROR_VALUE_READ_ONLY; }

IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR, UCHAR, UCHAR) {
    auto reader = Find(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
    return IFD_SUCCESS;
}

IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    auto reader = Find(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(reader->lock);
    const DWORD capacity = AtrLength ? *AtrLength : 0;
    if (AtrLength) *AtrLength = 0;
    if (!reader->card.Present()) return Gone(*reader);
    switch (Action) {
    case IFD_POWER_DOWN:
        reader->atr.clear();
        if (!reader->card.Tell({VirtualReader::kPowerOff})) return Gone(*reader);
        return IFD_SUCCESS;
    case IFD_POWER_UP:
    case IFD_RESET: {
        if (!reader->card.Tell({Action == IFD_RESET ? VirtualReader::kReset : VirtualReader::kPowerOn}))
            return Gone(*reader);
        auto atr = reader->card.Ask({VirtualReader::kGetAtr}, kCardTimeoutMs);
        if (!atr) return Gone(*reader);
        if (atr->empty() || atr->size() > kMaxAtr) return IFD_ERROR_POWER_ACTION;
        reader->atr = *atr;
        if (Atr && AtrLength) return Copy(reader->atr, Atr, std::min<DWORD>(capacity, kMaxAtr), AtrLength);
        return IFD_SUCCESS;
    }
    default: return IFD_NOT_SUPPORTED;
    }
}

IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                                          PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
    auto reader = Find(Lun);
    const DWORD capacity = *RxLength;
    *RxLength = 0;
    if (RecvPci) RecvPci->Length = 0;
    if (!reader) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(reader->lock);
    if (!reader->card.Present()) return Gone(*reader);
    auto answer = reader->card.Ask(Bytes(TxBuffer, TxBuffer + TxLength), kCardTimeoutMs);
    if (!answer) return Gone(*reader);
    return Copy(*answer, RxBuffer, capacity, RxLength);
}

IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                                    DWORD RxLength, LPDWORD pdwBytesReturned) {
    auto reader = Find(Lun);
    *pdwBytesReturned = 0;
    if (!reader) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(reader->lock);
    if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST) {
        const Bytes features{FEATURE_VERIFY_PIN_DIRECT,
                             4,
                             static_cast<uint8_t>(kVerifyPinDirectCode >> 24),
                             static_cast<uint8_t>(kVerifyPinDirectCode >> 16),
                             static_cast<uint8_t>(kVerifyPinDirectCode >> 8),
                             static_cast<uint8_t>(kVerifyPinDirectCode)};
        return Copy(features, RxBuffer, RxLength, pdwBytesReturned);
    }
    if (dwControlCode == kVerifyPinDirectCode) {
        if (!reader->card.Present()) return Gone(*reader);
        return VerifyPin(*reader, Bytes(TxBuffer, TxBuffer + TxLength), RxBuffer, RxLength, pdwBytesReturned);
    }
    return IFD_ERROR_NOT_SUPPORTED;
}

IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    auto reader = Find(Lun);
    if (!reader) return IFD_COMMUNICATION_ERROR;
    std::lock_guard<std::mutex> guard(reader->lock);
    if (reader->card.Present()) return IFD_ICC_PRESENT;
    reader->atr.clear();
    return IFD_ICC_NOT_PRESENT;
}
