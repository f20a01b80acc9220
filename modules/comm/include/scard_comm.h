// The PC/SC implementation of the comm interfaces. Callers create an SCardFactory and reach
// everything else through the interfaces; the PC/SC-only operations through a dynamic cast of
// an ICommReader pointer to ISCardReader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm_base.h"

namespace SZidaZaru {

// The label of the one library this factory offers.
inline constexpr const char* kLibraryName = "__zidazaru__";

// Key labels (GetFilePath fileId 0 and 1): key references 83 and 82 on the card.
inline constexpr const char* kSignatureKey = "__signature__";
inline constexpr const char* kAuthenticationKey = "__authentication__";

// Card types returned by GetCardType and taken by GetFilePath. kCardPkcs15: a card whose files lie
// under the PKCS #15 application (DF 5015); GetCardType never reports it, callers pass it in.
enum CardType : int { kCardUnknown = 0, kCardBelpic = 1, kCardPkcs15 = 3 };

struct SignChallengeResult {
    std::vector<uint8_t> signature;  // the last 128 bytes of the answer
    std::vector<uint8_t> data;       // the bytes before them
    bool wellFormed = false;         // data is exactly two TLV items
};

// One entry of a reader's feature list (CM_IOCTL_GET_FEATURE_REQUEST): a feature tag such as
// FEATURE_VERIFY_PIN_DIRECT and the control code that carries it out.
struct ReaderFeature {
    uint8_t tag = 0;
    uint32_t controlCode = 0;
};

class ISCardReader : public CommBase::ICommReader {
public:
    // Never raises; empty when no card was seen.
    virtual std::vector<uint8_t> GetAtr() = 0;
    // -1 unknown, else the tries left after the last verification.
    virtual int GetRemainingAttempts() = 0;
    // The serial number in the card's token information file, as the card recognition read it
    // (no APDU of its own); empty when the card gave none.
    virtual std::vector<uint8_t> GetCardSerial() { return {}; }
    // At most the first length bytes (up to 256) of the file at path, in one READ BINARY.
    virtual std::vector<uint8_t> ReadFileHead(const std::string& path, size_t length) {
        std::vector<uint8_t> bytes = ReadFile(path);
        if (bytes.size() > length) bytes.resize(length);
        return bytes;
    }
    // The reader's feature list, asked over the card connection (connecting first, as a CCID PIN
    // pad verification does); raises when the reader cannot be asked.
    virtual std::vector<ReaderFeature> GetReaderFeatures() { return {}; }
    virtual std::vector<uint8_t> SelectEmvApplication() = 0;
    virtual std::vector<uint8_t> GetProcessingOptions(const std::vector<uint8_t>& data) = 0;
    virtual std::vector<uint8_t> ReadRecord(uint8_t record, int sfi) = 0;
    virtual std::vector<uint8_t> SelectPkcs15Application() = 0;
    virtual std::vector<uint8_t> SelectFile(const std::vector<uint8_t>& fileId) = 0;
    virtual std::vector<uint8_t> ReadRecordInCurrentFile(uint8_t record) = 0;
    // challenge: at most 99999999. extra: empty or 32 bytes. language: e.g. "en".
    virtual SignChallengeResult SignChallenge(uint32_t challenge, const std::vector<uint8_t>& extra,
                                              const std::string& language) = 0;
};

// Stateless; create it directly.
class SCardFactory : public CommBase::ICommFactory {
public:
    SCardFactory() = default;
    std::vector<std::string> ListLibraries() override;
    // Establishes a PC/SC context; raises "error calling SCardEstablishContext" when the
    // smart-card service is not available.
    std::shared_ptr<CommBase::ICommLibrary> OpenLibrary(const std::string& name) override;
};

// How a reader is driven for PIN entry, from its name.
enum class ReaderClass : int { Plain = 0, EscapePinPad = 1, CcidPinPad = 2, Bypass = 3 };
ReaderClass ClassifyReader(const std::string& readerName);
// The class in words for a person, in English: marked for translation, translated by the caller.
const char* ReaderClassDescription(ReaderClass readerClass);

}  // namespace SZidaZaru
