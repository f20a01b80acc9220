// The checks that read the same on every system: the host, the device inventory and the state
// folder, each through the host's own code.
#include "appstate_check.h"
#include "doctor.h"
#include "plugin-api-system.h"

namespace Doctor {
namespace {

#ifdef _WIN32
constexpr const char* kStateRule = "the file's DACL protected and owner-only";
#else
constexpr const char* kStateRule = "folder 0700, file 0600, owned by you";
#endif

// What to do about a state folder that the host would repair, or refuse.
std::string RepairAdvice(const std::string& folder) {
#ifdef _WIN32
    return "Nothing is needed: the host restores the owner-only DACL of " + folder + "\\appstate at its next use.";
#else
    return "Nothing is needed; to close it now: chmod 700 " + folder + "; chmod 600 " + folder + "/appstate.";
#endif
}

std::string RefusalAdvice(const std::string& folder) {
    if (folder.empty()) return "Set HOME (Windows: the user profile) to your own home folder.";
#ifdef _WIN32
    return "Rename " + folder + " (for example to Veldra.old): the host then makes a new one of yours.";
#else
    return "Move it aside (mv " + folder + " " + folder + ".old): the host then makes a new one of yours.";
#endif
}

}  // namespace

void CheckHost(Findings& findings) {
    Finding finding{"host", Status::Ok, "", "", {}};
    const std::string host = OwnHostPath();
    const HostAnswer answer = QueryHost(host, {});
    if (answer.answered) {
        finding.text = host + " answers GET_INFO: version " + answer.version +
                       (answer.binVersion.empty() ? "" : ", program " + answer.binVersion);
    } else {
        finding.status = Status::Problem;
        finding.text = host + " does not answer GET_INFO: " + answer.error;
#ifdef _WIN32
        finding.advice = "Install the host again (its .msi).";
#else
        finding.advice = "Install the host again (apt-get install --reinstall veldra-native-host).";
#endif
    }
    findings.push_back(std::move(finding));
}

void CheckInventory(Findings& findings) {
    Finding finding{"inventory", Status::Ok, "", "", {}};
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
        finding.text = std::string("the HID devices cannot be listed: ") + e.what();
        finding.advice = "GET_SYSTEM_INFO fails the same way; check that udev runs (/run/udev).";
    }
    std::string packages;
    for (const auto& [component, checker] : component_table()) {
        const std::string version = checker->version();
        packages += (packages.empty() ? "" : ", ") + component + " " + (version.empty() ? "not installed" : version);
    }
    if (finding.status == Status::Ok) {
        std::string list;
        for (const std::string& d : devices) list += (list.empty() ? "" : " ") + d;
        finding.text = "GET_SYSTEM_INFO reports " + std::to_string(devices.size()) + " HID device type" +
                       (devices.size() == 1 ? "" : "s") + (list.empty() ? "" : " (" + list + ")") +
                       "; driver packages: " + packages;
    }
    findings.push_back(std::move(finding));
}

void CheckStateFolder(Findings& findings) {
    using Verdict = AppStateFinding::Verdict;
    const AppStateInspection state = inspect_appstate();
    Finding finding{"state folder", Status::Ok, "", "", {}};
    finding.details = {state.folderFinding.text, state.fileFinding.text};
    auto rank = [](Verdict verdict) {
        return verdict == Verdict::Refused ? 3 : verdict == Verdict::Repaired ? 2 : verdict == Verdict::Missing ? 1 : 0;
    };
    const AppStateFinding& worst =
        rank(state.fileFinding.verdict) > rank(state.folderFinding.verdict) ? state.fileFinding : state.folderFinding;
    const std::string place = state.folder.empty() ? std::string("the state folder") : Shorten(state.folder);
    switch (worst.verdict) {
    case Verdict::Ready:
    case Verdict::Missing:
        finding.text = place + (state.folderFinding.verdict == Verdict::Missing
                                    ? " does not exist yet: the host creates it at its first request"
                                    : std::string(" is as the host requires it (") + kStateRule + ")");
        break;
    case Verdict::Repaired:
        finding.status = Status::Warning;
        finding.text = worst.text + ": the host restores it at its next use";
        finding.advice = RepairAdvice(state.folder);
        break;
    case Verdict::Refused:
        finding.status = Status::Problem;
        finding.text = worst.text + ": the host refuses it, and PIN tokens fail";
        finding.advice = RefusalAdvice(state.folder);
        break;
    }
    findings.push_back(std::move(finding));
}

}  // namespace Doctor
