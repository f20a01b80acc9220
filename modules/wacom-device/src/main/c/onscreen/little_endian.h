// Little-endian byte streams for the on-screen pad's binary formats (the signature data block and the
// window process's messages): numbers of 1 to 8 bytes and texts with a u32 length in front. The reader
// is bounded by its input: reading past the end yields zeros and makes ok() false for good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace OnScreenPad {

class LittleEndianWriter {
public:
    void u8(uint8_t v) { out.push_back(v); }
    void u16(uint16_t v) { number(v, 2); }
    void u32(uint32_t v) { number(v, 4); }
    void i32(int32_t v) { number(static_cast<uint32_t>(v), 4); }
    void i64(int64_t v) { number(static_cast<uint64_t>(v), 8); }
    void bytes(const void* data, size_t length) {
        const auto* p = static_cast<const uint8_t*>(data);
        out.insert(out.end(), p, p + length);
    }
    void text(const std::string& s) {
        u32(static_cast<uint32_t>(s.size()));
        bytes(s.data(), s.size());
    }

    std::vector<uint8_t> out;

private:
    void number(uint64_t v, int size) {
        for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
};

class LittleEndianReader {
public:
    explicit LittleEndianReader(const std::vector<uint8_t>& in) : in_(in) {}
    bool ok() const { return ok_; }
    // Read whole and nothing left over.
    bool complete() const { return ok_ && at_ == in_.size(); }
    size_t left() const { return in_.size() - at_; }
    void fail() { ok_ = false; }

    uint8_t u8() { return static_cast<uint8_t>(number(1)); }
    uint16_t u16() { return static_cast<uint16_t>(number(2)); }
    uint32_t u32() { return static_cast<uint32_t>(number(4)); }
    int32_t i32() { return static_cast<int32_t>(static_cast<uint32_t>(number(4))); }
    int64_t i64() { return static_cast<int64_t>(number(8)); }
    std::string bytes(size_t length) {
        if (!take(length)) return {};
        return std::string(reinterpret_cast<const char*>(in_.data() + at_ - length), length);
    }
    std::string text() { return bytes(u32()); }

private:
    uint64_t number(int size) {
        if (!take(static_cast<size_t>(size))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < size; ++i) v |= static_cast<uint64_t>(in_[at_ - size + i]) << (8 * i);
        return v;
    }
    bool take(size_t n) {
        if (!ok_ || in_.size() - at_ < n) return ok_ = false;
        at_ += n;
        return true;
    }
    const std::vector<uint8_t>& in_;
    size_t at_ = 0;
    bool ok_ = true;
};

}  // namespace OnScreenPad
