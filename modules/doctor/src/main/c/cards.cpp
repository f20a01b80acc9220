// The smart-card service and each reader, as the host sees them: reader class, card, ATR and
// whether the card is the identity card. No PIN is asked for and no VERIFY is sent.
#include <reader.h>

#include <cstdio>

#include "doctor.h"
#include "hex.h"
#include "i18n.h"
#include "scard_comm.h"

namespace Doctor {
namespace {

using SZidaZaru::ReaderClass;

// What one reader holds, and the line that says it.
struct ReaderSeen {
    std::string line;
    bool card = false;
    bool identityCard = false;
    bool pinPad = false;  // the identity card sits in a reader that takes the PIN itself
};

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

// A CCID PIN pad reader's features, as they continue its line: read over the card's connection.
std::string FeaturesText(SZidaZaru::ISCardReader& reader, bool present) {
    if (!present) return _(", features not read without a card");
    try {
        std::string list;
        bool verify = false;
        for (const SZidaZaru::ReaderFeature& feature : reader.GetReaderFeatures()) {
            char code[16];
            std::snprintf(code, sizeof code, " %08X", feature.controlCode);
            list += (list.empty() ? "" : ", ") + FeatureName(feature.tag) + code;
            verify = verify || feature.tag == FEATURE_VERIFY_PIN_DIRECT;
        }
        std::string text = Utils::i18n_format(_(" (features: {1})"), {list.empty() ? std::string(_("none")) : list});
        if (!verify) text += _(", without VERIFY_PIN_DIRECT: the PIN cannot be verified on it");
        return text;
    } catch (const std::exception& e) {
        return Utils::i18n_format(_(", its features cannot be read: {1}"), {e.what()});
    }
}

// One reader's line: its class, a CCID PIN pad's features, its card and whether that is the identity card.
ReaderSeen ExamineReader(SZidaZaru::ISCardReader& reader, const std::string& name) {
    ReaderSeen seen;
    const ReaderClass readerClass = SZidaZaru::ClassifyReader(name);
    seen.line = "\"" + name + "\": " + _(SZidaZaru::ReaderClassDescription(readerClass));
    const bool present = reader.IsCardPresent();
    if (readerClass == ReaderClass::CcidPinPad) seen.line += FeaturesText(reader, present);
    if (!present) {
        seen.line += _(", no card");
        return seen;
    }
    seen.card = true;
    seen.line += Utils::i18n_format(_(", card present, ATR {1}"), {hex_upper(reader.GetAtr())});
    if (reader.GetCardType() != SZidaZaru::kCardBelpic) {
        seen.line += _(", not recognised as the identity card");
        return seen;
    }
    seen.line += _(", the identity card");
    seen.identityCard = true;
    seen.pinPad = readerClass != ReaderClass::Plain;
    return seen;
}

void ServiceUnreachable(Finding& finding, const std::exception& e) {
    finding.status = Status::Problem;
    finding.text = Utils::i18n_format(_("the PC/SC service (pcscd) is not reachable: {1}"), {e.what()});
#ifdef _WIN32
    finding.advice = _("Start the Smart Card service (sc start SCardSvr) and connect the card reader.");
#else
    finding.advice = _("Install and start pcscd (apt-get install pcscd; systemctl start pcscd.socket).");
#endif
}

void NoReader(Finding& finding) {
    finding.status = Status::Problem;
    finding.text = _("the PC/SC service answers, but no card reader is connected");
    finding.advice = _("Connect the card reader; if it is connected, check that pcscd has a driver for it (libccid).");
}

// The finding's sentence once every reader is seen: the first identity card, or what is missing.
void Conclude(Finding& finding, size_t readers, size_t cards, const std::string& identityReader) {
    const std::string count =
        readers == 1 ? std::string(_("1 reader")) : Utils::i18n_format(_("{1} readers"), {std::to_string(readers)});
    if (!identityReader.empty()) {
        finding.text =
            Utils::i18n_format(_("pcscd answers, {1}, the identity card in \"{2}\""), {count, identityReader});
    } else if (cards != 0) {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(
            _("pcscd answers, {1}, but no card in them is recognised as the identity card"), {count});
        finding.advice = _("Insert the identity card (chip first, contacts up) and run the doctor again.");
    } else {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(_("pcscd answers, {1}, but no reader holds a card"), {count});
        finding.advice = _("Insert the identity card into the reader and run the doctor again.");
    }
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
        ServiceUnreachable(finding, e);
    }
    if (finding.status == Status::Ok && readers.empty()) NoReader(finding);
    if (finding.status == Status::Problem) {
        findings.push_back(std::move(finding));
        return false;
    }
    size_t cards = 0;
    std::string identityReader;
    bool pinPadCard = false;
    for (const std::string& name : readers) {
        const auto reader = std::dynamic_pointer_cast<SZidaZaru::ISCardReader>(library->GetReader(name));
        if (!reader) {
            finding.details.push_back(Utils::i18n_format(_("\"{1}\": gone while it was examined"), {name}));
            continue;
        }
        ReaderSeen seen = ExamineReader(*reader, name);
        cards += seen.card ? 1 : 0;
        if (seen.identityCard && identityReader.empty()) identityReader = name;
        pinPadCard = pinPadCard || seen.pinPad;
        finding.details.push_back(std::move(seen.line));
    }
    Conclude(finding, readers.size(), cards, identityReader);
    findings.push_back(std::move(finding));
    return pinPadCard;
}

}  // namespace Doctor
