// veldra-pcsc-wait: waits until pcscd reports what a test bed needs.
//   veldra-pcsc-wait service MS            the service answers (a context can be established)
//   veldra-pcsc-wait present READER MS     READER holds a card
//   veldra-pcsc-wait empty READER MS       READER holds none
// Exit status 0 when the state was reached, 1 on time-out, 2 on a usage error.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Context {
    SCARDCONTEXT handle = 0;
    bool established = false;
    ~Context() {
        if (established) SCardReleaseContext(handle);
    }
    bool Establish() {
        established = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle) == SCARD_S_SUCCESS;
        return established;
    }
};

int WaitService(Clock::time_point deadline) {
    for (;;) {
        Context context;
        if (context.Establish()) return 0;
        if (Clock::now() >= deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int WaitCard(const char* reader, bool wantPresent, Clock::time_point deadline) {
    for (;;) {
        Context context;
        if (context.Establish()) {
            SCARD_READERSTATE state{};
            state.szReader = reader;
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            if (SCardGetStatusChange(context.handle, 0, &state, 1) == SCARD_S_SUCCESS) {
                const bool present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
                if (present == wantPresent) return 0;
                // Block on the next change rather than polling, up to the deadline.
                state.dwCurrentState = state.dwEventState;
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() > 0) SCardGetStatusChange(context.handle, static_cast<DWORD>(left.count()), &state, 1);
                if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == wantPresent &&
                    (state.dwEventState & SCARD_STATE_CHANGED))
                    return 0;
            }
        }
        if (Clock::now() >= deadline) return 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "service") == 0)
        return WaitService(Clock::now() + std::chrono::milliseconds(std::atol(argv[2])));
    if (argc == 4 && (std::strcmp(argv[1], "present") == 0 || std::strcmp(argv[1], "empty") == 0))
        return WaitCard(argv[2], std::strcmp(argv[1], "present") == 0,
                        Clock::now() + std::chrono::milliseconds(std::atol(argv[3])));
    std::fputs("usage: veldra-pcsc-wait service MS | present READER MS | empty READER MS\n", stderr);
    return 2;
}
