// libpcsclite, opened on the first PC/SC call (see lazy_library.h). Without the library every call
// answers SCARD_E_NO_SERVICE, as when pcscd is not running.
#include <winscard.h>

#include "lazy_library.h"

namespace {
constexpr const char* PCSCLITE = "libpcsclite.so.1";
}

// The protocol control blocks that SCARD_PCI_T0/T1 point to: the same values as the library's.
extern "C" const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
extern "C" const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
extern "C" const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardEstablishContext,
                    (DWORD scope, LPCVOID r1, LPCVOID r2, LPSCARDCONTEXT context), (scope, r1, r2, context),
                    SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardReleaseContext, (SCARDCONTEXT context), (context), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardListReaders,
                    (SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD size),
                    (context, groups, readers, size), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardGetStatusChange,
                    (SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states, DWORD count),
                    (context, timeout, states, count), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardConnect,
                    (SCARDCONTEXT context, LPCSTR reader, DWORD share, DWORD protocols, LPSCARDHANDLE card,
                     LPDWORD active),
                    (context, reader, share, protocols, card, active), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardDisconnect, (SCARDHANDLE card, DWORD disposition), (card, disposition),
                    SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardBeginTransaction, (SCARDHANDLE card), (card), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardEndTransaction, (SCARDHANDLE card, DWORD disposition), (card, disposition),
                    SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardTransmit,
                    (SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE send, DWORD sendLength,
                     SCARD_IO_REQUEST* recvPci, LPBYTE recv, LPDWORD recvLength),
                    (card, sendPci, send, sendLength, recvPci, recv, recvLength), SCARD_E_NO_SERVICE)
VELDRA_LAZY_FORWARD(PCSCLITE, LONG, SCardControl,
                    (SCARDHANDLE card, DWORD code, LPCVOID send, DWORD sendLength, LPVOID recv, DWORD recvLength,
                     LPDWORD returned),
                    (card, code, send, sendLength, recv, recvLength, returned), SCARD_E_NO_SERVICE)
