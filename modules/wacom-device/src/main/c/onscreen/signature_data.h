// The on-screen pad's signature data block: the pen samples of a capture with the screen size, the
// bound hash and the texts shown. All numbers little-endian:
//
//   "VSIG"                      magic
//   u8   version                1
//   u16  screen width, u16 screen height (pixels)
//   u8   hash type (0: none), u16 hash length, hash bytes
//   u32  signer length, signer text (UTF-8)
//   u32  reason length, reason text (UTF-8)
//   u32  sample count, then per sample:
//        u16 x, u16 y (screen pixels), u16 pressure (1..1023 pen down; 0 pen lifted, ending a stroke),
//        u32 time (milliseconds since the signing screen was shown)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace OnScreenPad {

struct Sample {
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t pressure = 0;  // 0: the pen was lifted
    uint32_t time = 0;
};

constexpr uint16_t MAX_PRESSURE = 1023;

struct SignatureRecord {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t hashType = 0;
    std::vector<uint8_t> hash;
    std::string signer;
    std::string reason;
    std::vector<Sample> samples;
};

std::vector<uint8_t> EncodeSignatureData(const SignatureRecord& record);
// nullopt when the block is not one of ours or is cut short.
std::optional<SignatureRecord> DecodeSignatureData(const std::vector<uint8_t>& block);

}  // namespace OnScreenPad
