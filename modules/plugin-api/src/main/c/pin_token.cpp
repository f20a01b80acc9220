#include "pin_token.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "base64.h"
#include "clock.h"
#include "secret.h"

namespace {

constexpr size_t SALT_OFFSET = 4, SALT_SIZE = 16;
constexpr size_t IV_OFFSET = 20, IV_SIZE = 12;
constexpr size_t EXPIRY_OFFSET = 32;
constexpr size_t AAD_SIZE = 40;
constexpr size_t TAG_OFFSET = 40, TAG_SIZE = 16;
constexpr size_t HEADER_SIZE = 56;

[[noreturn]] void mangled() { throw std::runtime_error("invalid mangled string"); }

// Key material and plain text: wiped when they go.
using WipedBytes = std::vector<uint8_t, Utils::WipingAllocator<uint8_t>>;

struct ContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, ContextFree>;

void derive_key(const uint8_t* masterKey, const uint8_t* salt, WipedBytes& key) {
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), masterKey, static_cast<int>(MASTER_KEY_LENGTH), salt, SALT_SIZE, key.data(), &length) ||
        length != 32)
        throw std::runtime_error("error deriving content encryption key");
}

void put_le(uint8_t* out, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t get_le(const uint8_t* in, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
    return value;
}

}  // namespace

std::string pin_token_binding(const std::vector<uint8_t>& cardIdentity, const std::string& origin, const char* site) {
    std::string binding;
    const auto append = [&binding](const void* bytes, size_t size) {
        uint8_t length[4];
        put_le(length, size, 4);
        binding.append(reinterpret_cast<const char*>(length), 4);
        binding.append(static_cast<const char*>(bytes), size);
    };
    append(cardIdentity.data(), cardIdentity.size());
    append(origin.data(), origin.size());
    if (site) append(site, std::strlen(site));
    return binding;
}

PinTokenCipher::PinTokenCipher(const uint8_t* masterKey) { std::memcpy(masterKey_, masterKey, MASTER_KEY_LENGTH); }

PinTokenCipher::~PinTokenCipher() { Utils::wipe(masterKey_); }

std::string PinTokenCipher::Seal(const Utils::Secret& pin, int64_t expiryMs, const std::string& binding) const {
    std::vector<uint8_t> blob(HEADER_SIZE + pin.size(), 0);
    if (RAND_bytes(blob.data() + SALT_OFFSET, SALT_SIZE) != 1) throw std::runtime_error("error generating salt");
    WipedBytes key(32);
    derive_key(masterKey_, blob.data() + SALT_OFFSET, key);
    if (RAND_bytes(blob.data() + IV_OFFSET, IV_SIZE) != 1) throw std::runtime_error("error generating IV");
    put_le(blob.data(), pin.size() + 52, 4);
    put_le(blob.data() + EXPIRY_OFFSET, static_cast<uint64_t>(expiryMs), 8);

    CipherContext ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    const bool ok =
        ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, IV_SIZE, nullptr) == 1 &&
        EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), blob.data() + IV_OFFSET) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, blob.data(), AAD_SIZE) == 1 &&
        EVP_EncryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const uint8_t*>(binding.data()),
                          static_cast<int>(binding.size())) == 1 &&
        EVP_EncryptUpdate(ctx.get(), blob.data() + HEADER_SIZE, &n, reinterpret_cast<const uint8_t*>(pin.text().data()),
                          static_cast<int>(pin.size())) == 1 &&
        EVP_EncryptFinal_ex(ctx.get(), blob.data() + HEADER_SIZE + n, &n) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, TAG_SIZE, blob.data() + TAG_OFFSET) == 1;
    if (!ok) throw std::runtime_error("error sealing pin token");
    return base64_encode(blob);
}

Utils::Secret PinTokenCipher::Open(const Utils::Secret& token, const std::string& binding) const {
    const std::vector<uint8_t> blob = base64_decode(token.text());
    if (blob.size() <= HEADER_SIZE || get_le(blob.data(), 4) != blob.size() - 4) mangled();
    const int64_t expiry = static_cast<int64_t>(get_le(blob.data() + EXPIRY_OFFSET, 8));
    if (!(Utils::calendar_ms() < expiry)) mangled();

    WipedBytes key(32);
    derive_key(masterKey_, blob.data() + SALT_OFFSET, key);
    const size_t cipherLength = blob.size() - HEADER_SIZE;
    WipedBytes plain(cipherLength + 16);
    CipherContext ctx(EVP_CIPHER_CTX_new());
    int n = 0, total = 0;
    bool ok =
        ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, IV_SIZE, nullptr) == 1 &&
        EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), blob.data() + IV_OFFSET) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, blob.data(), AAD_SIZE) == 1 &&
        EVP_DecryptUpdate(ctx.get(), nullptr, &n, reinterpret_cast<const uint8_t*>(binding.data()),
                          static_cast<int>(binding.size())) == 1 &&
        EVP_DecryptUpdate(ctx.get(), plain.data(), &n, blob.data() + HEADER_SIZE, static_cast<int>(cipherLength)) == 1;
    total = n;
    ok = ok &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, TAG_SIZE,
                             const_cast<uint8_t*>(blob.data() + TAG_OFFSET)) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plain.data() + total, &n) == 1;
    if (!ok) mangled();
    total += n;
    return Utils::Secret::copy_of(
        std::string_view(reinterpret_cast<const char*>(plain.data()), static_cast<size_t>(total)));
}
