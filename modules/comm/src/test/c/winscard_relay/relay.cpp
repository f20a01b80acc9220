// veldra-winscard-relay: the Linux side of the test-only winscard.dll. It stands where a Windows
// reader driver and the smart-card service would: the PC/SC calls of Windows programs under Wine
// arrive over a local TCP socket and are made on pcsc-lite against the machine's pcscd; reader
// control codes are taken and given in Windows' form (device type 0x31), results in Windows' values.
//
//   veldra-winscard-relay [--log FILE] -- COMMAND...
// listens on 127.0.0.1 (a port of the system's choosing), runs COMMAND with
// VELDRA_WINSCARD_RELAY=127.0.0.1:PORT in its environment, serves each connection in a process of
// its own, and when COMMAND ends stops those and exits with COMMAND's status. FILE gets one line per
// control call ("SCardControl 0x00313520 -> 0x00000000").
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "relay_protocol.h"

using namespace winscardrelay;

namespace {

constexpr uint32_t WINDOWS_UNSUPPORTED_FEATURE = 0x80100022;
constexpr uint32_t PCSCLITE_UNSUPPORTED_FEATURE = 0x8010001F;
constexpr uint32_t FEATURE_REQUEST = PCSCLITE_CTL_BASE + 3400;

bool ReadAll(int fd, uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, p, n);
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// The feature list of a reader (tag, length 4, big-endian control code) with pcsc-lite's codes
// rewritten as a Windows driver gives them.
void FeaturesToWindows(std::vector<uint8_t>& tlv) {
    for (size_t at = 0; at + 2 <= tlv.size(); at += 2 + tlv[at + 1]) {
        if (tlv[at + 1] != 4 || at + 6 > tlv.size()) continue;
        uint8_t* v = &tlv[at + 2];
        const uint32_t code = static_cast<uint32_t>(v[0]) << 24 | v[1] << 16 | v[2] << 8 | v[3];
        const uint32_t windows = pcsclite_to_windows(code);
        if (windows == 0) continue;
        for (int i = 0; i < 4; ++i) v[i] = static_cast<uint8_t>(windows >> (24 - 8 * i));
    }
}

// One connection: one Windows process's PC/SC calls, in order.
class Session {
public:
    Session(int fd, FILE* log) : fd_(fd), log_(log) {}
    ~Session() {
        for (const auto& [id, card] : cards_) SCardDisconnect(card, SCARD_LEAVE_CARD);
        for (const auto& [id, context] : contexts_) SCardReleaseContext(context);
    }

    void Serve() {
        for (;;) {
            uint8_t length[4];
            if (!ReadAll(fd_, length, 4)) return;
            std::vector<uint8_t> request(static_cast<size_t>(length[0] | length[1] << 8 | length[2] << 16) |
                                         static_cast<size_t>(length[3]) << 24);
            if (!ReadAll(fd_, request.data(), request.size())) return;
            Reader in{request};
            Writer out;
            Dispatch(in, out);
            if (!in.ok) out = Writer().u32(RELAY_FAILURE);
            const std::vector<uint8_t>& bytes = out.finish();
            if (!WriteAll(fd_, bytes.data(), bytes.size())) return;
        }
    }

private:
    SCARDCONTEXT Context(uint32_t id) const {
        const auto it = contexts_.find(id);
        return it == contexts_.end() ? 0 : it->second;
    }
    SCARDHANDLE Card(uint32_t id) const {
        const auto it = cards_.find(id);
        return it == cards_.end() ? 0 : it->second;
    }

    void Dispatch(Reader& in, Writer& out) {
        switch (in.u32()) {
        case ESTABLISH_CONTEXT: {
            const uint32_t scope = in.u32();
            SCARDCONTEXT context = 0;
            const LONG rv = SCardEstablishContext(scope, nullptr, nullptr, &context);
            if (rv == SCARD_S_SUCCESS) contexts_[++lastId_] = context;
            out.u32(static_cast<uint32_t>(rv)).u32(rv == SCARD_S_SUCCESS ? lastId_ : 0);
            return;
        }
        case RELEASE_CONTEXT: {
            const uint32_t id = in.u32();
            const LONG rv = SCardReleaseContext(Context(id));
            contexts_.erase(id);
            out.u32(static_cast<uint32_t>(rv));
            return;
        }
        case LIST_READERS: {
            const SCARDCONTEXT context = Context(in.u32());
            DWORD size = 0;
            LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
            std::vector<char> list(rv == SCARD_S_SUCCESS ? size : 0);
            if (rv == SCARD_S_SUCCESS) rv = SCardListReaders(context, nullptr, list.data(), &size);
            if (rv == SCARD_S_SUCCESS) list.resize(size);
            out.u32(static_cast<uint32_t>(rv)).data(list.data(), rv == SCARD_S_SUCCESS ? list.size() : 0);
            return;
        }
        case CONNECT: {
            const SCARDCONTEXT context = Context(in.u32());
            const std::string reader = in.text();
            const uint32_t share = in.u32();
            const uint32_t protocols = in.u32();
            SCARDHANDLE card = 0;
            DWORD active = 0;
            const LONG rv = SCardConnect(context, reader.c_str(), share, protocols, &card, &active);
            if (rv == SCARD_S_SUCCESS) cards_[++lastId_] = card;
            out.u32(static_cast<uint32_t>(rv))
                .u32(rv == SCARD_S_SUCCESS ? lastId_ : 0)
                .u32(static_cast<uint32_t>(active));
            return;
        }
        case DISCONNECT: {
            const uint32_t id = in.u32();
            const LONG rv = SCardDisconnect(Card(id), in.u32());
            cards_.erase(id);
            out.u32(static_cast<uint32_t>(rv));
            return;
        }
        case BEGIN_TRANSACTION: out.u32(static_cast<uint32_t>(SCardBeginTransaction(Card(in.u32())))); return;
        case END_TRANSACTION: {
            const SCARDHANDLE card = Card(in.u32());
            out.u32(static_cast<uint32_t>(SCardEndTransaction(card, in.u32())));
            return;
        }
        case TRANSMIT: {
            const SCARDHANDLE card = Card(in.u32());
            const uint32_t protocol = in.u32();
            const std::vector<uint8_t> command = in.data();
            std::vector<uint8_t> response(in.u32());
            DWORD length = static_cast<DWORD>(response.size());
            const LONG rv = SCardTransmit(card, protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0,
                                          command.data(), command.size(), nullptr, response.data(), &length);
            out.u32(static_cast<uint32_t>(rv))
                .data(response.data(), rv == SCARD_S_SUCCESS ? std::min<size_t>(length, response.size()) : 0)
                .u32(static_cast<uint32_t>(length));
            return;
        }
        case CONTROL: {
            const SCARDHANDLE card = Card(in.u32());
            const uint32_t code = in.u32();
            const std::vector<uint8_t> input = in.data();
            std::vector<uint8_t> output(in.u32());
            DWORD returned = 0;
            const uint32_t pcscCode = windows_to_pcsclite(code);
            uint32_t rv = WINDOWS_UNSUPPORTED_FEATURE;  // a code of no Windows reader driver
            if (pcscCode != 0) {
                rv = static_cast<uint32_t>(
                    SCardControl(card, pcscCode, input.data(), input.size(), output.data(), output.size(), &returned));
                if (rv == PCSCLITE_UNSUPPORTED_FEATURE) rv = WINDOWS_UNSUPPORTED_FEATURE;
            }
            output.resize(rv == SCARD_S_SUCCESS ? std::min<size_t>(returned, output.size()) : 0);
            if (rv == SCARD_S_SUCCESS && pcscCode == FEATURE_REQUEST) FeaturesToWindows(output);
            if (log_) {
                std::fprintf(log_, "SCardControl 0x%08X -> 0x%08X\n", code, rv);
                std::fflush(log_);
            }
            out.u32(rv).data(output.data(), output.size());
            return;
        }
        case GET_STATUS_CHANGE: {
            const SCARDCONTEXT context = Context(in.u32());
            const uint32_t timeout = in.u32();
            const uint32_t count = in.u32();
            if (count > 64) {
                in.ok = false;
                return;
            }
            std::vector<std::string> names(count);
            std::vector<SCARD_READERSTATE> states(count);
            for (uint32_t i = 0; i < count && in.ok; ++i) {
                names[i] = in.text();
                states[i].dwCurrentState = in.u32();
            }
            for (uint32_t i = 0; i < count; ++i) states[i].szReader = names[i].c_str();
            const LONG rv = SCardGetStatusChange(context, timeout, states.data(), count);
            out.u32(static_cast<uint32_t>(rv));
            for (const SCARD_READERSTATE& state : states)
                out.u32(static_cast<uint32_t>(state.dwEventState))
                    .data(state.rgbAtr, std::min<size_t>(state.cbAtr, sizeof state.rgbAtr));
            return;
        }
        default: in.ok = false; return;
        }
    }

    int fd_;
    FILE* log_;
    uint32_t lastId_ = 0;
    std::map<uint32_t, SCARDCONTEXT> contexts_;
    std::map<uint32_t, SCARDHANDLE> cards_;
};

int Usage() {
    std::fprintf(stderr, "usage: veldra-winscard-relay [--log FILE] -- COMMAND...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const char* logPath = nullptr;
    int at = 1;
    if (at + 1 < argc && std::strcmp(argv[at], "--log") == 0) {
        logPath = argv[at + 1];
        at += 2;
    }
    if (at >= argc || std::strcmp(argv[at], "--") != 0 || at + 1 >= argc) return Usage();
    char** command = argv + at + 1;

    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("veldra-winscard-relay: listen");
        return 1;
    }
    const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    setenv("VELDRA_WINSCARD_RELAY", endpoint.c_str(), 1);

    const pid_t child = fork();
    if (child == 0) {
        execvp(command[0], command);
        std::perror(command[0]);
        _exit(127);
    }
    if (child < 0) return 1;

    std::set<pid_t> sessions;
    int status = 0;
    for (;;) {
        pid_t done;
        bool commandDone = false;
        while ((done = waitpid(-1, &status, WNOHANG)) > 0) {
            if (done == child) {
                commandDone = true;
                break;
            }
            sessions.erase(done);
        }
        if (commandDone) break;
        pollfd wait{listener, POLLIN, 0};
        if (poll(&wait, 1, 100) <= 0) continue;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const pid_t session = fork();
        if (session == 0) {
            close(listener);
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            FILE* log = logPath ? std::fopen(logPath, "a") : nullptr;
            {
                Session served(fd, log);
                served.Serve();
            }
            if (log) std::fclose(log);
            _exit(0);
        }
        close(fd);
        if (session > 0) sessions.insert(session);
    }
    for (const pid_t session : sessions) kill(session, SIGTERM);
    for (const pid_t session : sessions) waitpid(session, nullptr, 0);
    close(listener);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
