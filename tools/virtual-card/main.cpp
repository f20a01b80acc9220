// veldra-virtual-card: an emulated identity card in a virtual reader (vpcd, or our own driver).
//
// It makes its keys and certificate chain at start, optionally writes the certificates as PEM,
// connects to the reader driver's port (the card is then "inserted") and answers until the
// driver goes away or the process is stopped (the card is then "removed").
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include <openssl/crypto.h>

#include "belpic_card.h"
#include "vpcd_link.h"

using namespace VirtualCard;

namespace {

const char* kUsage =
    "usage: veldra-virtual-card --port N [options]\n"
    "  --host ADDR             reader driver address (127.0.0.1)\n"
    "  --generation G          classic (RSA-2048, default) or 1.8 (ECDSA P-384)\n"
    "  --atr HEX               answer to reset (default: that of the generation)\n"
    "  --pin DIGITS            the card PIN (1234)\n"
    "  --tries N               PIN tries (3)\n"
    "  --escape-pinpad         answer the escape PIN command of a pinpad reader\n"
    "  --pinpad-pin DIGITS     the PIN typed on that reader (default: the card PIN)\n"
    "  --pinpad-result R       typed (default), cancel (6401) or timeout (6400)\n"
    "  --short-read R          READ BINARY past the end of the file: 6c (default, 6Cxx as a T=0\n"
    "                          card answers), 6282 (the bytes left and 6282) or 9000\n"
    "  --sig-not-before TIME   notBefore of the signature certificate, YYYYMMDDHHMMSSZ\n"
    "  --sig-cert-bytes N      the signature certificate file cut to its first N bytes\n"
    "  --token-info F          the token information file: short (default), long (100 more\n"
    "                          bytes: a long-form DER length) or no-serial (no serial number)\n"
    "  --signature-extra N     answer N more bytes after each signature\n"
    "  --pem-dir DIR           write root.pem intermediate.pem signature.pem authentication.pem\n"
    "  --log FILE              log every command (never a PIN digit)\n"
    "  --key-cache DIR         take the keys from DIR, making and storing them there once\n"
    "  --drop-on N             close the connection instead of answering command N\n"
    "  --connect-timeout MS    how long to retry connecting to the driver (10000)\n";

const char* kClassicAtr = "3B9813400AA503010101AD1311";
const char* kV18Atr = "3B 7F 96 00 00 80 31 80 65 B0 85 04 01 20 12 0F FF 82 90 00";

Bytes ParseHex(const std::string& text) {
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else throw std::runtime_error("invalid hex: " + text);
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) throw std::runtime_error("odd number of hex digits: " + text);
    return out;
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

struct Settings {
    std::string host = "127.0.0.1";
    int port = 0;
    std::string atr;
    std::string notBefore;
    std::string pemDir;
    std::string keyCache;
    std::string logPath;
    long dropOn = 0;
    int connectTimeoutMs = 10000;
    CardOptions card;
};

Settings Parse(int argc, char** argv) {
    Settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        } else if (arg == "--port") {
            s.port = std::atoi(value().c_str());
        } else if (arg == "--host") {
            s.host = value();
        } else if (arg == "--generation") {
            const std::string g = value();
            if (g == "classic") s.card.generation = Generation::Classic;
            else if (g == "1.8") s.card.generation = Generation::V18;
            else throw std::runtime_error("unknown generation " + g);
        } else if (arg == "--atr") {
            s.atr = value();
        } else if (arg == "--pin") {
            s.card.pin = value();
            if (!AllDigits(s.card.pin)) throw std::runtime_error("--pin takes digits");
        } else if (arg == "--tries") {
            s.card.tries = std::atoi(value().c_str());
            if (s.card.tries < 1 || s.card.tries > 15) throw std::runtime_error("--tries takes 1 to 15");
        } else if (arg == "--escape-pinpad") {
            s.card.escapePinPad = true;
        } else if (arg == "--pinpad-pin") {
            s.card.pinPadPin = value();
            if (!AllDigits(s.card.pinPadPin)) throw std::runtime_error("--pinpad-pin takes digits");
        } else if (arg == "--pinpad-result") {
            const std::string r = value();
            if (r == "typed") s.card.pinPadOutcome = PinPadOutcome::Typed;
            else if (r == "cancel") s.card.pinPadOutcome = PinPadOutcome::Cancel;
            else if (r == "timeout") s.card.pinPadOutcome = PinPadOutcome::Timeout;
            else throw std::runtime_error("unknown pinpad result " + r);
        } else if (arg == "--short-read") {
            const std::string r = value();
            if (r == "6c") s.card.shortRead = ShortRead::WrongLength;
            else if (r == "6282") s.card.shortRead = ShortRead::EndOfFile;
            else if (r == "9000") s.card.shortRead = ShortRead::Lenient;
            else throw std::runtime_error("unknown short read " + r);
        } else if (arg == "--token-info") {
            const std::string f = value();
            if (f == "short") s.card.tokenInfo = TokenInfoForm::Short;
            else if (f == "long") s.card.tokenInfo = TokenInfoForm::LongLength;
            else if (f == "no-serial") s.card.tokenInfo = TokenInfoForm::NoSerial;
            else throw std::runtime_error("unknown token information form " + f);
        } else if (arg == "--signature-extra") {
            const long n = std::atol(value().c_str());
            if (n < 0 || n > 65536) throw std::runtime_error("--signature-extra takes 0 to 65536");
            s.card.signatureExtra = static_cast<size_t>(n);
        } else if (arg == "--sig-cert-bytes") {
            const long n = std::atol(value().c_str());
            if (n < 1) throw std::runtime_error("--sig-cert-bytes takes a positive number");
            s.card.signatureCertificateBytes = static_cast<size_t>(n);
        } else if (arg == "--sig-not-before") {
            s.notBefore = value();
        } else if (arg == "--pem-dir") {
            s.pemDir = value();
        } else if (arg == "--key-cache") {
            s.keyCache = value();
        } else if (arg == "--log") {
            s.logPath = value();
        } else if (arg == "--drop-on") {
            s.dropOn = std::atol(value().c_str());
        } else if (arg == "--connect-timeout") {
            s.connectTimeoutMs = std::atoi(value().c_str());
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    if (s.port <= 0 || s.port > 65535) throw std::runtime_error("--port is required");
    if (s.atr.empty()) s.atr = s.card.generation == Generation::Classic ? kClassicAtr : kV18Atr;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Settings settings = Parse(argc, argv);
        const Bytes atr = ParseHex(settings.atr);
        CardKeys keys = MakeCardKeys(settings.card.generation, settings.notBefore, settings.keyCache);
        if (!settings.pemDir.empty()) WriteCertificatesPem(keys, settings.pemDir);
        BelpicCard card(settings.card, std::move(keys));

        FILE* log = nullptr;
        if (!settings.logPath.empty()) {
            log = std::fopen(settings.logPath.c_str(), "a");
            if (!log) throw std::runtime_error("cannot open " + settings.logPath);
            setvbuf(log, nullptr, _IOLBF, 0);
        }
        VpcdLink link(settings.host, static_cast<uint16_t>(settings.port), settings.connectTimeoutMs);
        if (log) std::fprintf(log, "connected to %s:%d\n", settings.host.c_str(), settings.port);

        long commands = 0;
        while (auto message = link.Receive()) {
            if (message->size() == 1) {
                switch ((*message)[0]) {
                case 0x00:  // power off
                case 0x02:  // reset
                    card.Reset();
                    break;
                case 0x01:  // power on
                    break;
                case 0x04:  // get ATR
                    link.Send(atr);
                    break;
                case 0x10: {  // the keypad of a reader that builds the VERIFY itself
                    Bytes keys = card.Keypad();
                    link.Send(keys);
                    OPENSSL_cleanse(keys.data(), keys.size());
                    if (log) std::fprintf(log, "%s\n", card.LastLogLine().c_str());
                    break;
                }
                default: break;
                }
                continue;
            }
            ++commands;
            if (settings.dropOn > 0 && commands == settings.dropOn) {
                if (log) std::fprintf(log, "command %ld: pulled out\n", commands);
                link.Close();
                break;
            }
            const Bytes response = card.Process(*message);
            if (log) {
                std::fprintf(log, "%s -> %02X%02X (%zu bytes)\n", card.LastLogLine().c_str(),
                             response[response.size() - 2], response.back(), response.size() - 2);
            }
            link.Send(response);
        }
        if (log) {
            std::fprintf(log, "disconnected\n");
            std::fclose(log);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veldra-virtual-card: %s\n", e.what());
        return 1;
    }
}
