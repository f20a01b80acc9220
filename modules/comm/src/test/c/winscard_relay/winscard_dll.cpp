// A test-only winscard.dll for Wine, whose own winscard is a stub: the PC/SC calls the host makes,
// forwarded over a local TCP socket (VELDRA_WINSCARD_RELAY=127.0.0.1:PORT) to veldra-winscard-relay,
// which makes them on pcsc-lite against the machine's pcscd. Loaded with WINEDLLOVERRIDES=winscard=n
// from a folder of the test build; never shipped.
// The protocol records are this library's own data (windows.h declares them through winscard.h).
#define WINSCARDDATA __declspec(dllexport)
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winscard.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "relay_protocol.h"

using namespace winscardrelay;

extern "C" {
WINSCARDDATA extern const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
WINSCARDDATA extern const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
}

namespace {

// The one connection of this process to the relay, opened by its first call.
class Link {
public:
    // Sends a request and reads its answer; false when the relay cannot be reached.
    bool Call(const Writer& request, std::vector<uint8_t>& answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (socket_ == INVALID_SOCKET && !Open()) return false;
        Writer copy = request;
        const std::vector<uint8_t>& bytes = copy.finish();
        if (!SendAll(bytes.data(), bytes.size())) return false;
        uint8_t length[4];
        if (!ReceiveAll(length, 4)) return false;
        answer.resize(static_cast<size_t>(length[0]) | length[1] << 8 | length[2] << 16 |
                      static_cast<size_t>(length[3]) << 24);
        return ReceiveAll(answer.data(), answer.size());
    }

private:
    bool Open() {
        const char* address = std::getenv("VELDRA_WINSCARD_RELAY");
        if (!address || !std::strchr(address, ':')) return false;
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return false;
        const char* colon = std::strchr(address, ':');
        const std::string host(address, colon);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<u_short>(std::atoi(colon + 1)));
        if (inet_pton(AF_INET, host.c_str(), &to.sin_addr) != 1) return false;
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (socket_ == INVALID_SOCKET) return false;
        const BOOL one = TRUE;
        setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        if (connect(socket_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
            return false;
        }
        // Non-blocking, waited on by polling: a call the relay holds (another process's transaction)
        // would otherwise park this thread in Wine's asynchronous socket wait, which Wine's 32-bit
        // loader under qemu-i386 does not survive (the process dies as the answer arrives).
        u_long nonBlocking = 1;
        if (ioctlsocket(socket_, FIONBIO, &nonBlocking) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
            return false;
        }
        return true;
    }
    // True when a socket call that did nothing may be tried again after a short sleep.
    static bool WouldBlock(int result) {
        if (result >= 0 || WSAGetLastError() != WSAEWOULDBLOCK) return false;
        Sleep(2);
        return true;
    }
    bool SendAll(const uint8_t* p, size_t n) {
        while (n > 0) {
            const int sent = send(socket_, reinterpret_cast<const char*>(p), static_cast<int>(n), 0);
            if (WouldBlock(sent)) continue;
            if (sent <= 0) return false;
            p += sent;
            n -= static_cast<size_t>(sent);
        }
        return true;
    }
    bool ReceiveAll(uint8_t* p, size_t n) {
        while (n > 0) {
            const int got = recv(socket_, reinterpret_cast<char*>(p), static_cast<int>(n), 0);
            if (WouldBlock(got)) continue;
            if (got <= 0) return false;
            p += got;
            n -= static_cast<size_t>(got);
        }
        return true;
    }

    std::mutex mutex_;
    SOCKET socket_ = INVALID_SOCKET;
};

Link& link() {
    static Link instance;
    return instance;
}

// Makes the call; its result, and the answer's fields in reader (empty when the relay is not there).
LONG Relay(const Writer& request, std::vector<uint8_t>& answer, Reader& reader) {
    if (!link().Call(request, answer)) return SCARD_E_NO_SERVICE;
    const auto result = static_cast<LONG>(reader.u32());
    return reader.ok ? result : static_cast<LONG>(RELAY_FAILURE);
}

// Copies a byte string of the answer into a caller's buffer of *room bytes, as winscard does.
LONG CopyOut(LONG result, const std::vector<uint8_t>& data, uint32_t length, BYTE* out, DWORD* room) {
    if (result == SCARD_S_SUCCESS && data.size() > *room) result = SCARD_E_INSUFFICIENT_BUFFER;
    if (result == SCARD_S_SUCCESS && out) std::memcpy(out, data.data(), data.size());
    *room = length;
    return result;
}

}  // namespace

extern "C" {

__declspec(dllexport) LONG WINAPI SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    const LONG result = Relay(Writer().u32(ESTABLISH_CONTEXT).u32(scope), answer, r);
    *context = result == SCARD_S_SUCCESS ? r.u32() : 0;
    return result;
}

__declspec(dllexport) LONG WINAPI SCardReleaseContext(SCARDCONTEXT context) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    return Relay(Writer().u32(RELEASE_CONTEXT).u32(static_cast<uint32_t>(context)), answer, r);
}

__declspec(dllexport) LONG WINAPI SCardListReadersA(SCARDCONTEXT context, LPCSTR, LPSTR readers, LPDWORD length) {
    if (!length || *length == SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    std::vector<uint8_t> answer;
    Reader r{answer};
    LONG result = Relay(Writer().u32(LIST_READERS).u32(static_cast<uint32_t>(context)), answer, r);
    const std::vector<uint8_t> list = r.data();
    if (result != SCARD_S_SUCCESS) return result;
    if (!readers) {
        *length = static_cast<DWORD>(list.size());
        return result;
    }
    return CopyOut(result, list, static_cast<uint32_t>(list.size()), reinterpret_cast<BYTE*>(readers), length);
}

__declspec(dllexport) LONG WINAPI SCardConnectA(SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols,
                                                LPSCARDHANDLE card, LPDWORD active) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    const LONG result = Relay(
        Writer().u32(CONNECT).u32(static_cast<uint32_t>(context)).text(reader).u32(share).u32(protocols), answer, r);
    *card = r.u32();
    *active = r.u32();
    return result;
}

__declspec(dllexport) LONG WINAPI SCardDisconnect(SCARDHANDLE card, DWORD disposition) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    return Relay(Writer().u32(DISCONNECT).u32(static_cast<uint32_t>(card)).u32(disposition), answer, r);
}

__declspec(dllexport) LONG WINAPI SCardBeginTransaction(SCARDHANDLE card) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    return Relay(Writer().u32(BEGIN_TRANSACTION).u32(static_cast<uint32_t>(card)), answer, r);
}

__declspec(dllexport) LONG WINAPI SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    return Relay(Writer().u32(END_TRANSACTION).u32(static_cast<uint32_t>(card)).u32(disposition), answer, r);
}

__declspec(dllexport) LONG WINAPI
    SCardTransmit(SCARDHANDLE card, LPCSCARD_IO_REQUEST sendPci, LPCBYTE command, DWORD commandLength,
                  LPSCARD_IO_REQUEST, LPBYTE response, LPDWORD responseLength) {
    if (!sendPci || !responseLength) return SCARD_E_INVALID_PARAMETER;
    std::vector<uint8_t> answer;
    Reader r{answer};
    const LONG result = Relay(Writer()
                                  .u32(TRANSMIT)
                                  .u32(static_cast<uint32_t>(card))
                                  .u32(sendPci->dwProtocol)
                                  .data(command, commandLength)
                                  .u32(*responseLength),
                              answer, r);
    const std::vector<uint8_t> data = r.data();
    const uint32_t wanted = r.u32();
    return CopyOut(result, data, wanted, response, responseLength);
}

__declspec(dllexport) LONG WINAPI SCardControl(SCARDHANDLE card, DWORD code, LPCVOID input, DWORD inputLength,
                                               LPVOID output, DWORD outputRoom, LPDWORD returned) {
    std::vector<uint8_t> answer;
    Reader r{answer};
    const LONG result =
        Relay(Writer().u32(CONTROL).u32(static_cast<uint32_t>(card)).u32(code).data(input, inputLength).u32(outputRoom),
              answer, r);
    const std::vector<uint8_t> data = r.data();
    DWORD room = outputRoom;
    const LONG copied = CopyOut(result, data, static_cast<uint32_t>(data.size()), static_cast<BYTE*>(output), &room);
    if (returned) *returned = copied == SCARD_S_SUCCESS ? room : 0;
    return copied;
}

__declspec(dllexport) LONG WINAPI
    SCardGetStatusChangeA(SCARDCONTEXT context, DWORD timeout, LPSCARD_READERSTATEA states, DWORD count) {
    Writer request;
    request.u32(GET_STATUS_CHANGE).u32(static_cast<uint32_t>(context)).u32(timeout).u32(count);
    for (DWORD i = 0; i < count; ++i) request.text(states[i].szReader).u32(states[i].dwCurrentState);
    std::vector<uint8_t> answer;
    Reader r{answer};
    const LONG result = Relay(request, answer, r);
    for (DWORD i = 0; i < count && r.ok; ++i) {
        const uint32_t event = r.u32();
        const std::vector<uint8_t> atr = r.data();
        if (result != SCARD_S_SUCCESS) continue;
        states[i].dwEventState = event;
        states[i].cbAtr = static_cast<DWORD>(std::min(atr.size(), sizeof states[i].rgbAtr));
        std::memcpy(states[i].rgbAtr, atr.data(), states[i].cbAtr);
    }
    return result;
}

}  // extern "C"
