// libcrypto, opened on the first call of a function that needs it (see lazy_library.h): the PIN
// token, the master key of a new user, the signing certificate's checks and the pad's images. A
// request that needs none of them (GET_INFO with the state file in place, TIMEOUT) neither loads
// the library nor binds its symbols. Without the library every call answers its failure value (no
// object, 0 or -1), which the callers report as their own error; the loader's reason is logged.
// Wiping needs no library: the host wipes with Utils::wipe_bytes.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/opensslv.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include "lazy_library.h"

namespace {
#define VELDRA_TEXT(x) #x
#define VELDRA_SONAME(version) "libcrypto.so." VELDRA_TEXT(version)
// The soname of the libcrypto whose headers the host is built with (the one it links otherwise).
constexpr const char* LIBCRYPTO = VELDRA_SONAME(OPENSSL_SHLIB_VERSION);
}  // namespace

// Random bytes: the master key, a token's salt and IV.
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, RAND_bytes, (unsigned char* buf, int num), (buf, num), 0)

// The PIN token: HMAC-SHA-256 and AES-256-GCM.
VELDRA_LAZY_FORWARD(LIBCRYPTO, const EVP_MD*, EVP_sha256, (void), (), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, unsigned char*, HMAC,
                    (const EVP_MD* md, const void* key, int keyLength, const unsigned char* data, size_t dataLength,
                     unsigned char* out, unsigned int* outLength),
                    (md, key, keyLength, data, dataLength, out, outLength), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, const EVP_CIPHER*, EVP_aes_256_gcm, (void), (), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, EVP_CIPHER_CTX*, EVP_CIPHER_CTX_new, (void), (), nullptr)
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, EVP_CIPHER_CTX_free, (EVP_CIPHER_CTX * ctx), (ctx))
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_CIPHER_CTX_ctrl, (EVP_CIPHER_CTX * ctx, int type, int arg, void* ptr),
                    (ctx, type, arg, ptr), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_EncryptInit_ex,
                    (EVP_CIPHER_CTX * ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
                     const unsigned char* iv),
                    (ctx, cipher, impl, key, iv), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_EncryptUpdate,
                    (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outLength, const unsigned char* in, int inLength),
                    (ctx, out, outLength, in, inLength), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_EncryptFinal_ex, (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outLength),
                    (ctx, out, outLength), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_DecryptInit_ex,
                    (EVP_CIPHER_CTX * ctx, const EVP_CIPHER* cipher, ENGINE* impl, const unsigned char* key,
                     const unsigned char* iv),
                    (ctx, cipher, impl, key, iv), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_DecryptUpdate,
                    (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outLength, const unsigned char* in, int inLength),
                    (ctx, out, outLength, in, inLength), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, EVP_DecryptFinal_ex, (EVP_CIPHER_CTX * ctx, unsigned char* out, int* outLength),
                    (ctx, out, outLength), 0)

// The signing certificate: its subject and its dates.
VELDRA_LAZY_FORWARD(LIBCRYPTO, X509*, d2i_X509, (X509 * *out, const unsigned char** in, long length), (out, in, length),
                    nullptr)
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, X509_free, (X509 * certificate), (certificate))
VELDRA_LAZY_FORWARD(LIBCRYPTO, X509_NAME*, X509_get_subject_name, (const X509* certificate), (certificate), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, char*, X509_NAME_oneline, (const X509_NAME* name, char* buf, int size),
                    (name, buf, size), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, const ASN1_TIME*, X509_get0_notBefore, (const X509* certificate), (certificate), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, ASN1_TIME*, d2i_ASN1_TIME, (ASN1_TIME * *out, const unsigned char** in, long length),
                    (out, in, length), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, ASN1_TIME*, ASN1_TIME_set, (ASN1_TIME * s, time_t t), (s, t), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, ASN1_TIME_diff,
                    (int* days, int* seconds, const ASN1_TIME* from, const ASN1_TIME* to), (days, seconds, from, to), 0)
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, ASN1_TIME_free, (ASN1_TIME * t), (t))
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, CRYPTO_free, (void* ptr, const char* file, int line), (ptr, file, line))

// The pad's images: the memory and Base64 filter BIOs.
VELDRA_LAZY_FORWARD(LIBCRYPTO, const BIO_METHOD*, BIO_f_base64, (void), (), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, const BIO_METHOD*, BIO_s_mem, (void), (), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, BIO*, BIO_new, (const BIO_METHOD* type), (type), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, BIO*, BIO_new_mem_buf, (const void* buf, int length), (buf, length), nullptr)
VELDRA_LAZY_FORWARD(LIBCRYPTO, BIO*, BIO_push, (BIO * b, BIO* append), (b, append), nullptr)
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, BIO_set_flags, (BIO * b, int flags), (b, flags))
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, BIO_read, (BIO * b, void* data, int length), (b, data, length), -1)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, BIO_write, (BIO * b, const void* data, int length), (b, data, length), -1)
VELDRA_LAZY_FORWARD(LIBCRYPTO, long, BIO_ctrl, (BIO * b, int cmd, long larg, void* parg), (b, cmd, larg, parg), 0)
VELDRA_LAZY_FORWARD(LIBCRYPTO, int, BIO_free, (BIO * b), (b), 0)
VELDRA_LAZY_FORWARD_VOID(LIBCRYPTO, BIO_free_all, (BIO * b), (b))
