#include "plugin-api-pkcs-sign.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>

#include "clock.h"
#include "der.h"
#include "hex.h"
#include "log.h"
#include "plugin-api-pkcs-handlers.h"
#include "plugin-api-pkcs-pin.h"
#include "plugin-api-pkcs-support.h"

namespace {

constexpr const char* NOT_QUALIFIED =
    "Certificate was issued before 2016-07-01 and is no longer qualified under eIDAS 2.0";

bool env_is_one(const char* name) {
    const char* value = std::getenv(name);
    return value && std::strcmp(value, "1") == 0;
}

// DER object identifiers of the digest algorithms, by hash length.
std::vector<uint8_t> digest_oid(size_t hashLength) {
    switch (hashLength) {
    case 20: return {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};                          // 1.3.14.3.2.26
    case 32: return {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};  // SHA-256
    case 64: return {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};  // SHA-512
    default: return {};
    }
}

// tag, length of content, content.
std::vector<uint8_t> der(uint8_t tag, const std::vector<uint8_t>& content) {
    std::vector<uint8_t> out{tag, static_cast<uint8_t>(content.size())};
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct Asn1TimeFree {
    void operator()(ASN1_TIME* t) const { ASN1_TIME_free(t); }
};
struct OpenSslFree {
    void operator()(char* p) const { OPENSSL_free(p); }
};

// Milliseconds from 1970 to notBefore; -1 when it cannot be told.
int64_t not_before_ms(const ASN1_TIME* notBefore) {
    if (!notBefore) return -1;
    std::unique_ptr<ASN1_TIME, Asn1TimeFree> epoch(ASN1_TIME_set(nullptr, 0));
    if (!epoch) return -1;
    int days = 0, seconds = 0;
    if (!ASN1_TIME_diff(&days, &seconds, epoch.get(), notBefore)) return -1;
    const int64_t total = static_cast<int64_t>(days) * 86400 + seconds;
    return total < 0 ? -1 : total * 1000;
}

// The certificate that bytes begin with, parsed by OpenSSL to the last byte its DER length
// announces; null when any of it is missing or does not parse.
std::unique_ptr<X509, X509Free> whole_certificate(const std::vector<uint8_t>& bytes) {
    uint8_t tag = 0;
    size_t content = 0, length = 0;
    if (!der_element(bytes, 0, tag, content, length) || tag != 0x30 || content + length > bytes.size()) return nullptr;
    const unsigned char* cursor = bytes.data();
    std::unique_ptr<X509, X509Free> certificate(d2i_X509(nullptr, &cursor, static_cast<long>(content + length)));
    if (!certificate || cursor != bytes.data() + content + length) return nullptr;
    return certificate;
}

}  // namespace

int64_t certificate_not_before_ms(const std::vector<uint8_t>& bytes) {
    // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL, serialNumber INTEGER,
    //   signature AlgorithmIdentifier, issuer Name, validity SEQUENCE { notBefore Time, ... } ... } ... }
    uint8_t tag = 0;
    size_t content = 0, length = 0;
    if (!der_element(bytes, 0, tag, content, length) || tag != 0x30) return NOT_BEFORE_NOT_IN_BYTES;
    if (!der_element(bytes, content, tag, content, length) || tag != 0x30) return NOT_BEFORE_NOT_IN_BYTES;
    size_t at = content;
    if (!der_element(bytes, at, tag, content, length)) return NOT_BEFORE_NOT_IN_BYTES;
    if (tag == 0xA0) {
        at = content + length;
        if (!der_element(bytes, at, tag, content, length)) return NOT_BEFORE_NOT_IN_BYTES;
    }
    for (const uint8_t expected : {0x02, 0x30, 0x30}) {  // serialNumber, signature, issuer
        if (tag != expected) return NOT_BEFORE_NOT_IN_BYTES;
        at = content + length;
        if (!der_element(bytes, at, tag, content, length)) return NOT_BEFORE_NOT_IN_BYTES;
    }
    if (tag != 0x30) return NOT_BEFORE_NOT_IN_BYTES;  // validity
    at = content;
    if (!der_element(bytes, at, tag, content, length) || (tag != 0x17 && tag != 0x18) ||
        content + length > bytes.size())
        return NOT_BEFORE_NOT_IN_BYTES;
    // The one element, whole, through OpenSSL's own DER decoder.
    const unsigned char* cursor = bytes.data() + at;
    std::unique_ptr<ASN1_TIME, Asn1TimeFree> time(
        d2i_ASN1_TIME(nullptr, &cursor, static_cast<long>(content + length - at)));
    return not_before_ms(time.get());
}

bool is_beid18_atr(const std::vector<uint8_t>& atr) {
    return atr.size() >= sizeof BEID18_ATR_PREFIX &&
           std::equal(std::begin(BEID18_ATR_PREFIX), std::end(BEID18_ATR_PREFIX), atr.begin());
}

std::vector<uint8_t> digest_info(const std::vector<uint8_t>& hash, const std::string& hashText) {
    const std::vector<uint8_t> oid = digest_oid(hash.size());
    if (oid.empty())
        throw CommandException(format_text("Invalid hash [%s]; should be either 20, 32 or 64 bytes", hashText.c_str()),
                               7);
    const std::vector<uint8_t> algorithm = der(0x30, concat(oid, {0x05, 0x00}));
    return der(0x30, concat(algorithm, der(0x04, hash)));
}

void eidas2_check(SZidaZaru::ISCardReader& reader, const std::string& readerName, bool signatureKey) {
    if (!signatureKey || env_is_one("VELDRA_SKIP_EIDAS2")) {
        LOG_DEBUG("[%s] Skipping eIDAS2 compliance checks (VELDRA_SKIP_EIDAS2=1)", readerName.c_str());
        return;
    }
    if (env_is_one("VELDRA_FORCE_EIDAS2_FAIL")) throw CommandException(NOT_QUALIFIED, 1);
    const int64_t now = Utils::calendar_ms() / 1000 * 1000;
    if (reader.GetCardType() != EIDAS2_CARD_TYPE || now < EIDAS2_RULE_START_MS) return;

    const std::string path(EIDAS2_CERTIFICATE_PATH, sizeof EIDAS2_CERTIFICATE_PATH - 1);
    const std::vector<uint8_t> bytes = reader.ReadFile(path);
    if (bytes.empty()) throw std::runtime_error("Empty certificate data");
    const std::unique_ptr<X509, X509Free> certificate = whole_certificate(bytes);
    if (!certificate) {
        // A date in a certificate that is not whole tells nothing: the certificate is not the card's.
        if (certificate_not_before_ms(bytes) != NOT_BEFORE_NOT_IN_BYTES)
            throw CommandException("Unable to read certificate notBefore date", 99);
        throw std::runtime_error("Failed to parse DER certificate");
    }
    const X509_NAME* subjectName = X509_get_subject_name(certificate.get());
    std::unique_ptr<char, OpenSslFree> subject(subjectName ? X509_NAME_oneline(subjectName, nullptr, 0) : nullptr);
    LOG_DEBUG("[%s] Certificate subject: %s", readerName.c_str(), subject ? subject.get() : "");
    const int64_t notBefore = not_before_ms(X509_get0_notBefore(certificate.get()));
    LOG_DEBUG("[%s] Signature certificate notBefore %lld ms", readerName.c_str(), static_cast<long long>(notBefore));
    if (notBefore < 0) throw CommandException("Unable to read certificate notBefore date", 99);
    if (notBefore < EIDAS2_QUALIFIED_LIMIT_MS) throw CommandException(NOT_QUALIFIED, 1);
}

void CardCommands::PluginApi::computeSignature(api_ctx* ctx, json_message* message, json_response* response,
                                               bool authentication) {
    auto library = open_library(factory, "");
    const std::string readerName = read_field(message, "reader");
    std::string key = read_field(message, "key", "", true);
    if (key.empty()) key = library->GetFilePath(authentication ? 1 : 0, 0);
    const std::string hashText = read_field(message, "hash");
    const std::vector<uint8_t> hash = read_hex_field(hashText, 99, "", 0);

    auto reader = open_reader(*library, readerName, ctx);
    SZidaZaru::ISCardReader* scard = as_scard_reader(reader.get(), true);
    // The rule guards the signature key, whichever command and label name it.
    eidas2_check(*scard, readerName, !authentication || key == SZidaZaru::kSignatureKey);

    const bool beid18 = is_beid18_atr(scard->GetAtr());
    if (beid18)
        LOG_PKCS(
            "this is a beid v1.8 card! (or at least it has an atr of one...) we'll use the raw hash without "
            "modifying it as the data to sign.");
    else
        LOG_PKCS(
            "this is not a beid v1.8 card! (or at least it doesn't have an atr of one...) we'll aplly "
            "EMSA-PKCS1-v1_5 encoding to the raw hash, and us that as the data to sign.");
    // A 1.8 card signs the hash as given, whatever its length, but never an empty or undecodable one.
    if (beid18 && hash.empty())
        throw CommandException(format_text("Invalid hash [%s]; should be either 20, 32 or 64 bytes", hashText.c_str()),
                               7);
    const std::vector<uint8_t> data = beid18 ? hash : digest_info(hash, hashText);

    PinAndToken pinAndToken =
        acquire_pin(*library, *reader, message, ctx, authentication ? PinUse::LogIn : PinUse::Sign);
    LOG_DEBUG("[%s] signing hash [%s] (%d bytes) using key [%s]", readerName.c_str(), hashText.c_str(),
              static_cast<int>(hash.size()), key.c_str());
    LOG_DEBUG("assembled data; %s", hex_upper(data).c_str());
    with_comm_failures_answered<CommBase::CommException>("Error computing digital signature", 8, [&] {
        const std::vector<uint8_t> signature =
            beid18 ? reader->SignBeid18(pinAndToken.pin, key, data, true) : reader->Sign(pinAndToken.pin, key, data);
        json_response_begin(response);
        write_pin_result(response, true, reader.get(), pinAndToken.token, false);
        json_response_add_string(response, "signature", hex_upper(signature).c_str(), true);
        json_response_end(response);
    });
}
