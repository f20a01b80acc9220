// The identity card operations: recognition, file reading, the reader classes and PIN verification
// in each of them, signatures, and the reader's other card commands.
#include <reader.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "der.h"
#include "i18n.h"
#include "scard_reader.h"
#include "secret.h"
#include "status_word.h"

namespace SZidaZaru::detail {

namespace {
constexpr uint32_t kSelectByPath = 0x00A4080C;
constexpr uint32_t kReadBinary = 0x00B00000;
constexpr uint32_t kVerify = 0x00200001;
constexpr uint32_t kEscapeVerifyPin = 0xF195F7C1;
constexpr uint32_t kEscapeFeatures = 0xF195F7FE;
constexpr uint32_t kEscapeChallengeBase = 0xF195F700;
constexpr uint32_t kMseSetSignature = 0x002241B6;
constexpr uint32_t kPsoComputeSignature = 0x002A9E9A;
constexpr uint8_t kSignatureKeyRef = 0x83;
constexpr uint8_t kAuthenticationKeyRef = 0x82;
constexpr uint8_t kTagChallengeFunction = 0x8A;
constexpr size_t kChallengeSignatureLength = 128;
constexpr uint32_t kMaxChallenge = 99999999;
constexpr char kProbePath[] = {0x3F, 0x00, static_cast<char>(0xDF), 0x00, 0x50, 0x32};

// The head of the token information file that holds what recognition needs on this card family:
// the SEQUENCE header (2), the version (3), a 16-byte serial number (18) and the label "BELPIC" (8).
// Read with that Le, a T=0 card answers it at once instead of 6Cxx and a second READ BINARY.
constexpr size_t kProbeHeadBytes = 31;
// The longest signature a key of this card family makes: RSA-2048 (the 1.8 card's P-384 gives 96).
constexpr size_t kMaxSignatureBytes = 256;

// The serialNumber of a PKCS #15 TokenInfo (SEQUENCE { INTEGER version, OCTET STRING serialNumber,
// ... }); empty when it is not there whole. info may be the head of the file only: the SEQUENCE may
// run past its end, the serial number may not.
Bytes TokenInfoSerial(const Bytes& info) {
    uint8_t tag = 0;
    size_t content = 0, length = 0;
    if (!der_element(info, 0, tag, content, length) || tag != 0x30) return {};
    const size_t sequenceEnd = content + length;
    if (!der_element(info, content, tag, content, length) || tag != 0x02 || length == 0) return {};
    if (!der_element(info, content + length, tag, content, length) || tag != 0x04 || length == 0) return {};
    const size_t end = content + length;
    if (end > sequenceEnd || end > info.size()) return {};
    return Bytes(info.begin() + static_cast<long>(content), info.begin() + static_cast<long>(end));
}

bool HoldsBelpicLabel(const Bytes& info) {
    return std::string(info.begin(), info.end()).find("BELPIC") != std::string::npos;
}

// Calls the listener with false when the verification ends, however it ends.
class ListenerRelease {
public:
    explicit ListenerRelease(std::function<void(bool)> listener) : listener_(std::move(listener)) {}
    ~ListenerRelease() {
        if (!listener_) return;
        try {
            listener_(false);
        } catch (...) {
            // an observer's failure must not replace the verification's own outcome
        }
    }
    ListenerRelease(const ListenerRelease&) = delete;
    ListenerRelease& operator=(const ListenerRelease&) = delete;

private:
    std::function<void(bool)> listener_;
};

}  // namespace

int SCardReader::GetCardType() {
    try {
        Connect();
    } catch (...) {
        return cardType_;
    }
    if (cardType_ != kCardUnknown) return cardType_;
    try {
        const Bytes info = ReadTokenInfo();
        if (HoldsBelpicLabel(info)) {
            cardType_ = kCardBelpic;
            cardSerial_ = TokenInfoSerial(info);
        }
    } catch (...) {
        // a card without the BELPIC application, or one that went away: still unknown
    }
    return cardType_;
}

// The head of the file is enough when it holds the label and a whole serial number, or when the
// card answered fewer bytes than asked (that is the whole file); otherwise the file is read whole,
// so that no card is judged by less than all of it.
Bytes SCardReader::ReadTokenInfo() {
    const std::string path(kProbePath, sizeof kProbePath);
    try {
        Bytes head = ReadFileHead(path, kProbeHeadBytes);
        if (head.size() < kProbeHeadBytes || (HoldsBelpicLabel(head) && !TokenInfoSerial(head).empty())) return head;
    } catch (const Utils::api_exception& e) {
        // A card that answers a short read with what is left and 6282 is read the long way below.
        if (static_cast<uint32_t>(e.code()) != kSwEndOfFileReached) throw;
    }
    return ReadFile(path);
}

std::vector<uint8_t> SCardReader::ReadFile(const std::string& path) {
    TransactionGuard transaction(card_.get(), operations_);
    const ApduResponse selected = Transmit(kSelectByPath, Bytes(path.begin(), path.end()), 0);
    if (selected.status != kSwSuccess) operations_.ThrowStatusWord(selected.status, kSelectByPath);
    return Exchange(kReadBinary, {}, 256, true);
}

std::vector<uint8_t> SCardReader::ReadFileHead(const std::string& path, size_t length) {
    TransactionGuard transaction(card_.get(), operations_);
    const ApduResponse selected = Transmit(kSelectByPath, Bytes(path.begin(), path.end()), 0);
    if (selected.status != kSwSuccess) operations_.ThrowStatusWord(selected.status, kSelectByPath);
    return Exchange(kReadBinary, {}, static_cast<unsigned>(std::min<size_t>(length, 256)), false);
}

std::vector<ReaderFeature> SCardReader::ReaderFeatures() {
    const ApduResponse features = Control(CM_IOCTL_GET_FEATURE_REQUEST, {}, false);
    std::vector<ReaderFeature> list;
    for (const TlvEntry& entry : ScanTlv(features.data)) {
        if (!entry.complete || entry.length != 4) continue;
        const uint8_t* v = &features.data[entry.valueOffset];
        list.push_back({entry.tag, static_cast<uint32_t>(v[0]) << 24 | static_cast<uint32_t>(v[1]) << 16 |
                                       static_cast<uint32_t>(v[2]) << 8 | v[3]});
    }
    return list;
}

std::vector<ReaderFeature> SCardReader::GetReaderFeatures() {
    Connect();
    return ReaderFeatures();
}

}  // namespace SZidaZaru::detail

namespace SZidaZaru {

ReaderClass ClassifyReader(const std::string& readerName) {
    std::string upper = readerName;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    auto has = [&upper](const char* pattern) { return upper.find(pattern) != std::string::npos; };
    if (has("VASCO DIGIPASS 850") || has("VASCO DIGIPASS 870") || has("VASCO DIGIPASS 875") ||
        has("VASCO DIGIPASS 920"))
        return ReaderClass::EscapePinPad;
    if (has("APG8201")) return ReaderClass::CcidPinPad;
    if (has("BOSA BEIDX")) return ReaderClass::Bypass;
    return ReaderClass::Plain;
}

const char* ReaderClassDescription(ReaderClass readerClass) {
    switch (readerClass) {
    case ReaderClass::Plain: return N_("plain reader (PIN typed in the PIN dialog)");
    case ReaderClass::EscapePinPad: return N_("PIN pad reader (escape commands)");
    case ReaderClass::CcidPinPad: return N_("CCID PIN pad reader");
    case ReaderClass::Bypass: return N_("reader that verifies the PIN itself (bypass)");
    }
    return "?";
}

}  // namespace SZidaZaru

namespace SZidaZaru::detail {

bool SCardReader::VerifyPin(const Utils::Secret& pin) {
    OperationScope scope(operations_, "verifying PIN");
    GetCardType();
    CheckConnected();
    std::optional<ListenerRelease> release;
    if (pinPadListener_) {
        pinPadListener_(true);
        release.emplace(pinPadListener_);
    }
    const ReaderClass readerClass = ClassifyReader(name_);
    if (readerClass == ReaderClass::Bypass) return true;
    const ApduResponse response = SendPinVerification(readerClass, pin);
    ActOnPinStatus(response);
    return true;
}

ApduResponse SCardReader::SendPinVerification(ReaderClass readerClass, const Utils::Secret& pin) {
    switch (readerClass) {
    case ReaderClass::Plain: {
        Bytes block = EncodePinBlock(pin.text());
        const Utils::WipeOnExit wipe{block};
        if (block.empty()) operations_.ThrowPlain("invalid PIN format");
        return Transmit(kVerify, block, 0);
    }
    case ReaderClass::EscapePinPad: return Transmit(kEscapeVerifyPin, EscapePinPadVerifyData(), 0);
    case ReaderClass::CcidPinPad: {
        std::optional<DWORD> verifyCode;
        for (const ReaderFeature& feature : ReaderFeatures()) {
            if (feature.tag == FEATURE_VERIFY_PIN_DIRECT) {
                verifyCode = feature.controlCode;
                break;
            }
        }
        if (!verifyCode) operations_.ThrowPlain("Signature Feature not found");
        return Control(*verifyCode, PinVerifyStructure(), true);
    }
    case ReaderClass::Bypass: break;
    }
    return {};
}

void SCardReader::ActOnPinStatus(const ApduResponse& response) {
    remainingTries_ = -1;
    const uint32_t sw = response.status;
    if (IsVerifyFailed(sw)) {
        const int remaining = static_cast<int>(sw & 0x0F);
        remainingTries_ = remaining;
        char message[64];
        std::snprintf(message, sizeof message, "invalid pin; remaining %d", remaining);
        operations_.ThrowPinOutcome(CommBase::kInvalidPin, message, remaining);
    }
    if (sw == kSwAuthenticationBlocked) {
        remainingTries_ = 0;
        operations_.ThrowPinOutcome(CommBase::kCardBlocked, "card blocked", 0);
    }
    if (sw == kSwPinPadTimeout || sw == kSwPinPadCancelled)
        operations_.ThrowPinOutcome(CommBase::kPinTimeoutOrCancelled, "PIN timeout or cancelled", 0);
    if (sw != kSwSuccess) operations_.ThrowStatusWord(sw, response.command);
}

Bytes SCardReader::SignWith(const char* description, const std::string& keyId, const Utils::Secret& pin,
                            const Bytes& data, uint8_t algorithm) {
    GetCardType();
    OperationScope scope(operations_, description);
    // One transaction from the environment to the signature: another process's MSE SET in
    // between would make the card sign with the key it chose. (Unconnected, there is no card to
    // hold; the first command fails as it always has.)
    std::optional<TransactionGuard> transaction;
    if (connected_) transaction.emplace(card_.get(), operations_);
    {
        OperationScope mse(operations_, "setting security environment");
        const uint8_t key = keyId == kSignatureKey ? kSignatureKeyRef : kAuthenticationKeyRef;
        RequireSuccess(Transmit(kMseSetSignature, {0x04, 0x80, algorithm, 0x84, key}, 0));
    }
    VerifyPin(pin);
    Bytes signature;
    try {
        signature = Exchange(kPsoComputeSignature, data, 0, false);
    } catch (const Utils::api_exception& e) {
        throw CommBase::CommException(e.message(), CommBase::kSignatureFailed, e.code());
    }
    // More than a key of the card can make is not a signature of that key.
    if (signature.size() > kMaxSignatureBytes) {
        char message[64];
        std::snprintf(message, sizeof message, "signature of %zu bytes", signature.size());
        throw CommBase::CommException(operations_.Compose(message), CommBase::kSignatureFailed, 0);
    }
    return signature;
}

std::vector<uint8_t> SCardReader::Sign(const Utils::Secret& pin, const std::string& keyId,
                                       const std::vector<uint8_t>& data) {
    return SignWith("computing digital signature", keyId, pin, data, 0x01);
}

std::vector<uint8_t> SCardReader::SignBeid18(const Utils::Secret& pin, const std::string& keyId,
                                             const std::vector<uint8_t>& data, bool beid18) {
    const uint8_t algorithm = beid18 ? Beid18AlgorithmByte(data.size()) : 0x01;
    return SignWith("computing beid18 digital signature", keyId, pin, data, algorithm);
}

std::vector<uint8_t> SCardReader::SelectEmvApplication() {
    return Exchange(0x00A40400, {0xA0, 0x00, 0x00, 0x00, 0x04, 0x30, 0x60}, 0, false);
}

std::vector<uint8_t> SCardReader::GetProcessingOptions(const std::vector<uint8_t>& data) {
    return Exchange(0x80A80000, data, 0, false);
}

std::vector<uint8_t> SCardReader::ReadRecord(uint8_t record, int sfi) {
    const uint32_t p2 = static_cast<uint32_t>(sfi * 8 + 4) & 0xFF;
    return Exchange(0x00B20000 | static_cast<uint32_t>(record) << 8 | p2, {}, 256, false);
}

std::vector<uint8_t> SCardReader::SelectPkcs15Application() {
    return Exchange(0x00A4040C, {0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35}, 0, false);
}

std::vector<uint8_t> SCardReader::SelectFile(const std::vector<uint8_t>& fileId) {
    return Exchange(0x00A4020C, fileId, 0, false);
}

std::vector<uint8_t> SCardReader::ReadRecordInCurrentFile(uint8_t record) {
    return Exchange(0x00B20004 | static_cast<uint32_t>(record) << 8, {}, 256, false);
}

SignChallengeResult SCardReader::SignChallenge(uint32_t challenge, const std::vector<uint8_t>& extra,
                                               const std::string& language) {
    SignChallengeResult result;
    const char* failure = nullptr;
    {
        OperationScope scope(operations_, "computing sign challenge");
        // Values the request encoding cannot carry are refused before anything reaches the reader.
        if (challenge > kMaxChallenge) operations_.ThrowPlain("challenge out of range");
        if (!extra.empty() && extra.size() != 0x20) operations_.ThrowPlain("invalid challenge data");

        const Bytes features = Exchange(kEscapeFeatures, {}, 256, false);
        std::optional<uint8_t> function;
        for (const TlvEntry& entry : ScanTlv(features)) {
            if (entry.tag != kTagChallengeFunction) continue;
            if (entry.complete && entry.length == 1) function = features[entry.valueOffset];
            break;
        }
        if (!function) {
            failure = "Failed to determine sign challenge features";
        } else {
            Bytes request = {0x99, 0x04};
            const Bytes bcd = EncodeBcd8(challenge);
            request.insert(request.end(), bcd.begin(), bcd.end());
            if (!extra.empty()) {
                request.push_back(0x98);
                request.push_back(0x20);
                request.insert(request.end(), extra.begin(), extra.end());
            }
            request.push_back(0x5F);
            request.push_back(0x2D);
            request.push_back(static_cast<uint8_t>(language.size()));
            request.insert(request.end(), language.begin(), language.end());
            const Bytes answer = Exchange(kEscapeChallengeBase | *function, request, 0, false);
            const size_t n = answer.size();
            if (n < kChallengeSignatureLength) {
                failure = "Invalid response format";
            } else {
                result.data.assign(answer.begin(), answer.end() - kChallengeSignatureLength);
                result.signature.assign(answer.end() - kChallengeSignatureLength, answer.end());
                const size_t d1 = n > 1 ? answer[1] : 0;
                result.wellFormed = d1 + 3 < n && d1 + answer[d1 + 3] + 132 == n;
            }
        }
    }
    if (failure) operations_.ThrowPlain(failure);
    return result;
}

}  // namespace SZidaZaru::detail
