// The report: aligned text lines for a person, one JSON document for a bug report.
#include <cstdio>
#include <cstdlib>

#include "doctor.h"
#include "i18n.h"
#include "json.h"
#include "utf8.h"

namespace Doctor {
namespace {

const char* StatusName(Status status) {
    switch (status) {
    case Status::Ok: return N_("OK");
    case Status::Warning: return N_("WARNING");
    case Status::Problem: return N_("PROBLEM");
    }
    return "?";
}

// Characters, not bytes: the status column stays aligned in every language, and a longer word
// still has a space after it.
std::string Padded(const char* text, std::size_t width) {
    std::string out(text);
    std::size_t characters = 0;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t length = Utils::utf8_sequence_length(out, at);
        at += length ? length : 1;
        ++characters;
    }
    out.append(characters < width ? width - characters : 1, ' ');
    return out;
}

std::string Quoted(const std::string& text) { return "\"" + json_escape(text.c_str(), text.size()) + "\""; }

// A finding's text as a terminal may show it: what a manifest, a folder name or a program's answer
// put there cannot move the cursor, start a new line or set the title. Control characters (C0,
// DEL, C1) and bytes that are not UTF-8 are written as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        const size_t length = Utils::utf8_sequence_length(text, at);
        const bool c1 = length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
        if (length == 1 && byte >= 0x20 && byte != 0x7F) {
            out += text[at];
        } else if (length > 1 && !c1) {
            out.append(text, at, length);
        } else {
            const size_t escaped = c1 ? 2 : 1;
            for (size_t i = 0; i < escaped; ++i) {
                char code[5];
                std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text[at + i]));
                out += code;
            }
            at += escaped;
            continue;
        }
        at += length;
    }
    return out;
}

}  // namespace

bool SignatureCanWork(const Findings& findings) {
    for (const Finding& finding : findings)
        if (finding.status == Status::Problem) return false;
    return true;
}

std::string RenderText(const Findings& findings) {
    std::string out;
    size_t problems = 0;
    for (const Finding& finding : findings) {
        out +=
            Padded(_(StatusName(finding.status)), 9) + _(finding.check.c_str()) + ": " + Printable(finding.text) + "\n";
        if (!finding.advice.empty())
            out += "         " + Utils::i18n_format(_("what to do: {1}"), {Printable(finding.advice)}) + "\n";
        for (const std::string& detail : finding.details) out += "           " + Printable(detail) + "\n";
        if (finding.status == Status::Problem) ++problems;
    }
    if (problems == 0) out += std::string(_("A card signature can work here.")) + "\n";
    else if (problems == 1) out += std::string(_("A card signature cannot work here: 1 problem above.")) + "\n";
    else
        out += Utils::i18n_format(_("A card signature cannot work here: {1} problems above."),
                                  {std::to_string(problems)}) +
               "\n";
    return out;
}

std::string RenderJson(const Findings& findings) {
    std::string out = "{\"program\":\"veldra-doctor\",\"version\":\"" VELDRA_VERSION "\",\"cardSignature\":";
    out += SignatureCanWork(findings) ? "true" : "false";
    out += ",\"checks\":[";
    for (size_t i = 0; i < findings.size(); ++i) {
        const Finding& finding = findings[i];
        if (i) out += ",";
        out += "{\"check\":" + Quoted(finding.check) + ",\"status\":\"" + StatusName(finding.status) +
               "\",\"text\":" + Quoted(finding.text);
        if (!finding.advice.empty()) out += ",\"advice\":" + Quoted(finding.advice);
        out += ",\"details\":[";
        for (size_t j = 0; j < finding.details.size(); ++j) out += (j ? "," : "") + Quoted(finding.details[j]);
        out += "]}";
    }
    out += "]}\n";
    return out;
}

std::string Shorten(const std::string& path) {
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/' || home[1] == '\0') return path;
    const std::string prefix = std::string(home) + "/";
    return path.rfind(prefix, 0) == 0 ? "~/" + path.substr(prefix.size()) : path;
}

}  // namespace Doctor
