#include "virtual_cards.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace hosttest {

std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int virtual_reader(const std::vector<std::string>& args) {
    std::string command = shell_quoted(std::string(VELDRA_SOURCE_DIR) + "/scripts/virtual-reader");
    for (const auto& a : args) command += " " + shell_quoted(a);
    return std::system((command + " >&2").c_str());
}

std::string virtual_reader_dir() {
    const char* dir = std::getenv("VELDRA_VR_DIR");
    return dir ? dir : std::string(VELDRA_SOURCE_DIR) + "/build/virtual-reader";
}

std::vector<uint8_t> card_certificate(const std::string& reader, const std::string& name) {
    const std::string path = virtual_reader_dir() + "/pem-" + reader + "/" + name + ".pem";
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) return {};
    std::unique_ptr<X509, decltype(&X509_free)> certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                            X509_free);
    if (!certificate) return {};
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate.get(), &der);
    std::vector<uint8_t> out(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return out;
}

void InsertedCards::insert(const std::string& reader, const std::vector<std::string>& options) {
    std::vector<std::string> args{"insert", reader};
    args.insert(args.end(), options.begin(), options.end());
    ASSERT_EQ(virtual_reader(args), 0) << "inserting a card in the " << reader << " reader";
    inserted_.push_back(reader);
}

void InsertedCards::remove(const std::string& reader) {
    ASSERT_EQ(virtual_reader({"remove", reader}), 0);
    std::erase(inserted_, reader);
}

void InsertedCards::remove_all() {
    for (const auto& reader : inserted_) virtual_reader({"remove", reader});
    inserted_.clear();
}

}  // namespace hosttest
