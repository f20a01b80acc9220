#include "signature_data.h"

#include "little_endian.h"

namespace OnScreenPad {
namespace {

constexpr char MAGIC[4] = {'V', 'S', 'I', 'G'};
constexpr uint8_t VERSION = 1;

}  // namespace

std::vector<uint8_t> EncodeSignatureData(const SignatureRecord& record) {
    LittleEndianWriter w;
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
    LittleEndianReader r(block);
    if (r.bytes(4) != std::string(MAGIC, 4) || r.u8() != VERSION) return std::nullopt;
    SignatureRecord record;
    record.width = r.u16();
    record.height = r.u16();
    record.hashType = r.u8();
    const std::string hash = r.bytes(r.u16());
    record.hash.assign(hash.begin(), hash.end());
    record.signer = r.text();
    record.reason = r.text();
    const uint32_t count = r.u32();
    for (uint32_t i = 0; r.ok() && i < count; ++i) {
        Sample s;
        s.x = r.u16();
        s.y = r.u16();
        s.pressure = r.u16();
        s.time = r.u32();
        record.samples.push_back(s);
    }
    if (!r.complete()) return std::nullopt;
    return record;
}

}  // namespace OnScreenPad
