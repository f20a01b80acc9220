// The PC/SC reader object: one connection to one named reader, the exchange primitives and the
// card operations built on them. Reached by callers only through ICommReader / ISCardReader.
#pragma once

#include <winscard.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "apdu.h"
#include "operation_context.h"
#include "pcsc_handles.h"
#include "scard_comm.h"

namespace SZidaZaru::detail {

// The result of one exchange with the reader.
struct ApduResponse {
    uint32_t command = 0;  // the command word sent, or the control code
    uint32_t status = 0;   // SW1 * 256 + SW2, 0 when the response carried none
    Bytes data;            // the response without the status word
};

class SCardReader final : public ISCardReader {
public:
    // library keeps the PC/SC context alive as long as this reader.
    SCardReader(std::shared_ptr<CommBase::ICommLibrary> library, std::string name, SCARDCONTEXT context);
    ~SCardReader() override = default;

    bool IsPinPadReader() override;
    bool IsCardPresent() override;
    int GetCardType() override;
    void Connect() override;
    void SetPinPadListener(std::function<void(bool)> listener) override;
    std::vector<uint8_t> ReadFile(const std::string& path) override;
    bool VerifyPin(const std::string& pin) override;
    std::vector<uint8_t> Sign(const std::string& pin, const std::string& keyId,
                              const std::vector<uint8_t>& data) override;
    std::vector<uint8_t> SignBeid18(const std::string& pin, const std::string& keyId, const std::vector<uint8_t>& data,
                                    bool beid18) override;

    std::vector<uint8_t> GetAtr() override;
    int GetRemainingAttempts() override;
    std::vector<uint8_t> GetCardSerial() override { return cardSerial_; }
    std::vector<uint8_t> ReadFileHead(const std::string& path, size_t length) override;
    std::vector<ReaderFeature> GetReaderFeatures() override;
    std::vector<uint8_t> SelectEmvApplication() override;
    std::vector<uint8_t> GetProcessingOptions(const std::vector<uint8_t>& data) override;
    std::vector<uint8_t> ReadRecord(uint8_t record, int sfi) override;
    std::vector<uint8_t> SelectPkcs15Application() override;
    std::vector<uint8_t> SelectFile(const std::vector<uint8_t>& fileId) override;
    std::vector<uint8_t> ReadRecordInCurrentFile(uint8_t record) override;
    SignChallengeResult SignChallenge(uint32_t challenge, const std::vector<uint8_t>& extra,
                                      const std::string& language) override;

private:
    // Session primitives (scard_session.cpp).
    void ReadStatus();
    ApduResponse Transmit(uint32_t command, const Bytes& data, unsigned le);
    ApduResponse Control(DWORD controlCode, const Bytes& data, bool statusExpected);
    Bytes Exchange(uint32_t command, Bytes data, unsigned le, bool readToEnd);
    void RequireSuccess(const ApduResponse& response) const;
    void CheckConnected() const;

    // Card operations (scard_card.cpp).
    // The complete four-byte entries of the feature list, over the current connection.
    std::vector<ReaderFeature> ReaderFeatures();
    ApduResponse SendPinVerification(ReaderClass readerClass, const std::string& pin);
    void ActOnPinStatus(const ApduResponse& response);
    Bytes SignWith(const char* description, const std::string& keyId, const std::string& pin, const Bytes& data,
                   uint8_t algorithm);

    // Declared first so that it is released last, after the card connection.
    std::shared_ptr<CommBase::ICommLibrary> library_;
    OperationContext operations_;
    std::string name_;
    SCARDCONTEXT context_;
    CardConnection card_;
    DWORD protocol_ = 0;
    const SCARD_IO_REQUEST* pci_ = nullptr;
    bool connected_ = false;
    Bytes atr_;
    bool cardPresent_ = false;
    int remainingTries_ = -1;
    int cardType_ = kCardUnknown;
    Bytes cardSerial_;  // from the token information file of a recognised card
    std::function<void(bool)> pinPadListener_;
};

}  // namespace SZidaZaru::detail
