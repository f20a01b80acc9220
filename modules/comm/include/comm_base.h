// The card side's view of card readers: a factory of comm libraries, a library (one open
// connection to a reader subsystem) and a reader. Every failure is a Utils::api_exception;
// the PIN outcomes are CommBase::CommException.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api_exception.h"
#include "secret.h"

namespace CommBase {

// Codes of CommException.
enum CommExceptionCode : int32_t {
    kSignatureFailed = 1,        // the signing step failed after the PIN was verified; value: the underlying code
    kCardBlocked = 3,            // "card blocked"; value 0
    kPinTimeoutOrCancelled = 4,  // "PIN timeout or cancelled"; value 0
    kInvalidPinNoCount = 5,      // a wrong PIN without a count of the tries left (the PC/SC library never raises it)
    kInvalidPin = 6,             // "invalid pin; remaining %d"; value: the tries left
};

// Raised only for the outcomes above; every other comm failure is a plain Utils::api_exception.
class CommException : public Utils::api_exception {
public:
    using Utils::api_exception::api_exception;
};

class ICommLibrary;
class ICommReader;

class ICommFactory {
public:
    virtual ~ICommFactory() = default;
    // Always exactly one name.
    virtual std::vector<std::string> ListLibraries() = 0;
    // An empty name opens the first of ListLibraries; any other name opens the same kind of
    // library, which reports that name.
    virtual std::shared_ptr<ICommLibrary> OpenLibrary(const std::string& name) = 0;
};

class ICommLibrary {
public:
    virtual ~ICommLibrary() = default;
    // The reader names in the subsystem's order; empty (not an error) when there is no reader.
    virtual std::vector<std::string> ListReaders() = 0;
    // A fresh, unconnected reader object for exactly that name (case-sensitive), or null.
    virtual std::shared_ptr<ICommReader> GetReader(const std::string& name) = 0;
    // Whether the library collects the PIN by itself.
    virtual bool HasCapability() = 0;
    virtual std::string GetName() = 0;
    // fileId 0: "__signature__", 1: "__authentication__"; other ids: the raw path bytes of the
    // card file for that card type (kCardBelpic or kCardPkcs15), to be handed to ReadFile; "" when unknown.
    virtual std::string GetFilePath(int fileId, int cardType) = 0;
};

class ICommReader {
public:
    virtual ~ICommReader() = default;
    // True unless the reader is a plain one (the PIN is then typed on the reader, or skipped).
    virtual bool IsPinPadReader() = 0;
    // Never raises; presence and ATR are cached from the first time a card was seen.
    virtual bool IsCardPresent() = 0;
    // 0 unknown or absent, 1 a BELPIC card. Attempts Connect; never raises.
    virtual int GetCardType() = 0;
    // Connects if not yet connected.
    virtual void Connect() = 0;
    // Called with true before a PIN verification reaches the card and with false after it, on
    // every path. An empty callable removes the listener.
    virtual void SetPinPadListener(std::function<void(bool)> listener) = 0;
    // path: raw path bytes from the master file (as GetFilePath gives them). Needs a connected reader.
    virtual std::vector<uint8_t> ReadFile(const std::string& path) = 0;
    // pin: ASCII digits (used only by plain readers). Returns true; every failure is raised.
    virtual bool VerifyPin(const Utils::Secret& pin) = 0;
    // keyId: "__signature__" or "__authentication__". data: what the card signs, unchanged.
    virtual std::vector<uint8_t> Sign(const Utils::Secret& pin, const std::string& keyId,
                                      const std::vector<uint8_t>& data) = 0;
    // As Sign; with beid18 the security environment names the algorithm from the data length.
    virtual std::vector<uint8_t> SignBeid18(const Utils::Secret& pin, const std::string& keyId,
                                            const std::vector<uint8_t>& data, bool beid18) = 0;
};

}  // namespace CommBase
