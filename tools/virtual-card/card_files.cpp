#include "card_files.h"

#include <cstring>

#include <openssl/sha.h>

namespace VirtualCard {
namespace {

std::string Path(std::initializer_list<uint8_t> bytes) { return std::string(bytes.begin(), bytes.end()); }

void Tlv(Bytes& out, uint8_t tag, const std::string& value) {
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

// A DER element: tag, length (short form below 128, else long form) and content.
void Der(Bytes& out, uint8_t tag, const Bytes& content) {
    out.push_back(tag);
    if (content.size() >= 256) {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(content.size() >> 8));
    } else if (content.size() >= 128) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<uint8_t>(content.size()));
    out.insert(out.end(), content.begin(), content.end());
}

// The token information of the BELPIC application (a PKCS #15 TokenInfo). Its serial number is
// this card's own, as on real cards: taken from its freshly made signature certificate.
Bytes TokenInfo(const CardKeys& keys, TokenInfoForm form) {
    uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(keys.signature.certificate.data(), keys.signature.certificate.size(), digest);
    Bytes body;
    Der(body, 0x02, {0x00});                                                           // version
    if (form != TokenInfoForm::NoSerial) Der(body, 0x04, Bytes(digest, digest + 16));  // serial number
    Der(body, 0x0C, {'B', 'E', 'L', 'P', 'I', 'C'});                                   // label
    Der(body, 0x03, {0x04, 0x30});                                                     // token flags
    if (form == TokenInfoForm::LongLength) Der(body, 0xA2, Bytes(100, 0x00));          // supported algorithms
    Bytes out;
    Der(out, 0x30, body);
    return out;
}

Bytes Identity() {
    Bytes out;
    Tlv(out, 0x01, "592123456789");  // card number
    Tlv(out, 0x02, std::string("\x53\x4C\x49\x4E\x33\x66\x00\x13\x26\x3D\x00\x00\x00\x00", 14));
    Tlv(out, 0x03, "01.01.2026");             // validity start
    Tlv(out, 0x04, "01.01.2036");             // validity end
    Tlv(out, 0x05, "Testville");              // delivering municipality
    Tlv(out, 0x06, "71715100070");            // national number
    Tlv(out, 0x07, "Tester");                 // name
    Tlv(out, 0x08, "Alice Marie");            // first names
    Tlv(out, 0x09, "J");                      // third initial
    Tlv(out, 0x0A, "Belg");                   // nationality
    Tlv(out, 0x0B, "Testville");              // birth place
    Tlv(out, 0x0C, "17 JUL  1971");           // birth date
    Tlv(out, 0x0D, "F");                      // sex
    Tlv(out, 0x0E, "");                       // noble condition
    Tlv(out, 0x0F, "1");                      // document type
    Tlv(out, 0x10, "");                       // special status
    Tlv(out, 0x11, std::string(20, '\x5A'));  // photo hash
    return out;
}

Bytes Address() {
    Bytes out;
    Tlv(out, 0x01, "Teststraat 12 bus 3");
    Tlv(out, 0x02, "1000");
    Tlv(out, 0x03, "Testville");
    out.resize(117, 0x00);  // the card pads the address file
    return out;
}

// A JPEG-framed block of deterministic bytes, the size of a card photo.
Bytes Photo() {
    Bytes out = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                 0x00, 0x01, 0x01, 0x01, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00};
    uint32_t x = 0x12345678;
    while (out.size() < 3064 - 2) {
        x = x * 1103515245u + 12345u;
        out.push_back(static_cast<uint8_t>(x >> 16));
    }
    out.push_back(0xFF);
    out.push_back(0xD9);
    return out;
}

// A file of exactly two READ BINARY chunks: its end falls on a chunk boundary.
Bytes TwoChunks() {
    Bytes out(512);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
    return out;
}

}  // namespace

std::map<std::string, Bytes> MakeCardFiles(const CardKeys& keys, TokenInfoForm tokenInfo) {
    std::map<std::string, Bytes> files;
    files[Path({0x3F, 0x00})] = {};
    files[Path({0x3F, 0x00, 0xDF, 0x00})] = {};
    files[Path({0x3F, 0x00, 0xDF, 0x01})] = {};
    files[Path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x32})] = TokenInfo(keys, tokenInfo);
    files[Path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x38})] = keys.authentication.certificate;
    files[Path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x39})] = keys.signature.certificate;
    files[Path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x3A})] = keys.intermediate.certificate;
    files[Path({0x3F, 0x00, 0xDF, 0x00, 0x50, 0x3B})] = keys.root.certificate;
    files[Path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x31})] = Identity();
    files[Path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x33})] = Address();
    files[Path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x35})] = Photo();
    files[Path({0x3F, 0x00, 0xDF, 0x01, 0x40, 0x40})] = TwoChunks();
    return files;
}

bool IsDirectory(const std::string& path) { return path.size() <= 4; }

}  // namespace VirtualCard
