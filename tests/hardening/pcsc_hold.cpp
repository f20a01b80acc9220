// pcsc_hold READER MS: connects to READER, holds a PC/SC transaction on its card for MS
// milliseconds, then ends it and disconnects. Prints "held" once the transaction is taken.
// Exit code 0 on success, 1 with the failing call on standard error otherwise.
#include <winscard.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

int fail(const char* call, LONG rv) {
    std::fprintf(stderr, "pcsc_hold: %s: %s\n", call, pcsc_stringify_error(rv));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: pcsc_hold READER MS\n");
        return 2;
    }
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    if (rv != SCARD_S_SUCCESS) return fail("SCardEstablishContext", rv);
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    rv = SCardConnect(context, argv[1], SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (rv != SCARD_S_SUCCESS) {
        SCardReleaseContext(context);
        return fail("SCardConnect", rv);
    }
    rv = SCardBeginTransaction(card);
    if (rv != SCARD_S_SUCCESS) {
        SCardDisconnect(card, SCARD_LEAVE_CARD);
        SCardReleaseContext(context);
        return fail("SCardBeginTransaction", rv);
    }
    std::printf("held\n");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(argv[2])));
    SCardEndTransaction(card, SCARD_LEAVE_CARD);
    SCardDisconnect(card, SCARD_LEAVE_CARD);
    SCardReleaseContext(context);
    return 0;
}
