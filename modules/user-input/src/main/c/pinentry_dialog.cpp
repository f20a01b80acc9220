#include "pinentry_dialog.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "pinentry_process.h"
#include "pinentry_text.h"

namespace {

using namespace std::chrono;

// Starting pinentry and setting its texts takes well under a second; a peer that needs longer is stuck.
constexpr seconds kSetupLimit{10};
// Our own end of the dialog comes this long after pinentry's timer, which normally answers first;
// it also holds when a flavour stops its timer at the first key press.
constexpr seconds kTimeoutGrace{1};
// Bytes of PIN kept from the D lines: 19 characters of up to 4 bytes each, with room to spare.
constexpr std::size_t kPinMaxBytes = 128;

const char* wait_text(PinentryProcess::Wait wait) {
    switch (wait) {
    case PinentryProcess::Wait::Done: return "done";
    case PinentryProcess::Wait::Woken: return "cancelled";
    case PinentryProcess::Wait::TimedOut: return "timed out";
    case PinentryProcess::Wait::Closed: return "pinentry ended";
    case PinentryProcess::Wait::Failed: return "broken channel";
    }
    return "?";
}

bool starts_with(const Utils::SecretBytes& line, const char* word) {
    const std::size_t length = std::strlen(word);
    if (line.size() < length || std::memcmp(line.data(), word, length) != 0) return false;
    return line.size() == length || line[length] == ' ';
}

struct Answer {
    PinentryProcess::Wait wait = PinentryProcess::Wait::Done;
    bool ok = false;  // "OK"; otherwise "ERR" with code
    unsigned long code = 0;
    Utils::SecretBytes data;  // the unescaped D payload
};

// Sends one command and reads up to its OK or ERR, collecting D lines and answering INQUIREs.
Answer transact(PinentryProcess& process, const std::string& command, Deadline deadline, std::size_t dataLimit) {
    Answer answer;
    answer.data.reserve(dataLimit);
    answer.wait = process.send_line(command, deadline);
    Utils::SecretBytes line;
    line.reserve(1024);
    while (answer.wait == PinentryProcess::Wait::Done) {
        answer.wait = process.read_line(line, deadline);
        if (answer.wait != PinentryProcess::Wait::Done) break;
        if (starts_with(line, "OK")) {
            answer.ok = true;
            break;
        }
        if (starts_with(line, "ERR")) {
            line.push_back('\0');
            answer.code = std::strtoul(line.data() + 3, nullptr, 10);
            break;
        }
        if (starts_with(line, "D")) {
            const std::string_view payload = line.size() > 2 ? std::string_view(line.data() + 2, line.size() - 2) : "";
            pinentry_unescape_append(payload, answer.data, dataLimit);
        } else if (starts_with(line, "INQUIRE")) {
            answer.wait = process.send_line("END", deadline);  // we have nothing to add
        }
        // "S" status lines and "#" comments carry nothing we use.
    }
    return answer;
}

std::string describe_flavor(const std::string& flavor) {
    std::string cause = "PIN dialog unavailable: pinentry runs as \"" + flavor + "\", which needs a terminal";
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!display || !*display) && (!wayland || !*wayland)) cause += " (no DISPLAY is set)";
    return cause;
}

}  // namespace

bool pinentry_flavor_needs_terminal(const std::string& flavor) {
    // "gtk2:curses" is gtk2 fallen back to curses: what counts is the part after the last colon.
    const std::size_t colon = flavor.rfind(':');
    const std::string effective = colon == std::string::npos ? flavor : flavor.substr(colon + 1);
    return effective == "curses" || effective == "tty";
}

std::string pinentry_query_flavor(const std::string& program, std::string& error) {
    // A working pinentry greets and answers within milliseconds; a few seconds allow for a loaded machine.
    const Deadline end = steady_clock::now() + seconds(3);
    PinentryProcess process(-1);
    if (!process.start(program, error)) return {};
    Utils::SecretBytes line;
    PinentryProcess::Wait wait = process.read_line(line, end);
    if (wait != PinentryProcess::Wait::Done || !starts_with(line, "OK")) {
        error = std::string("no greeting (") + wait_text(wait) + ")";
        return {};
    }
    const Answer flavor = transact(process, "GETINFO flavor", end, 64);
    if (flavor.wait != PinentryProcess::Wait::Done || !flavor.ok) {
        error = flavor.wait != PinentryProcess::Wait::Done ? std::string("no flavour (") + wait_text(flavor.wait) + ")"
                                                           : "GETINFO flavor refused";
        return {};
    }
    if (process.send_line("BYE", end) == PinentryProcess::Wait::Done) process.read_line(line, end);
    process.stop(true);
    return std::string(flavor.data.begin(), flavor.data.end());
}

Utils::Secret pinentry_dialog_run(const PinentryRequest& request) {
    const auto started = steady_clock::now();
    const int64_t timeout = std::min<int64_t>(request.timeout, INT32_MAX);
    const Deadline dialogEnd = timeout > 0 ? started + seconds(timeout) + kTimeoutGrace : kNoDeadline;
    const Deadline setupEnd = std::min(dialogEnd, started + kSetupLimit);

    PinentryProcess process(request.wakeFd);
    std::string error;
    if (!process.start(request.program, error)) {
        LOG_API("PIN dialog unavailable: cannot start %s", error.c_str());
        return {};
    }
    LOG_DEBUG("PIN dialog: %s started as process %d", request.program.c_str(), static_cast<int>(process.pid()));

    Utils::SecretBytes line;
    PinentryProcess::Wait wait = process.read_line(line, setupEnd);
    if (wait != PinentryProcess::Wait::Done || !starts_with(line, "OK")) {
        LOG_API("PIN dialog unavailable: no greeting from %s (%s)", request.program.c_str(), wait_text(wait));
        return {};
    }

    Answer flavor = transact(process, "GETINFO flavor", setupEnd, 64);
    if (flavor.wait != PinentryProcess::Wait::Done) {
        LOG_DEBUG("PIN dialog ended before it was shown: %s", wait_text(flavor.wait));
        return {};
    }
    const std::string flavorName(flavor.data.begin(), flavor.data.end());
    if (flavor.ok && pinentry_flavor_needs_terminal(flavorName)) {
        LOG_API("%s", describe_flavor(flavorName).c_str());
        return {};
    }
    // In gtk2 an underscore in a label or button marks a mnemonic; doubled, it shows as itself.
    const bool mnemonics = flavorName == "gtk2";
    const auto label = [&](const std::string& text) { return mnemonics ? pinentry_double_underscores(text) : text; };

    std::string commands[] = {
        pinentry_command("SETTITLE", pinentry_widen_bytes(request.title)),
        pinentry_command("SETDESC", pinentry_widen_bytes(request.prompt)),
        pinentry_command("SETPROMPT", label(request.fieldLabel)),
        pinentry_command("SETOK", label(request.okLabel)),
        pinentry_command("SETCANCEL", label(request.cancelLabel)),
        timeout > 0 ? "SETTIMEOUT " + std::to_string(timeout) : std::string(),
    };
    for (const std::string& command : commands) {
        if (command.empty()) continue;
        const Answer answer = transact(process, command, setupEnd, 0);
        if (answer.wait != PinentryProcess::Wait::Done) {
            LOG_DEBUG("PIN dialog ended before it was shown: %s", wait_text(answer.wait));
            return {};
        }
        if (!answer.ok) LOG_DEBUG("PIN dialog: pinentry refused %.12s (error %lu)", command.c_str(), answer.code);
    }

    Answer pin = transact(process, "GETPIN", dialogEnd, kPinMaxBytes);
    if (pin.wait != PinentryProcess::Wait::Done) {
        LOG_DEBUG("PIN dialog ended: %s", wait_text(pin.wait));
        return {};  // the process guard terminates and reaps pinentry
    }
    const Deadline byeEnd = steady_clock::now() + milliseconds(200);
    if (process.send_line("BYE", byeEnd) == PinentryProcess::Wait::Done) process.read_line(line, byeEnd);
    process.stop(true);
    if (!pin.ok) {
        LOG_DEBUG("PIN dialog ended without a PIN (error %lu)", pin.code);
        return {};
    }
    const std::size_t kept = pinentry_prefix_bytes(pin.data.data(), pin.data.size(), kPinMaxCharacters);
    LOG_DEBUG("PIN dialog: PIN of %zu bytes entered, %zu kept", pin.data.size(), kept);
    return Utils::Secret::copy_of(std::string_view(pin.data.data(), kept));
}
