#include "fuzz_pcsc.h"

#include <reader.h>
#include <winscard.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "belpic_card.h"

extern "C" {
const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};
}

namespace FuzzPcsc {
namespace {

using VirtualCard::Bytes;

const char* const kReaders[] = {"Veldra Fuzz Reader 00 00", "VASCO DIGIPASS 870 01 00", "APG8201 02 00",
                                "BOSA BEIDX 03 00"};
constexpr size_t kCcidReader = 2;
constexpr DWORD kVerifyPinDirect = 0x42330006;
const Bytes kClassicAtr = {0x3B, 0x98, 0x13, 0x40, 0x0A, 0xA5, 0x03, 0x01, 0x01, 0x01, 0xAD, 0x13, 0x11};
const Bytes kV18Atr = {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x80, 0x31, 0x80, 0x65, 0xB0,
                       0x85, 0x04, 0x01, 0x20, 0x12, 0x0F, 0xFF, 0x82, 0x90, 0x00};

// The failures a call can be given. The first ten are PC/SC result codes, once.
enum Kind : unsigned {
    kNoService,
    kRemovedCard,
    kSharing,
    kTimeout,
    kCommError,
    kNotTransacted,
    kProtoMismatch,
    kInsufficientBuffer,
    kNoSmartcard,
    kReaderUnavailable,
    kTruncated,    // the answer of this exchange is cut short
    kStatusWord,   // from now on every APDU is answered by one status word
    kListGrew,     // from now on the reader list grows between the size query and the fill
    kHugeAtr,      // this status reports an ATR length beyond the structure
    kRawProtocol,  // this connection is made with a protocol nobody can talk over
    kCardPulled,   // from now on there is no card
    kKinds
};
const LONG kResults[] = {SCARD_E_NO_SERVICE,        SCARD_W_REMOVED_CARD,        SCARD_E_SHARING_VIOLATION,
                         SCARD_E_TIMEOUT,           SCARD_F_COMM_ERROR,          SCARD_E_NOT_TRANSACTED,
                         SCARD_E_PROTO_MISMATCH,    SCARD_E_INSUFFICIENT_BUFFER, SCARD_E_NO_SMARTCARD,
                         SCARD_E_READER_UNAVAILABLE};

struct Keys {
    VirtualCard::CardKeys classic, classic2015, v18;
};

struct Connection {
    size_t reader;
    int transactions = 0;  // pcsc-lite counts nested transactions on one handle
};

struct State {
    std::mutex mutex;
    std::unique_ptr<Keys> keys;
    Setup setup;
    std::unique_ptr<VirtualCard::BelpicCard> card;
    unsigned calls = 0;
    std::set<SCARDCONTEXT> contexts;
    std::map<SCARDHANDLE, Connection> connections;
    uintptr_t nextHandle = 0x100;
    std::optional<uint16_t> stuckStatus;
    bool listGrows = false;
    bool cardGone = false;
};

State& state() {
    static State s;
    return s;
}

VirtualCard::Credential Share(const VirtualCard::Credential& c) {
    EVP_PKEY_up_ref(c.key.get());
    return {VirtualCard::Key(c.key.get()), c.certificate};
}

VirtualCard::CardKeys Share(const VirtualCard::CardKeys& k) {
    return {Share(k.root), Share(k.intermediate), Share(k.signature), Share(k.authentication)};
}

// Counts the call; the kind of failure it is to have, if it is the chosen one.
std::optional<unsigned> Fault(State& s) {
    ++s.calls;
    if (s.setup.faultAt == 0 || s.calls != s.setup.faultAt) return std::nullopt;
    const unsigned kind = s.setup.faultKind % kKinds;
    switch (kind) {
    case kStatusWord: {
        static const uint8_t sw1[] = {0x61, 0x6C, 0x63, 0x69, 0x6A, 0x90, 0x64, 0x6B};
        s.stuckStatus = static_cast<uint16_t>(sw1[s.setup.faultByte >> 5] << 8 | s.setup.faultByte);
        return std::nullopt;
    }
    case kListGrew: s.listGrows = true; return std::nullopt;
    case kCardPulled: s.cardGone = true; return std::nullopt;
    default: return kind;
    }
}

// A one-shot result code for kinds that are one; kCommError for the kinds a call has no use for.
LONG ResultOf(unsigned kind) { return kind < std::size(kResults) ? kResults[kind] : SCARD_F_COMM_ERROR; }

bool CardThere(const State& s) { return s.setup.cardPresent && !s.cardGone; }

std::optional<size_t> ReaderIndex(const char* name) {
    for (size_t i = 0; i < std::size(kReaders); ++i)
        if (name && std::strcmp(name, kReaders[i]) == 0) return i;
    return std::nullopt;
}

std::string MultiString() {
    std::string all;
    for (const char* name : kReaders) {
        all += name;
        all.push_back('\0');
    }
    all.push_back('\0');
    return all;
}

// The VERIFY a CCID reader builds from what the user typed on it.
Bytes TypedVerify(const std::string& digits) {
    Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08, static_cast<uint8_t>(0x20 | digits.size())};
    for (size_t i = 0; i < 14; i += 2) {
        const uint8_t high = i < digits.size() ? digits[i] - '0' : 0xF;
        const uint8_t low = i + 1 < digits.size() ? digits[i + 1] - '0' : 0xF;
        apdu.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return apdu;
}

LONG Answer(const Bytes& answer, LPBYTE out, LPDWORD outLength, DWORD room) {
    if (room < answer.size()) {
        *outLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    if (!answer.empty()) std::memcpy(out, answer.data(), answer.size());
    *outLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

}  // namespace

void Init() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.keys) return;
    s.keys = std::make_unique<Keys>(Keys{VirtualCard::MakeCardKeys(VirtualCard::Generation::Classic, ""),
                                         VirtualCard::MakeCardKeys(VirtualCard::Generation::Classic, "20150301000000Z"),
                                         VirtualCard::MakeCardKeys(VirtualCard::Generation::V18, "")});
}

void Begin(const Setup& setup) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.setup = setup;
    VirtualCard::CardOptions options;
    options.generation = setup.v18 ? VirtualCard::Generation::V18 : VirtualCard::Generation::Classic;
    options.pin = kCardPin;
    options.tries = setup.tries;
    options.escapePinPad = true;
    options.pinPadOutcome = setup.pinPad == PinPad::Cancel    ? VirtualCard::PinPadOutcome::Cancel
                            : setup.pinPad == PinPad::Timeout ? VirtualCard::PinPadOutcome::Timeout
                                                              : VirtualCard::PinPadOutcome::Typed;
    if (setup.pinPad == PinPad::Wrong) options.pinPadPin = "000000";
    const VirtualCard::CardKeys& keys = setup.v18              ? s.keys->v18
                                        : setup.oldCertificate ? s.keys->classic2015
                                                               : s.keys->classic;
    s.card = std::make_unique<VirtualCard::BelpicCard>(options, Share(keys));
    s.calls = 0;
    s.contexts.clear();
    s.connections.clear();
    s.stuckStatus.reset();
    s.listGrows = false;
    s.cardGone = false;
}

std::string OpenHandles() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::string open;
    if (!s.contexts.empty()) open += std::to_string(s.contexts.size()) + " context(s) ";
    if (!s.connections.empty()) open += std::to_string(s.connections.size()) + " card connection(s) ";
    for (const auto& [handle, connection] : s.connections)
        if (connection.transactions) open += "a transaction on " + std::string(kReaders[connection.reader]) + " ";
    return open;
}

unsigned Calls() { return state().calls; }

}  // namespace FuzzPcsc

using namespace FuzzPcsc;

extern "C" {

LONG SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (auto kind = Fault(s)) return ResultOf(*kind);
    *context = static_cast<SCARDCONTEXT>(s.nextHandle++);
    s.contexts.insert(*context);
    return SCARD_S_SUCCESS;
}

LONG SCardReleaseContext(SCARDCONTEXT context) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (s.contexts.erase(context) == 0) return SCARD_E_INVALID_HANDLE;
    return kind ? ResultOf(*kind) : SCARD_S_SUCCESS;
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (auto kind = Fault(s)) return ResultOf(*kind);
    if (!s.contexts.count(context)) return SCARD_E_INVALID_HANDLE;
    if (s.setup.noReaders) return SCARD_E_NO_READERS_AVAILABLE;
    const std::string all = MultiString();
    if (readers == nullptr) {
        *length = static_cast<DWORD>(all.size() - (s.listGrows ? 1 : 0));
        return SCARD_S_SUCCESS;
    }
    if (*length < all.size()) {
        *length = static_cast<DWORD>(all.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(readers, all.data(), all.size());
    *length = static_cast<DWORD>(all.size());
    return SCARD_S_SUCCESS;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD, SCARD_READERSTATE* states, DWORD count) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (kind && *kind != kHugeAtr) return ResultOf(*kind);
    if (!s.contexts.count(context)) return SCARD_E_INVALID_HANDLE;
    for (DWORD i = 0; i < count; ++i) {
        if (!ReaderIndex(states[i].szReader)) return SCARD_E_UNKNOWN_READER;
        const Bytes& atr = s.setup.v18 ? kV18Atr : kClassicAtr;
        std::memset(states[i].rgbAtr, 0, sizeof states[i].rgbAtr);
        if (CardThere(s)) {
            states[i].dwEventState = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
            std::memcpy(states[i].rgbAtr, atr.data(), atr.size());
            states[i].cbAtr = static_cast<DWORD>(atr.size());
        } else {
            states[i].dwEventState = SCARD_STATE_EMPTY | SCARD_STATE_CHANGED;
            states[i].cbAtr = 0;
        }
        if (kind) states[i].cbAtr = 34 + s.setup.faultByte;
    }
    return SCARD_S_SUCCESS;
}

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD, DWORD protocols, LPSCARDHANDLE card, LPDWORD active) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (kind && *kind != kRawProtocol) return ResultOf(*kind);
    if (!s.contexts.count(context)) return SCARD_E_INVALID_HANDLE;
    const auto index = ReaderIndex(reader);
    if (!index) return SCARD_E_UNKNOWN_READER;
    if (!CardThere(s)) return SCARD_E_NO_SMARTCARD;
    *card = static_cast<SCARDHANDLE>(s.nextHandle++);
    *active = kind ? SCARD_PROTOCOL_RAW : (protocols & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    s.connections[*card] = Connection{*index};
    s.card->Reset();
    return SCARD_S_SUCCESS;
}

LONG SCardDisconnect(SCARDHANDLE card, DWORD) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (s.connections.erase(card) == 0) return SCARD_E_INVALID_HANDLE;
    return kind ? ResultOf(*kind) : SCARD_S_SUCCESS;
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (auto kind = Fault(s)) return ResultOf(*kind);
    auto it = s.connections.find(card);
    if (it == s.connections.end()) return SCARD_E_INVALID_HANDLE;
    if (!CardThere(s)) return SCARD_W_REMOVED_CARD;
    ++it->second.transactions;
    return SCARD_S_SUCCESS;
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    auto it = s.connections.find(card);
    if (it == s.connections.end()) return SCARD_E_INVALID_HANDLE;
    if (it->second.transactions == 0) return SCARD_E_NOT_TRANSACTED;
    --it->second.transactions;
    return kind ? ResultOf(*kind) : SCARD_S_SUCCESS;
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST*, LPCBYTE send, DWORD sendLength, SCARD_IO_REQUEST*,
                   LPBYTE receive, LPDWORD receiveLength) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (kind && *kind != kTruncated) return ResultOf(*kind);
    if (!s.connections.count(card)) return SCARD_E_INVALID_HANDLE;
    if (!CardThere(s)) return SCARD_W_REMOVED_CARD;
    if (!send || sendLength == 0 || !receive || !receiveLength) return SCARD_E_INVALID_PARAMETER;
    Bytes answer = s.card->Process(Bytes(send, send + sendLength));
    if (s.stuckStatus) answer = {static_cast<uint8_t>(*s.stuckStatus >> 8), static_cast<uint8_t>(*s.stuckStatus)};
    if (kind) answer.resize(std::min<size_t>(answer.size(), s.setup.faultByte % 3));
    return Answer(answer, receive, receiveLength, *receiveLength);
}

LONG SCardControl(SCARDHANDLE card, DWORD code, LPCVOID, DWORD, LPVOID output, DWORD outputLength, LPDWORD returned) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    const auto kind = Fault(s);
    if (returned) *returned = 0;
    if (kind && *kind != kTruncated) return ResultOf(*kind);
    auto it = s.connections.find(card);
    if (it == s.connections.end()) return SCARD_E_INVALID_HANDLE;
    if (!output || !returned) return SCARD_E_INVALID_PARAMETER;
    Bytes answer;
    if (code == CM_IOCTL_GET_FEATURE_REQUEST) {
        if (it->second.reader == kCcidReader) answer = {FEATURE_VERIFY_PIN_DIRECT, 4, 0x42, 0x33, 0x00, 0x06};
    } else if (code == kVerifyPinDirect && it->second.reader == kCcidReader) {
        if (!CardThere(s)) return SCARD_W_REMOVED_CARD;
        switch (s.setup.pinPad) {
        case PinPad::Typed: answer = s.card->Process(TypedVerify(kCardPin)); break;
        case PinPad::Wrong: answer = s.card->Process(TypedVerify("000000")); break;
        case PinPad::Cancel: answer = {0x64, 0x01}; break;
        case PinPad::Timeout: answer = {0x64, 0x00}; break;
        }
    } else {
        return SCARD_E_UNSUPPORTED_FEATURE;
    }
    if (kind) answer.resize(std::min<size_t>(answer.size(), s.setup.faultByte % 3));
    return Answer(answer, static_cast<LPBYTE>(output), returned, outputLength);
}

}  // extern "C"
