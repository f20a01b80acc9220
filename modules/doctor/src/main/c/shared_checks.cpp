// The checks that read the same on every system: the host, the device inventory and the state
// folder, each through the host's own code.
#include <cstdio>

#include "appstate_check.h"
#include "doctor.h"
#include "i18n.h"
#include "plugin-api-system.h"

namespace Doctor {
namespace {

#ifndef _WIN32
// A mode in octal digits, at least width of them.
std::string Octal(unsigned mode, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*o", width, mode);
    return text;
}
#endif

// The protection the host requires of the state, in words.
std::string StateRule() {
#ifdef _WIN32
    return _("the file's DACL protected and owner-only");
#else
    // TRANSLATORS: {1} and {2} are the octal modes of the state folder and file, 0700 and 0600.
    return Utils::i18n_format(_("folder {1}, file {2}, owned by you"),
                              {Octal(APPSTATE_FOLDER_MODE, 4), Octal(APPSTATE_FILE_MODE, 4)});
#endif
}

// What to do about a state folder that the host would repair, or refuse.
std::string RepairAdvice(const AppStateInspection& state) {
#ifdef _WIN32
    return Utils::i18n_format(_("Nothing is needed: the host restores the owner-only DACL of {1} at its next use."),
                              {state.file});
#else
    // TRANSLATORS: {1} is the state folder, {4} its file; {2} and {3} their modes for chmod, 700 and 600.
    return Utils::i18n_format(_("Nothing is needed; to close it now: chmod {2} {1}; chmod {3} {4}."),
                              {state.folder, Octal(APPSTATE_FOLDER_MODE, 0), Octal(APPSTATE_FILE_MODE, 0), state.file});
#endif
}

std::string RefusalAdvice(const std::string& folder) {
    if (folder.empty()) return _("Set HOME (Windows: the user profile) to your own home folder.");
#ifdef _WIN32
    return Utils::i18n_format(_("Rename {1} (for example to Veldra.old): the host then makes a new one of yours."),
                              {folder});
#else
    return Utils::i18n_format(_("Move it aside (mv {1} {1}.old): the host then makes a new one of yours."), {folder});
#endif
}

}  // namespace

void CheckHost(Findings& findings) {
    Finding finding{N_("host"), Status::Ok, "", "", {}};
    const std::string host = OwnHostPath();
    const HostAnswer answer = QueryHost(host, {});
    if (answer.answered) {
        finding.text = answer.binVersion.empty()
                           ? Utils::i18n_format(_("{1} answers GET_INFO: version {2}"), {host, answer.version})
                           : Utils::i18n_format(_("{1} answers GET_INFO: version {2}, program {3}"),
                                                {host, answer.version, answer.binVersion});
    } else {
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(_("{1} does not answer GET_INFO: {2}"), {host, answer.error});
#ifdef _WIN32
        finding.advice = _("Install the host again (its .msi).");
#else
        finding.advice = _("Install the host again (apt-get install --reinstall veldra-native-host).");
#endif
    }
    findings.push_back(std::move(finding));
}

void CheckInventory(Findings& findings) {
    Finding finding{N_("inventory"), Status::Ok, "", "", {}};
    std::vector<std::string> devices;
    try {
        WacomGSS::enumerate([&devices](WacomGSS::UsbDevice& device) {
            const std::string text = vidpid_text(device);
            bool seen = false;
            for (const std::string& d : devices) seen = seen || d == text;
            if (!seen) devices.push_back(text);
            return true;
        });
    } catch (const std::exception& e) {
        finding.status = Status::Warning;
        finding.text = Utils::i18n_format(_("the HID devices cannot be listed: {1}"), {e.what()});
        finding.advice = _("GET_SYSTEM_INFO fails the same way; check that udev runs (/run/udev).");
    }
    std::string packages;
    for (const auto& [component, checker] : component_table()) {
        const std::string version = checker->version();
        packages += (packages.empty() ? "" : ", ") + component + " " + (version.empty() ? _("not installed") : version);
    }
    if (finding.status == Status::Ok) {
        std::string list;
        for (const std::string& d : devices) list += (list.empty() ? "" : " ") + d;
        const std::string count = std::to_string(devices.size());
        finding.text =
            list.empty()
                ? Utils::i18n_format(_("GET_SYSTEM_INFO reports no HID device; driver packages: {1}"), {packages})
            : devices.size() == 1
                ? Utils::i18n_format(_("GET_SYSTEM_INFO reports 1 HID device type ({1}); driver packages: {2}"),
                                     {list, packages})
                : Utils::i18n_format(_("GET_SYSTEM_INFO reports {1} HID device types ({2}); driver packages: {3}"),
                                     {count, list, packages});
    }
    findings.push_back(std::move(finding));
}

void CheckStateFolder(Findings& findings) {
    using Verdict = AppStateFinding::Verdict;
    const AppStateInspection state = inspect_appstate();
    Finding finding{N_("state folder"), Status::Ok, "", "", {}};
    finding.details = {state.folderFinding.text, state.fileFinding.text};
    auto rank = [](Verdict verdict) {
        return verdict == Verdict::Refused ? 3 : verdict == Verdict::Repaired ? 2 : verdict == Verdict::Missing ? 1 : 0;
    };
    const AppStateFinding& worst =
        rank(state.fileFinding.verdict) > rank(state.folderFinding.verdict) ? state.fileFinding : state.folderFinding;
    const std::string place = state.folder.empty() ? std::string(_("the state folder")) : Shorten(state.folder);
    switch (worst.verdict) {
    case Verdict::Ready:
    case Verdict::Missing:
        finding.text = Utils::i18n_format(state.folderFinding.verdict == Verdict::Missing
                                              ? _("{1} does not exist yet: the host creates it at its first request")
                                              : _("{1} is as the host requires it ({2})"),
                                          {place, StateRule()});
        break;
    case Verdict::Repaired:
        finding.status = Status::Warning;
        finding.text = Utils::i18n_format(_("{1}: the host restores it at its next use"), {worst.text});
        finding.advice = RepairAdvice(state);
        break;
    case Verdict::Refused:
        finding.status = Status::Problem;
        finding.text = Utils::i18n_format(_("{1}: the host refuses it, and PIN tokens fail"), {worst.text});
        finding.advice = RefusalAdvice(state.folder);
        break;
    }
    findings.push_back(std::move(finding));
}

}  // namespace Doctor
