// The smart-card service and each reader, as the host sees them: reader class, card, ATR and
// whether the card is the identity card. No PIN is asked for and no VERIFY is sent.
#include <reader.h>

#include <cstdio>

#include "doctor.h"
#include "i18n.h"
#include "scard_comm.h"

namespace Doctor {
namespace {

using SZidaZaru::ReaderClass;

const char* ClassName(ReaderClass readerClass) {
    switch (readerClass) {
    case ReaderClass::Plain: return _("plain reader (PIN typed in the PIN dialog)");
    case ReaderClass::EscapePinPad: return _("PIN pad reader (escape commands)");
    case ReaderClass::CcidPinPad: return _("CCID PIN pad reader");
    case ReaderClass::Bypass: return _("reader that verifies the PIN itself (bypass)");
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
    Finding finding{N_("smart cards"), Status::Ok, "", "", {}};
    std::shared_ptr<CommBase::ICommLibrary> library;
    std::vector<std::string> readers;
    try {
        library = SZidaZaru::SCardFactory().OpenLibrary("");
        readers = library->ListReaders();
    } catch (const std::exception& e) {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(_("the PC/SC service (pcscd) is not reachable: {1}"), {e.what()});
#ifdef _WIN32
        finding.advice = _("Start the Smart Card service (sc start SCardSvr) and connect the card reader.");
#else
        finding.advice = _("Install and start pcscd (apt-get install pcscd; systemctl start pcscd.socket).");
#endif
        findings.push_back(std::move(finding));
        return false;
    }
    if (readers.empty()) {
        finding.status = Status::Problem;
        finding.text = _("the PC/SC service answers, but no card reader is connected");
        finding.advice =
            _("Connect the card reader; if it is connected, check that pcscd has a driver for it (libccid).");
        findings.push_back(std::move(finding));
        return false;
    }
    std::vector<std::string> cards, identityCards;
    bool pinPadCard = false;
    for (const std::string& name : readers) {
        const auto reader = std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(name));
        if (!reader) {
            finding.details.push_back(Utils::i18n_format(_("\"{1}\": gone while it was examined"), {name}));
            continue;
        }
        const ReaderClass readerClass = SZidaZaru::ClassifyReader(name);
        std::string line = "\"" + name + "\": " + ClassName(readerClass);
        const bool present = reader->IsCardPresent();
        if (readerClass == ReaderClass::CcidPinPad) {
            if (!present) {
                line += _(", features not read without a card");
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
                    line += Utils::i18n_format(_(" (features: {1})"), {list.empty() ? std::string(_("none")) : list});
                    if (!verify) line += _(", without VERIFY_PIN_DIRECT: the PIN cannot be verified on it");
                } catch (const std::exception& e) {
                    line += Utils::i18n_format(_(", its features cannot be read: {1}"), {e.what()});
                }
            }
        }
        if (!present) {
            finding.details.push_back(line + _(", no card"));
            continue;
        }
        cards.push_back(name);
        line += Utils::i18n_format(_(", card present, ATR {1}"), {Hex(reader->GetAtr())});
        if (reader->GetCardType() == SZidaZaru::kCardBelpic) {
            line += _(", the identity card");
            identityCards.push_back(name);
            if (readerClass != ReaderClass::Plain) pinPadCard = true;
        } else {
            line += _(", not recognised as the identity card");
        }
        finding.details.push_back(line);
    }
    const std::string count = readers.size() == 1
                                  ? std::string(_("1 reader"))
                                  : Utils::i18n_format(_("{1} readers"), {std::to_string(readers.size())});
    if (!identityCards.empty()) {
        finding.text =
            Utils::i18n_format(_("pcscd answers, {1}, the identity card in \"{2}\""), {count, identityCards.front()});
    } else if (!cards.empty()) {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(
            _("pcscd answers, {1}, but no card in them is recognised as the identity card"), {count});
        finding.advice = _("Insert the identity card (chip first, contacts up) and run the doctor again.");
    } else {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(_("pcscd answers, {1}, but no reader holds a card"), {count});
        finding.advice = _("Insert the identity card into the reader and run the doctor again.");
    }
    findings.push_back(std::move(finding));
    return pinPadCard;
}

}  // namespace Doctor
