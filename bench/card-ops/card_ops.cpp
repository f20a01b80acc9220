// The cost of the comm layer over the bare PC/SC API: the median time of ReadFile of the
// signature certificate and of a whole Sign (security environment, PIN, signature) through
// pcscd and the emulated card in the plain virtual reader, against a baseline that sends the
// same APDUs with SCardTransmit and nothing else. Both sides' APDUs are counted at the
// SCardTransmit boundary. Needs the virtual readers with a classic card in the plain reader
// (scripts/virtual-reader start). An argument sets the rounds (default 400; a tenth of them, at least
// one, through the host). Then READ_FILE and COMPUTE_SIGNATURE through the host process
// (build/bin/veldra-native-host, a frame in, a frame out), with the APDUs each one cost as the
// card's log counts them, against the same raw APDUs. The last line reads "ratio R": the sum of
// our comm-layer medians over the sum of the baseline's.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "scard_comm.h"

using Bytes = std::vector<uint8_t>;

namespace {
long transmitted = 0;
}

// Counts every APDU, ours and the baseline's, then hands it to the real library.
extern "C" LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send, DWORD sendLength,
                              SCARD_IO_REQUEST* receivePci, LPBYTE receive, LPDWORD receiveLength) {
    using Fn = LONG (*)(SCARDHANDLE, const SCARD_IO_REQUEST*, LPCBYTE, DWORD, SCARD_IO_REQUEST*, LPBYTE, LPDWORD);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "SCardTransmit"));
    ++transmitted;
    return real(card, sendPci, send, sendLength, receivePci, receive, receiveLength);
}

namespace {

const char* kReader = "Veldra Virtual Reader 00 00";
const Bytes kSignatureCertPath = {0x3F, 0x00, 0xDF, 0x00, 0x50, 0x39};
constexpr int kRounds = 400;
constexpr int kBlocks = 10;

using Clock = std::chrono::steady_clock;

void Check(LONG rv, const char* what) {
    if (rv != SCARD_S_SUCCESS) throw std::runtime_error(std::string(what) + " failed: " + pcsc_stringify_error(rv));
}

// The baseline: one context, one connection, raw APDUs.
class Bare {
public:
    Bare() {
        Check(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_), "SCardEstablishContext");
        DWORD protocol = 0;
        Check(SCardConnect(context_, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                           &protocol),
              "SCardConnect");
        pci_ = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    }
    ~Bare() {
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        SCardReleaseContext(context_);
    }

    // Data and status word.
    Bytes Send(const Bytes& apdu) {
        Bytes response(10240);
        DWORD length = static_cast<DWORD>(response.size());
        Check(
            SCardTransmit(card_, pci_, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, response.data(), &length),
            "SCardTransmit");
        response.resize(length);
        if (response.size() < 2) throw std::runtime_error("short response");
        return response;
    }
    static uint16_t Sw(const Bytes& r) { return static_cast<uint16_t>(r[r.size() - 2] << 8 | r.back()); }

    Bytes ReadFile(const Bytes& path) {
        Check(SCardBeginTransaction(card_), "SCardBeginTransaction");
        Bytes select = {0x00, 0xA4, 0x08, 0x0C, static_cast<uint8_t>(path.size())};
        select.insert(select.end(), path.begin(), path.end());
        if (Sw(Send(select)) != 0x9000) throw std::runtime_error("select");
        Bytes out;
        for (uint8_t le = 0x00;;) {
            const Bytes r =
                Send({0x00, 0xB0, static_cast<uint8_t>(out.size() >> 8), static_cast<uint8_t>(out.size()), le});
            if (Sw(r) == 0x6B00) break;
            if ((Sw(r) >> 8) == 0x6C && le == 0x00) {  // a T=0 card names the bytes left: asked again for them
                le = r.back();
                continue;
            }
            if (Sw(r) != 0x9000 && Sw(r) != 0x6282) throw std::runtime_error("read");
            out.insert(out.end(), r.begin(), r.end() - 2);
            if (r.size() - 2 < 256 || Sw(r) == 0x6282) break;
        }
        SCardEndTransaction(card_, SCARD_LEAVE_CARD);
        return out;
    }

    Bytes Sign(const Bytes& data) {
        if (Sw(Send({0x00, 0x22, 0x41, 0xB6, 0x05, 0x04, 0x80, 0x01, 0x84, 0x83})) != 0x9000)
            throw std::runtime_error("mse");
        if (Sw(Send({0x00, 0x20, 0x00, 0x01, 0x08, 0x24, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})) != 0x9000)
            throw std::runtime_error("verify");
        Bytes pso = {0x00, 0x2A, 0x9E, 0x9A, static_cast<uint8_t>(data.size())};
        pso.insert(pso.end(), data.begin(), data.end());
        const Bytes more = Send(pso);
        if ((Sw(more) >> 8) != 0x61) throw std::runtime_error("pso");
        const Bytes r = Send({0x00, 0xC0, 0x00, 0x00, more.back()});
        if (Sw(r) != 0x9000) throw std::runtime_error("get response");
        return Bytes(r.begin(), r.end() - 2);
    }

private:
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    const SCARD_IO_REQUEST* pci_ = nullptr;
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

template <typename Op>
double TimeOnce(Op op, long* apdus) {
    const long before = transmitted;
    const auto start = Clock::now();
    op();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    *apdus = transmitted - before;
    return ms;
}

struct Samples {
    std::vector<double> ours, bare;
    long oursApdus = 0, bareApdus = 0;
};

// Alternates the two sides, and which goes first, so that both see the same machine load.
template <typename Ours, typename Baseline>
void Measure(Samples& samples, int rounds, Ours ours, Baseline bare) {
    for (int i = 0; i < 3; ++i) {  // warm-up
        TimeOnce(ours, &samples.oursApdus);
        TimeOnce(bare, &samples.bareApdus);
    }
    for (int i = 0; i < rounds; ++i) {
        if (i % 2) {
            samples.ours.push_back(TimeOnce(ours, &samples.oursApdus));
            samples.bare.push_back(TimeOnce(bare, &samples.bareApdus));
        } else {
            samples.bare.push_back(TimeOnce(bare, &samples.bareApdus));
            samples.ours.push_back(TimeOnce(ours, &samples.oursApdus));
        }
    }
}

struct Figures {
    double ours, bare;
    long oursApdus, bareApdus;
};

Figures Summarise(const Samples& s) { return {Median(s.ours), Median(s.bare), s.oursApdus, s.bareApdus}; }

void Print(const char* title, const Figures& f, long needed) {
    std::printf("%s (the sequence needs %ld APDUs)\n", title, needed);
    std::printf("  ours      median %.3f ms, %ld APDUs\n", f.ours, f.oursApdus);
    std::printf("  baseline  median %.3f ms, %ld APDUs\n", f.bare, f.bareApdus);
    std::printf("  ratio %.2f\n", f.ours / f.bare);
}

// The folder of this program, where the host is built too.
std::string OwnFolder() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) throw std::runtime_error("cannot find this program");
    std::string folder(path, static_cast<size_t>(n));
    return folder.substr(0, folder.rfind('/'));
}

// One request through the host process; its answer text.
std::string RunHost(const std::string& host, const std::string& json) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        const int quiet = open("/dev/null", O_WRONLY);  // the host's log lines are not the figures
        if (quiet >= 0) dup2(quiet, 2);
        close(in[0]), close(in[1]), close(out[0]), close(out[1]);
        execl(host.c_str(), host.c_str(), "chrome-extension://bench/", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    const uint32_t length = static_cast<uint32_t>(json.size());
    std::string frame(reinterpret_cast<const char*>(&length), 4);
    frame += json;
    if (write(in[1], frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
        throw std::runtime_error("write");
    close(in[1]);
    std::string answer;
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) answer.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return answer.size() > 4 ? answer.substr(4) : answer;
}

// APDUs the emulated card in the plain reader has answered so far (its log, one "C " line each).
long CardApdus() {
    const char* dir = std::getenv("VELDRA_VR_DIR");
    std::ifstream log(std::string(dir ? dir : "build/virtual-reader") + "/card-plain.apdu.log");
    long n = 0;
    for (std::string line; std::getline(log, line);) n += line.rfind("C ", 0) == 0;
    return n;
}

// Median time of a request through the host and the APDUs it cost, against the raw sequence.
void HostFigures(int rounds, const char* title, const std::string& host, const std::string& json, const char* expect,
                 long needed, const std::function<void()>& raw) {
    std::vector<double> hostMs, rawMs;
    long hostApdus = 0, rawApdus = 0;
    for (int i = 0; i < rounds; ++i) {
        const long before = CardApdus();
        const auto start = Clock::now();
        const std::string answer = RunHost(host, json);
        hostMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        hostApdus = CardApdus() - before;
        if (answer.find(expect) == std::string::npos) throw std::runtime_error(std::string(title) + ": " + answer);
        rawMs.push_back(TimeOnce(raw, &rawApdus));
    }
    std::printf("%s through the host process (the command needs %ld APDUs)\n", title, needed);
    std::printf("  host      median %.3f ms, %ld APDUs\n", Median(hostMs), hostApdus);
    std::printf("  raw APDUs median %.3f ms, %ld APDUs\n", Median(rawMs), rawApdus);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : kRounds;
    const int blocks = std::min(kBlocks, rounds);
    try {
        const std::string path(kSignatureCertPath.begin(), kSignatureCertPath.end());
        // A SHA-256 DigestInfo, as the classic card is given.
        Bytes info = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        info.resize(info.size() + 32, 0xA5);

        // pcscd serves each context on a thread of its own; fresh contexts for every block keep
        // one side from keeping a thread that the scheduler happens to treat worse.
        Samples read, sign;
        size_t size = 0;
        for (int block = 0; block < blocks; ++block) {
            auto library = SZidaZaru::SCardFactory().OpenLibrary("");
            auto reader = library->GetReader(kReader);
            if (!reader || reader->GetCardType() != 1)
                throw std::runtime_error(std::string("no identity card in \"") + kReader +
                                         "\" (scripts/virtual-reader start)");
            Bare bare;
            size = reader->ReadFile(path).size();
            if (bare.ReadFile(kSignatureCertPath).size() != size) throw std::runtime_error("the two reads differ");
            Measure(
                read, rounds / blocks, [&] { reader->ReadFile(path); }, [&] { bare.ReadFile(kSignatureCertPath); });
            Measure(
                sign, rounds / blocks, [&] { reader->Sign("1234", "__signature__", info); }, [&] { bare.Sign(info); });
        }

        std::printf("card-ops: %d rounds each in %d blocks, through pcscd and the emulated card in \"%s\"\n",
                    rounds / blocks * blocks, blocks, kReader);
        char title[96];
        std::snprintf(title, sizeof title, "ReadFile of the signature certificate (%zu bytes)", size);
        const Figures r = Summarise(read), g = Summarise(sign);
        // One SELECT, one READ BINARY per 256 bytes, then for the rest one answered 6Cxx and one asking
        // for those bytes (or, with no rest, one answered 6B00).
        const long readApdus = 1 + static_cast<long>(size / 256) + (size % 256 ? 2 : 1);
        Print(title, r, readApdus);
        // MSE SET, VERIFY, PSO (answered 61 00), GET RESPONSE.
        Print("Sign with the signature key (security environment, PIN, signature)", g, 4);
        const double ratio = (r.ours + g.ours) / (r.bare + g.bare);

        // The host process, with a state folder of its own for its master key.
        char home[] = "/tmp/veldra-bench-XXXXXX";
        if (!mkdtemp(home)) throw std::runtime_error("mkdtemp");
        setenv("HOME", home, 1);
        unsetenv("XDG_DATA_HOME");
        const std::string host = OwnFolder() + "/veldra-native-host";
        Bare bare;
        const std::string reader = std::string("\"reader\":\"") + kReader + "\"";
        const int hostRounds = std::max(1, rounds / 10);
        HostFigures(hostRounds, "READ_FILE of the signature certificate", host,
                    "{\"cmd\":\"READ_FILE\"," + reader + ",\"fileId\":\"3F00DF005039\"}", "\"data\"", readApdus,
                    [&] { bare.ReadFile(kSignatureCertPath); });
        HostFigures(
            hostRounds, "COMPUTE_SIGNATURE", host,
            "{\"cmd\":\"COMPUTE_SIGNATURE\"," + reader + ",\"pin\":\"1234\",\"hash\":\"" + std::string(64, 'a') + "\"}",
            "\"signature\"", 4, [&] { bare.Sign(info); });
        std::string cleanup = std::string("rm -rf ") + home;
        if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "card-ops: could not remove %s\n", home);
        std::printf("ratio %.2f\n", ratio);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "card-ops: %s\n", e.what());
        return 1;
    }
}
