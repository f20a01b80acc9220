// The checks of this session on Linux: the PIN dialog and the pads, each through the host's own code.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "doctor.h"
#include "i18n.h"
#include "loadable_module.h"
#include "pad_sdk.h"
#include "user_input.h"

namespace Doctor {
namespace {

// Closes a descriptor on every path.
class Socket {
public:
    Socket() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

bool Connects(const std::string& path, bool abstract) {
    Socket s;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (s.get() < 0 || path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    return connect(s.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
}

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::string ReachableDisplay(std::string& why) {
    const std::string wayland = Environment("WAYLAND_DISPLAY");
    if (!wayland.empty()) {
        const std::string runtime = Environment("XDG_RUNTIME_DIR");
        const std::string socket = wayland[0] == '/' ? wayland : runtime + "/" + wayland;
        if (Connects(socket, false)) return "WAYLAND_DISPLAY " + wayland;
    }
    const std::string x = Environment("DISPLAY");
    if (x.empty()) {
        why = wayland.empty() ? std::string(_("neither DISPLAY nor WAYLAND_DISPLAY is set"))
                              : Utils::i18n_format(_("WAYLAND_DISPLAY {1} does not answer"), {wayland});
        return {};
    }
    // A local X display (":N", ":N.S", "unix:N"): its socket must answer. Others are taken as they are.
    std::string number = x.rfind("unix:", 0) == 0 ? x.substr(5) : x[0] == ':' ? x.substr(1) : "";
    if (number.empty()) return "DISPLAY " + x;
    number = number.substr(0, number.find('.'));
    if (Connects("/tmp/.X11-unix/X" + number, false) || Connects("/tmp/.X11-unix/X" + number, true))
        return "DISPLAY " + x;
    why = Utils::i18n_format(_("DISPLAY {1} does not answer"), {x});
    return {};
}

void CheckPinDialog(Findings& findings, bool pinPadCard) {
    Finding finding{N_("PIN dialog"), Status::Ok, "", "", {}};
    // Without a dialog, a card in a PIN pad reader still signs: the PIN is typed on the reader.
    const Status missing = pinPadCard ? Status::Warning : Status::Problem;
    const std::string program = user_input_find_pinentry();
    if (program.empty()) {
        finding.status = missing;
        finding.text = Utils::i18n_format(_("no executable \"pinentry\" in an absolute folder of PATH ({1})"),
                                          {Environment("PATH")});
        finding.advice = _("Install a graphical pinentry (apt-get install pinentry-gnome3 or pinentry-gtk2).");
        findings.push_back(std::move(finding));
        return;
    }
    std::string error;
    const std::string flavor = pinentry_query_flavor(program, error);
    std::string why;
    const std::string display = ReachableDisplay(why);
    if (flavor.empty()) {
        finding.status = missing;
        finding.text = Utils::i18n_format(_("{1} does not answer: {2}"), {program, error});
        finding.advice = _("Reinstall it (apt-get install --reinstall pinentry-gnome3), or install pinentry-gtk2.");
    } else if (pinentry_flavor_needs_terminal(flavor)) {
        finding.status = missing;
        finding.text = Utils::i18n_format(_("{1} runs as \"{2}\" here, which needs a terminal: the host has none"),
                                          {program, flavor}) +
                       (display.empty() ? " (" + why + ")" : "");
        finding.advice = display.empty()
                             ? _("Start the browser in a graphical session, so that the PIN dialog has a display.")
                             : _("Make a graphical pinentry the default (update-alternatives --config pinentry).");
    } else {
        finding.text = display.empty()
                           ? Utils::i18n_format(_("{1} runs as \"{2}\" and can show its window"), {program, flavor})
                           : Utils::i18n_format(_("{1} runs as \"{2}\" and can show its window on {3}"),
                                                {program, flavor, display});
    }
    findings.push_back(std::move(finding));
}

void CheckPads(Findings& findings) {
    Finding finding{N_("pads"), Status::Ok, "", "", {}};
    BioSigningDevice::LoadableModule module(PadSdk::ONSCREEN_PAD_MODULE);
    void* entry = module.Symbol(PadSdk::ONSCREEN_PAD_SYMBOL);
    const auto windowProgram =
        reinterpret_cast<PadSdk::WindowProgramFunction>(module.Symbol(PadSdk::ONSCREEN_PAD_WINDOW_SYMBOL));
    Dl_info info{};
    std::string why;
    const std::string display = ReachableDisplay(why);
    if (!entry || !windowProgram || dladdr(entry, &info) == 0 || !info.dli_fname) {
        finding.status = Status::Warning;
        finding.text =
            Utils::i18n_format(_("the on-screen pad module {1} is not installed or cannot be loaded: no pad is listed"),
                               {PadSdk::ONSCREEN_PAD_MODULE});
        finding.advice = _("To sign on the on-screen pad, install veldra-native-host-pad.");
        findings.push_back(std::move(finding));
        return;
    }
    const std::string modulePath = info.dli_fname;
    const std::string window = windowProgram();
    struct stat windowInfo {};
    if (stat(window.c_str(), &windowInfo) != 0 || !S_ISREG(windowInfo.st_mode) || access(window.c_str(), X_OK) != 0) {
        finding.status = Status::Warning;
        finding.text = Utils::i18n_format(_("the pad's window program {1} is missing or not executable"), {window});
        finding.advice = _("Reinstall veldra-native-host-pad.");
    } else if (display.empty()) {
        finding.status = Status::Warning;
        finding.text = Utils::i18n_format(_("the on-screen pad cannot be shown: {1}"), {why});
        finding.advice = _("Start the browser in a graphical session to sign on the on-screen pad.");
    } else {
        finding.text = Utils::i18n_format(_("the on-screen pad can be shown on {1}"), {display});
    }
    finding.details.push_back(Utils::i18n_format(_("module {1}"), {modulePath}));
    finding.details.push_back(Utils::i18n_format(_("window program {1}"), {window}));
    findings.push_back(std::move(finding));
}

}  // namespace Doctor
