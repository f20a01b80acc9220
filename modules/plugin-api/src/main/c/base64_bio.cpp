#include "base64_bio.h"

#include <openssl/bio.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>

bool base64_bio_decode(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    const size_t n = text.size();
    size_t padding = 0;
    if (n >= 2 && text.compare(n - 2, 2, "==") == 0) padding = 2;
    else if (n >= 1 && text[n - 1] == '=') padding = 1;
    if (n * 3 / 4 < padding || n > INT_MAX) return false;  // "=" alone, or too long for the filter
    const size_t expected = n * 3 / 4 - padding;
    if (expected == 0) return n == 0;
    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* source = BIO_new_mem_buf(text.data(), static_cast<int>(n));
    if (!b64 || !source) {
        BIO_free(b64);
        BIO_free(source);
        return false;
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BIO* chain = BIO_push(b64, source);
    bytes->resize(n + 1);
    const int read = BIO_read(chain, bytes->data(), static_cast<int>(n));
    BIO_free_all(chain);
    if (read < 0 || static_cast<size_t>(read) != expected) {
        bytes->clear();
        return false;
    }
    bytes->resize(expected);
    return true;
}

std::string base64_bio_encode(const std::vector<uint8_t>& bytes) {
    BIO* b64 = BIO_new(BIO_f_base64());
    BIO* sink = BIO_new(BIO_s_mem());
    if (!b64 || !sink) {
        BIO_free(b64);
        BIO_free(sink);
        return {};
    }
    BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
    BIO* chain = BIO_push(b64, sink);
    size_t done = 0;
    while (done < bytes.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
        if (BIO_write(chain, bytes.data() + done, chunk) != chunk) break;
        done += static_cast<size_t>(chunk);
    }
    std::string text;
    if (done == bytes.size() && BIO_flush(chain) == 1) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(sink, &data);
        if (length > 0) text.assign(data, static_cast<size_t>(length));
    }
    BIO_free_all(chain);
    return text;
}
