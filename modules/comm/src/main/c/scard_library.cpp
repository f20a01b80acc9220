// The PC/SC library object (one PC/SC context), the factory that opens it and the table of card
// file paths.
#include <winscard.h>

#include <algorithm>
#include <map>
#include <memory>

#include "operation_context.h"
#include "pcsc_call.h"
#include "pcsc_handles.h"
#include "scard_comm.h"
#include "scard_reader.h"

namespace SZidaZaru {
namespace {

using detail::OperationContext;
using detail::PcscContext;
using detail::Tolerate;

// Every attempt to read the reader list races with readers coming and going; a second call
// that finds the list grown is retried a few times.
constexpr int kListAttempts = 3;

SCARDCONTEXT Establish(const OperationContext& operations) {
    SCARDCONTEXT handle = 0;
    PCSC_CALL(operations, SCardEstablishContext, SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle);
    return handle;
}

class SCardContext final : public CommBase::ICommLibrary, public std::enable_shared_from_this<SCardContext> {
public:
    explicit SCardContext(std::string name) : name_(std::move(name)), context_(Establish(operations_)) {}

    std::vector<std::string> ListReaders() override {
        for (int attempt = 1;; ++attempt) {
            DWORD size = 0;
            LONG rv = PCSC_CALL_TOLERATING(operations_, Tolerate(SCARD_E_NO_READERS_AVAILABLE), SCardListReaders,
                                           context_.get(), nullptr, nullptr, &size);
            if (rv == SCARD_E_NO_READERS_AVAILABLE) return {};
            std::vector<char> buffer(size + 1, '\0');  // one spare NUL: the split never runs off
            DWORD filled = size;
            // A list that grew since the first call is read again, a few times.
            const LONG grown = attempt < kListAttempts ? SCARD_E_INSUFFICIENT_BUFFER : SCARD_S_SUCCESS;
            rv = PCSC_CALL_TOLERATING(operations_, Tolerate(SCARD_E_NO_READERS_AVAILABLE, grown), SCardListReaders,
                                      context_.get(), nullptr, buffer.data(), &filled);
            if (rv == SCARD_E_NO_READERS_AVAILABLE) return {};
            if (rv == SCARD_E_INSUFFICIENT_BUFFER) continue;
            return SplitMultiString(buffer, std::min<size_t>(filled, size));
        }
    }

    std::shared_ptr<CommBase::ICommReader> GetReader(const std::string& name) override {
        for (const std::string& listed : ListReaders()) {
            if (listed == name)
                return std::make_shared<detail::SCardReader>(shared_from_this(), listed, context_.get());
        }
        return nullptr;
    }

    bool HasCapability() override { return false; }
    std::string GetName() override { return name_; }

    std::string GetFilePath(int fileId, int cardType) override {
        if (fileId == 0) return kSignatureKey;
        if (fileId == 1) return kAuthenticationKey;
        const auto& table = PathTable();
        const auto card = table.find(cardType);
        if (card == table.end()) return {};
        const auto file = card->second.find(fileId);
        return file == card->second.end() ? std::string() : file->second;
    }

private:
    // A multi-string: names one after another, each NUL-terminated, ended by an empty name.
    static std::vector<std::string> SplitMultiString(const std::vector<char>& buffer, size_t length) {
        std::vector<std::string> names;
        size_t i = 0;
        while (i < length && buffer[i] != '\0') {
            std::string name(&buffer[i]);
            i += name.size() + 1;
            names.push_back(std::move(name));
        }
        return names;
    }

    static const std::map<int, std::map<int, std::string>>& PathTable() {
        static const std::map<int, std::map<int, std::string>> table = [] {
            auto path = [](std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); };
            std::map<int, std::map<int, std::string>> t;
            t[kCardBelpic] = {
                {2, path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x39})},  // signature certificate
                {3, path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x38})},  // authentication certificate
                {4, path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x3A})},  // intermediate CA certificate
                {5, path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x3B})},  // root CA certificate
                {6, path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31})},  // identity
                {7, path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33})},  // address
                {8, path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35})},  // photo
            };
            t[kCardPkcs15] = {
                {2, path({0x50, 0x15, 0x43, 0x04, 0xC0, 0x01})}, {3, path({0x50, 0x15, 0x43, 0x04, 0x2F, 0x01})},
                {4, path({0x50, 0x15, 0x43, 0x04, 0x50, 0x3A})}, {5, path({0x50, 0x15, 0x43, 0x04, 0x50, 0x3B})},
                {6, path({0x50, 0x15, 0x44, 0x44, 0x44, 0x03})}, {7, path({0x50, 0x15, 0x44, 0x44, 0x44, 0x03})},
                {8, path({0x50, 0x15, 0x44, 0x44, 0x44, 0x04})},
            };
            return t;
        }();
        return table;
    }

    std::string name_;
    OperationContext operations_;
    PcscContext context_;
};

}  // namespace

std::vector<std::string> SCardFactory::ListLibraries() { return {kLibraryName}; }

std::shared_ptr<CommBase::ICommLibrary> SCardFactory::OpenLibrary(const std::string& name) {
    return std::make_shared<SCardContext>(name.empty() ? std::string(kLibraryName) : name);
}

}  // namespace SZidaZaru
