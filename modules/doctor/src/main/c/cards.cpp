// The smart-card service and each reader, as the host sees them: reader class, card, ATR and
// whether the card is the identity card. No PIN is asked for and no VERIFY is sent.
#include <reader.h>

#include <cstdio>

#include "doctor.h"
#include "scard_comm.h"

namespace Doctor {
namespace {

using SZidaZaru::ReaderClass;

const char* ClassName(ReaderClass readerClass) {
    switch (readerClass) {
    case ReaderClass::Plain: return "plain reader (PIN typed in the PIN dialog)";
    case ReaderClass::EscapePinPad: return "PIN pad reader (escape commands)";
    case ReaderClass::CcidPinPad: return "CCID PIN pad reader";
    case ReaderClass::Bypass: return "reader that verifies the PIN itself (bypass)";
    }
    return "?";
}

std::string FeatureName(uint8_t tag) {
    switch (tag) {
    case FEATURE_VERIFY_PIN_START: return "VERIFY_PIN_START";
    case FEATURE_VERIFY_PIN_FINISH: return "VERIFY_PIN_FINISH";
    case FEATURE_MODIFY_PIN_START: return "MODIFY_PIN_START";
    case FEATURE_MODIFY_PIN_FINISH: return "MODIFY_PIN_FINISH";
    case FEATURE_GET_KEY_PRESSED: return "GET_KEY_PRESSED";
    case FEATURE_VERIFY_PIN_DIRECT: return "VERIFY_PIN_DIRECT";
    case FEATURE_MODIFY_PIN_DIRECT: return "MODIFY_PIN_DIRECT";
    default: {
        char text[16];
        std::snprintf(text, sizeof text, "feature %02X", tag);
        return text;
    }
    }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char two[4];
    for (uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02X", b);
        text += two;
    }
    return text;
}

}  // namespace

bool CheckSmartCards(Findings& findings) {
    Finding finding{"smart cards", Status::Ok, "", "", {}};
    std::shared_ptr<CommBase::ICommLibrary> library;
    std::vector<std::string> readers;
    try {
        library = SZidaZaru::SCardFactory().OpenLibrary("");
        readers = library->ListReaders();
    } catch (const std::exception& e) {
        finding.status = Status::Problem;
        finding.text = std::string("the PC/SC service (pcscd) is not reachable: ") + e.what();
#ifdef _WIN32
        finding.advice = "Start the Smart Card service (sc start SCardSvr) and connect the card reader.";
#else
        finding.advice = "Install and start pcscd (apt-get install pcscd; systemctl start pcscd.socket).";
#endif
        findings.push_back(std::move(finding));
        return false;
    }
    if (readers.empty()) {
        finding.status = Status::Problem;
        finding.text = "the PC/SC service answers, but no card reader is connected";
        finding.advice = "Connect the card reader; if it is connected, check that pcscd has a driver for it (libccid).";
        findings.push_back(std::move(finding));
        return false;
    }
    std::vector<std::string> cards, identityCards;
    bool pinPadCard = false;
    for (const std::string& name : readers) {
        const auto reader = std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(name));
        if (!reader) {
            finding.details.push_back("\"" + name + "\": gone while it was examined");
            continue;
        }
        const ReaderClass readerClass = SZidaZaru::ClassifyReader(name);
        std::string line = "\"" + name + "\": " + ClassName(readerClass);
        const bool present = reader->IsCardPresent();
        if (readerClass == ReaderClass::CcidPinPad) {
            if (!present) {
                line += ", features not read without a card";
            } else {
                try {
                    std::string list;
                    bool verify = false;
                    for (const SZidaZaru::ReaderFeature& feature : reader->GetReaderFeatures()) {
                        char code[16];
                        std::snprintf(code, sizeof code, " %08X", feature.controlCode);
                        list += (list.empty() ? "" : ", ") + FeatureName(feature.tag) + code;
                        verify = verify || feature.tag == FEATURE_VERIFY_PIN_DIRECT;
                    }
                    line += " (features: " + (list.empty() ? std::string("none") : list) + ")";
                    if (!verify) line += ", without VERIFY_PIN_DIRECT: the PIN cannot be verified on it";
                } catch (const std::exception& e) {
                    line += std::string(", its features cannot be read: ") + e.what();
                }
            }
        }
        if (!present) {
            finding.details.push_back(line + ", no card");
            continue;
        }
        cards.push_back(name);
        line += ", card present, ATR " + Hex(reader->GetAtr());
        if (reader->GetCardType() == SZidaZaru::kCardBelpic) {
            line += ", the identity card";
            identityCards.push_back(name);
            if (readerClass != ReaderClass::Plain) pinPadCard = true;
        } else {
            line += ", not recognised as the identity card";
        }
        finding.details.push_back(line);
    }
    const std::string count = std::to_string(readers.size()) + (readers.size() == 1 ? " reader" : " readers");
    if (!identityCards.empty()) {
        finding.text = "pcscd answers, " + count + ", the identity card in \"" + identityCards.front() + "\"";
    } else if (!cards.empty()) {
        finding.status = Status::Problem;
        finding.text = "pcscd answers, " + count + ", but no card in them is recognised as the identity card";
        finding.advice = "Insert the identity card (chip first, contacts up) and run the doctor again.";
    } else {
        finding.status = Status::Problem;
        finding.text = "pcscd answers, " + count + ", but no reader holds a card";
        finding.advice = "Insert the identity card into the reader and run the doctor again.";
    }
    findings.push_back(std::move(finding));
    return pinPadCard;
}

}  // namespace Doctor
