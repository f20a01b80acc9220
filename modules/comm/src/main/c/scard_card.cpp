// The identity card operations: recognition, file reading, PIN verification in each reader
// class, signatures, and the reader's other card commands.
#include <reader.h>

#include <algorithm>
#include <cstdio>
#include <optional>

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

// The serialNumber of a PKCS #15 TokenInfo (SEQUENCE { INTEGER version, OCTET STRING serialNumber,
// ... }), short-form lengths as this card family writes them; empty when it is not there.
Bytes TokenInfoSerial(const Bytes& info) {
    if (info.size() < 2 || info[0] != 0x30 || info[1] > 0x7F) return {};
    size_t at = 2;
    if (at + 2 > info.size() || info[at] != 0x02 || info[at + 1] > 0x7F) return {};
    at += 2 + info[at + 1];
    if (at + 2 > info.size() || info[at] != 0x04 || info[at + 1] > 0x7F) return {};
    const size_t length = info[at + 1];
    if (at + 2 + length > info.size()) return {};
    return Bytes(info.begin() + static_cast<long>(at + 2), info.begin() + static_cast<long>(at + 2 + length));
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
        const Bytes info = ReadFile(std::string(kProbePath, sizeof kProbePath));
        if (std::string(info.begin(), info.end()).find("BELPIC") != std::string::npos) {
            cardType_ = kCardBelpic;
            cardSerial_ = TokenInfoSerial(info);
        }
    } catch (...) {
        // a card without the BELPIC application, or one that went away: still unknown
    }
    return cardType_;
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
    if (selected.status != 0x9000) operations_.ThrowStatusWord(selected.status, kSelectByPath);
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

bool SCardReader::VerifyPin(const std::string& pin) {
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

ApduResponse SCardReader::SendPinVerification(ReaderClass readerClass, const std::string& pin) {
    switch (readerClass) {
    case ReaderClass::Plain: {
        Bytes block = EncodePinBlock(pin);
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

Bytes SCardReader::SignWith(const char* description, const std::string& keyId, const std::string& pin,
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
    try {
        return Exchange(kPsoComputeSignature, data, 0, false);
    } catch (const Utils::api_exception& e) {
        throw CommBase::CommException(e.message(), CommBase::kSignatureFailed, e.code());
    }
}

std::vector<uint8_t> SCardReader::Sign(const std::string& pin, const std::string& keyId,
                                       const std::vector<uint8_t>& data) {
    return SignWith("computing digital signature", keyId, pin, data, 0x01);
}

std::vector<uint8_t> SCardReader::SignBeid18(const std::string& pin, const std::string& keyId,
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
