// Scope guards for the PC/SC handles: a context, a card connection and a transaction each
// release what they hold in a noexcept destructor, whatever path leaves the scope.
#pragma once

#include <winscard.h>

#include <utility>

#include "operation_context.h"
#include "pcsc_call.h"

namespace SZidaZaru::detail {

// An established PC/SC context, released when the guard goes.
class PcscContext {
public:
    PcscContext() = default;
    explicit PcscContext(SCARDCONTEXT handle) : handle_(handle), established_(true) {}
    ~PcscContext() {
        if (established_) SCardReleaseContext(handle_);  // the result has no one to go to
    }
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;

    SCARDCONTEXT get() const { return handle_; }
    bool established() const { return established_; }

private:
    SCARDCONTEXT handle_ = 0;
    bool established_ = false;
};

// A card connection, disconnected (leaving the card as it is) when the guard goes or is reset.
class CardConnection {
public:
    CardConnection() = default;
    ~CardConnection() { Close(); }
    CardConnection(const CardConnection&) = delete;
    CardConnection& operator=(const CardConnection&) = delete;

    void Adopt(SCARDHANDLE handle) {
        Close();
        handle_ = handle;
        open_ = true;
    }
    void Close() noexcept {
        if (open_) SCardDisconnect(handle_, SCARD_LEAVE_CARD);  // failures are swallowed
        open_ = false;
        handle_ = 0;
    }
    SCARDHANDLE get() const { return handle_; }
    bool open() const { return open_; }

private:
    SCARDHANDLE handle_ = 0;
    bool open_ = false;
};

// A PC/SC transaction on a card handle; begins in the constructor (raising on failure against
// the given operation context) and ends with SCARD_LEAVE_CARD in the destructor, swallowing
// the result.
class TransactionGuard {
public:
    TransactionGuard(SCARDHANDLE card, const OperationContext& operations) : card_(card) {
        PCSC_CALL(operations, SCardBeginTransaction, card_);
    }
    ~TransactionGuard() { SCardEndTransaction(card_, SCARD_LEAVE_CARD); }
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;

private:
    SCARDHANDLE card_;
};

}  // namespace SZidaZaru::detail
