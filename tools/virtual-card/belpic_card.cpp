#include "belpic_card.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>

#include "card_files.h"

namespace VirtualCard {
namespace {

const std::string kMf("\x3F\x00", 2);
const std::string kBelpicDf("\x3F\x00\xDF\x00", 4);
const Bytes kBelpicAid = {0xA0, 0x00, 0x00, 0x01, 0x77, 0x50, 0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35};
// What the escape pinpad reader expects after F1 95 F7 C1 1B: its PIN entry settings and the
// VERIFY template it completes with the digits typed.
const Bytes kEscapeVerifyData = {0x00, 0x89, 0x47, 0x04, 0x0C, 0x04, 0x02, 0x01, 0x04, 0x09, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x20, 0x00, 0x01, 0x08, 0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes Sw(uint16_t sw) { return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)}; }

Bytes WithSw(Bytes data, uint16_t sw) {
    data.push_back(static_cast<uint8_t>(sw >> 8));
    data.push_back(static_cast<uint8_t>(sw));
    return data;
}

std::string Hex(const Bytes& bytes, size_t from = 0, size_t count = SIZE_MAX) {
    std::string out;
    char b[3];
    for (size_t i = from; i < bytes.size() && i - from < count; ++i) {
        std::snprintf(b, sizeof b, "%02X", bytes[i]);
        out += b;
    }
    return out;
}

// The digits of an ISO 9564 format 2 PIN block, or "" when the block is malformed.
std::string DigitsOfBlock(const Bytes& block) {
    if (block.size() != 8 || (block[0] >> 4) != 0x2) return "";
    const size_t n = block[0] & 0x0F;
    if (n < 4 || n > 12) return "";
    std::string digits;
    for (size_t i = 0; i < 14; ++i) {
        const uint8_t nibble = (i % 2 == 0) ? block[1 + i / 2] >> 4 : block[1 + i / 2] & 0x0F;
        if (i < n) {
            if (nibble > 9) return "";
            digits.push_back(static_cast<char>('0' + nibble));
        } else if (nibble != 0xF) {
            return "";
        }
    }
    return digits;
}

}  // namespace

BelpicCard::BelpicCard(CardOptions options, CardKeys keys)
    : options_(std::move(options)),
      keys_(std::move(keys)),
      files_(MakeCardFiles(keys_, options_.tokenInfo)),
      triesLeft_(options_.tries) {
    if (options_.pinPadPin.empty()) options_.pinPadPin = options_.pin;
    if (options_.signatureCertificateBytes > 0) {  // a card whose certificate file was cut short
        Bytes& certificate = files_[std::string("\x3F\x00\xDF\x00\x50\x39", 6)];
        certificate.resize(std::min(certificate.size(), options_.signatureCertificateBytes));
    }
    Reset();
}

void BelpicCard::Reset() {
    currentDf_ = kMf;
    currentEf_.clear();
    verified_ = false;
    keyRef_ = 0;
    algorithm_ = 0;
    pending_.clear();
}

Bytes BelpicCard::Process(const Bytes& apdu) {
    logLine_ = "C " + Hex(apdu, 0, 4);
    if (apdu.size() < 4) return Sw(0x6700);
    const uint8_t cla = apdu[0], ins = apdu[1], p1 = apdu[2], p2 = apdu[3];
    // Short APDU cases: header only; header + Le; header + Lc + data; header + Lc + data + Le.
    Bytes data;
    unsigned le = 0;
    bool hasLe = false;
    if (apdu.size() == 5) {
        le = apdu[4] == 0 ? 256 : apdu[4];
        hasLe = true;
    } else if (apdu.size() > 5) {
        const size_t lc = apdu[4];
        if (lc == 0 || apdu.size() < 5 + lc || apdu.size() > 6 + lc) return Sw(0x6700);
        data.assign(apdu.begin() + 5, apdu.begin() + 5 + static_cast<long>(lc));
        if (apdu.size() == 6 + lc) {
            le = apdu.back() == 0 ? 256 : apdu.back();
            hasLe = true;
        }
    }
    const bool isVerify = cla == 0x00 && ins == 0x20;
    if (isVerify) logLine_ += " (PIN block, " + std::to_string(data.size()) + " bytes)";
    else if (!data.empty()) logLine_ += " " + Hex(data);
    if (hasLe) logLine_ += " Le=" + std::to_string(le);

    // Any other command discards a response still waiting for GET RESPONSE.
    if (!(cla == 0x00 && ins == 0xC0)) pending_.clear();
    if (cla == 0xF1)
        return options_.escapePinPad ? Escape(static_cast<uint32_t>(apdu[0]) << 24 | ins << 16 | p1 << 8 | p2, data)
                                     : Sw(0x6E00);
    if (cla != 0x00 && cla != 0x80) return Sw(0x6E00);
    switch (ins) {
    case 0xA4: return Select(p1, data);
    case 0xB0: return ReadBinary(p1, p2, hasLe ? le : 256);
    case 0x20:
        if (p1 != 0x00 || p2 != 0x01) return Sw(0x6A86);
        return Verify(data);
    case 0x22: return SetEnvironment(p1, p2, data);
    case 0x2A:
        if (p1 != 0x9E || p2 != 0x9A) return Sw(0x6A86);
        return ComputeSignature(data);
    case 0xC0: return GetResponse(hasLe ? le : 256);
    default: return Sw(0x6D00);
    }
}

Bytes BelpicCard::Select(uint8_t p1, const Bytes& data) {
    std::string target;
    const std::string raw(data.begin(), data.end());
    switch (p1) {
    case 0x08:  // path from the MF, with or without the MF's own identifier
        if (raw.empty() || raw.size() % 2 != 0) return Sw(0x6A87);
        target = raw.compare(0, 2, kMf) == 0 ? raw : kMf + raw;
        break;
    case 0x00:
    case 0x02:  // file identifier, under the current directory
        if (raw.size() != 2) return Sw(0x6A87);
        target = raw == kMf ? kMf : currentDf_ + raw;
        break;
    case 0x04:  // application identifier
        if (data != kBelpicAid) return Sw(0x6A82);
        target = kBelpicDf;
        break;
    default: return Sw(0x6A86);
    }
    if (!files_.count(target)) return Sw(0x6A82);
    if (IsDirectory(target)) {
        currentDf_ = target;
        currentEf_.clear();
    } else {
        currentDf_ = target.substr(0, target.size() - 2);
        currentEf_ = target;
    }
    return Sw(0x9000);
}

Bytes BelpicCard::ReadBinary(uint8_t p1, uint8_t p2, unsigned le) {
    if (p1 & 0x80) return Sw(0x6A81);
    if (currentEf_.empty()) return Sw(0x6986);
    const Bytes& file = files_.at(currentEf_);
    const size_t offset = static_cast<size_t>(p1) << 8 | p2;
    if (offset >= file.size()) return Sw(0x6B00);
    const size_t n = std::min<size_t>(le, file.size() - offset);
    Bytes data(file.begin() + static_cast<long>(offset), file.begin() + static_cast<long>(offset + n));
    if (n == le) return WithSw(std::move(data), 0x9000);
    switch (options_.shortRead) {
    case ShortRead::WrongLength: return Sw(static_cast<uint16_t>(0x6C00 | n));  // n < le <= 256
    case ShortRead::EndOfFile: return WithSw(std::move(data), 0x6282);
    case ShortRead::Lenient: break;
    }
    return WithSw(std::move(data), 0x9000);
}

Bytes BelpicCard::Verify(const Bytes& block) {
    if (block.empty()) return triesLeft_ == 0 ? Sw(0x6983) : Sw(static_cast<uint16_t>(0x63C0 | triesLeft_));
    std::string digits = DigitsOfBlock(block);
    if (digits.empty()) return Sw(0x6A80);
    Bytes answer = CheckPin(digits);
    OPENSSL_cleanse(digits.data(), digits.size());
    return answer;
}

Bytes BelpicCard::CheckPin(const std::string& candidate) {
    if (triesLeft_ == 0) {
        logLine_ += " blocked";
        return Sw(0x6983);
    }
    if (candidate == options_.pin) {
        triesLeft_ = options_.tries;
        verified_ = true;
        logLine_ += " PIN correct";
        return Sw(0x9000);
    }
    --triesLeft_;
    verified_ = false;
    logLine_ += " PIN wrong, tries left " + std::to_string(triesLeft_);
    return Sw(static_cast<uint16_t>(0x63C0 | triesLeft_));
}

Bytes BelpicCard::SetEnvironment(uint8_t p1, uint8_t p2, const Bytes& data) {
    if (p1 != 0x41 || p2 != 0xB6) return Sw(0x6A86);
    // 04, then the algorithm (tag 80, one byte) and the key reference (tag 84, one byte), each
    // without a length byte.
    if (data.size() != 5 || data[0] != 0x04 || data[1] != 0x80 || data[3] != 0x84) return Sw(0x6A80);
    const int algorithm = data[2];
    const int key = data[4];
    if (key != 0x82 && key != 0x83) return Sw(0x6A88);
    if (options_.generation == Generation::Classic
            ? algorithm != 0x01
            : (algorithm != 0x01 && algorithm != 0x02 && algorithm != 0x04 && algorithm != 0x40))
        return Sw(0x6A80);
    keyRef_ = key;
    algorithm_ = static_cast<uint8_t>(algorithm);
    char line[64];
    std::snprintf(line, sizeof line, " MSE SET alg=%02X key=%02X", algorithm_, keyRef_);
    logLine_ += line;
    return Sw(0x9000);
}

Bytes BelpicCard::ComputeSignature(const Bytes& data) {
    if (keyRef_ == 0) return Sw(0x6985);
    if (!verified_) return Sw(0x6982);
    if (options_.generation == Generation::V18) {
        // The algorithm named in the environment fixes the length of the hash.
        const size_t expected = algorithm_ == 0x01 ? 32 : algorithm_ == 0x02 ? 48 : algorithm_ == 0x04 ? 64 : 0;
        if (expected != 0 && data.size() != expected) return Sw(0x6A80);
    }
    EVP_PKEY* key = keyRef_ == 0x83 ? keys_.signature.key.get() : keys_.authentication.key.get();
    Bytes signature = CardSign(key, data);
    if (signature.empty()) return Sw(0x6A80);
    signature.resize(signature.size() + options_.signatureExtra, 0x5A);
    if (keyRef_ == 0x83) verified_ = false;  // the signature key wants the PIN before every signature
    logLine_ += " signed " + std::to_string(data.size()) + " bytes with key " + (keyRef_ == 0x83 ? "83" : "82");
    return Answer(signature);
}

Bytes BelpicCard::Answer(const Bytes& data) {
    pending_ = data;
    return Sw(static_cast<uint16_t>(0x6100 | (data.size() >= 256 ? 0 : data.size())));
}

Bytes BelpicCard::GetResponse(unsigned le) {
    if (pending_.empty()) return Sw(0x6985);
    if (le > pending_.size()) return Sw(static_cast<uint16_t>(0x6C00 | (pending_.size() & 0xFF)));
    Bytes out(pending_.begin(), pending_.begin() + le);
    pending_.erase(pending_.begin(), pending_.begin() + le);
    if (pending_.empty()) return WithSw(out, 0x9000);
    return WithSw(out, static_cast<uint16_t>(0x6100 | (pending_.size() >= 256 ? 0 : pending_.size())));
}

Bytes BelpicCard::Keypad() {
    logLine_ = "keypad";
    switch (options_.pinPadOutcome) {
    case PinPadOutcome::Cancel: logLine_ += " cancelled"; return {0x01};
    case PinPadOutcome::Timeout: logLine_ += " timed out"; return {0x02};
    case PinPadOutcome::Typed: break;
    }
    logLine_ += " typed " + std::to_string(options_.pinPadPin.size()) + " digits";
    Bytes answer{0x00};
    answer.insert(answer.end(), options_.pinPadPin.begin(), options_.pinPadPin.end());
    return answer;
}

Bytes BelpicCard::Escape(uint32_t command, const Bytes& data) {
    if (command != 0xF195F7C1) return Sw(0x6D00);
    if (data != kEscapeVerifyData) return Sw(0x6A80);
    logLine_ += " pinpad";
    switch (options_.pinPadOutcome) {
    case PinPadOutcome::Cancel: logLine_ += " cancelled"; return Sw(0x6401);
    case PinPadOutcome::Timeout: logLine_ += " timed out"; return Sw(0x6400);
    case PinPadOutcome::Typed: break;
    }
    return CheckPin(options_.pinPadPin);
}

}  // namespace VirtualCard
