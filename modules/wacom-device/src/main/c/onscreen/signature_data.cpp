#include "signature_data.h"

#include <cstring>

namespace OnScreenPad {
namespace {

constexpr char MAGIC[4] = {'V', 'S', 'I', 'G'};
constexpr uint8_t VERSION = 1;

class Writer {
public:
    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) { for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i))); }
    void u32(uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i))); }
    void bytes(const void* data, size_t length) {
        const auto* p = static_cast<const uint8_t*>(data);
        out.insert(out.end(), p, p + length);
    }
    void text(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes(s.data(), s.size());
    }
    std::vector<uint8_t> out;
};

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& in) : in_(in) {}
    bool ok() const { return ok_; }
    uint32_t number(int bytes) {
        if (!take(bytes)) return 0;
        uint32_t v = 0;
        for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(in_[at_ - bytes + i]) << (8 * i);
        return v;
    }
    std::string text(size_t length) {
        if (!take(length)) return {};
        return std::string(reinterpret_cast<const char*>(in_.data() + at_ - length), length);
    }
    bool at_end() const { return at_ == in_.size(); }

private:
    bool take(size_t n) {
        if (!ok_ || in_.size() - at_ < n) return ok_ = false;
        at_ += n;
        return true;
    }
    const std::vector<uint8_t>& in_;
    size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace

std::vector<uint8_t> EncodeSignatureData(const SignatureRecord& record) {
    Writer w;
    w.bytes(MAGIC, sizeof MAGIC);
    w.u8(VERSION);
    w.u16(record.width);
    w.u16(record.height);
    w.u8(record.hashType);
    w.u16(static_cast<uint16_t>(record.hash.size()));
    w.bytes(record.hash.data(), record.hash.size());
    w.text(record.signer);
    w.text(record.reason);
    w.u32(static_cast<uint32_t>(record.samples.size()));
    for (const Sample& s : record.samples) {
        w.u16(s.x);
        w.u16(s.y);
        w.u16(s.pressure);
        w.u32(s.time);
    }
    return w.out;
}

std::optional<SignatureRecord> DecodeSignatureData(const std::vector<uint8_t>& block) {
    Reader r(block);
    if (r.text(4) != std::string(MAGIC, 4) || r.number(1) != VERSION) return std::nullopt;
    SignatureRecord record;
    record.width = static_cast<uint16_t>(r.number(2));
    record.height = static_cast<uint16_t>(r.number(2));
    record.hashType = static_cast<uint8_t>(r.number(1));
    const std::string hash = r.text(r.number(2));
    record.hash.assign(hash.begin(), hash.end());
    record.signer = r.text(r.number(4));
    record.reason = r.text(r.number(4));
    const uint32_t count = r.number(4);
    for (uint32_t i = 0; r.ok() && i < count; ++i) {
        Sample s;
        s.x = static_cast<uint16_t>(r.number(2));
        s.y = static_cast<uint16_t>(r.number(2));
        s.pressure = static_cast<uint16_t>(r.number(2));
        s.time = r.number(4);
        record.samples.push_back(s);
    }
    if (!r.ok() || !r.at_end()) return std::nullopt;
    return record;
}

}  // namespace OnScreenPad
