// The messages between the on-screen pad module (in the host) and its window process (the pad
// window, veldra-onscreen-pad-window), over one stream socket. Every message is
//
//   u32  length of what follows (1 .. MAX_MESSAGE), u8 kind, payload
//
// with all numbers little-endian and every text a u32 byte count followed by its UTF-8 bytes.
//
//   host -> window
//     Show    u32 screen, u32 object count, then per object:
//             i32 type (0 text, 1 button, 3 signing area), text id, place x, place y, text caption,
//             i32 option (button width, 0: fitted), text font face, i64 font size (points x 10000),
//             i32 font weight, u8 italic
//             a place is u8 0 (none), 1 and an i32 pixel, or 2 and a keyword text ("left", "centre"...)
//     Hide    (no payload) the screen is empty: the window is hidden
//   window -> host
//     Ready   u16 width, u16 height: the display is open and the pad screen has this size; sent once,
//             first. A window process that cannot open the display exits without it.
//     Sample  u32 screen, u16 x, u16 y, u16 pressure (0: pen lifted), u32 milliseconds since shown
//     Button  u32 screen, text id: a button was pressed ("Cancel" also when the window is closed)
//
// The window program's one argument, "WIDTHxHEIGHT", is the pad screen's size, picked by the host
// from the X server's work area; without it (no X server the host could reach) the window picks the
// size from its own display. Either way Ready reports it.
//
// The screen number of Show comes back with that screen's samples and buttons, so that input still
// in flight for an earlier screen is told apart. The host closing its end ends the window process;
// the window process ending (its display lost) closes the host's end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pad_sdk.h"
#include "signature_data.h"

namespace OnScreenPad {

// A screen carries the signer and reason texts of one request, and a request is under 4 MiB.
constexpr uint32_t MAX_MESSAGE = 8 * 1024 * 1024;
// The descriptor of the socket in the window process.
constexpr int WINDOW_CHANNEL_FD = 3;

enum class MessageKind : uint8_t { Show = 1, Hide = 2, Ready = 0x81, Sample = 0x82, Button = 0x83 };

struct Message {
    MessageKind kind = MessageKind::Hide;
    std::vector<uint8_t> payload;
};

// One object of a screen as the window draws it. x, y and option are Int or Text Variants (anything
// else travels as none).
struct ScreenItem {
    int32_t type = 0;
    std::string id;
    PadSdk::Variant x, y;
    std::string caption;
    int32_t option = 0;
    PadSdk::Font font;
};

struct Screen {
    uint32_t number = 0;
    std::vector<ScreenItem> items;
};

struct ButtonPress {
    uint32_t screen = 0;
    std::string id;
};

struct PenSample {
    uint32_t screen = 0;
    Sample sample;
};

// A pad screen size.
struct PadScreen {
    uint16_t width = 0;
    uint16_t height = 0;
};
// The largest pad screen that fits an area of the display (the smallest pad screen when none does).
PadScreen PadScreenFitting(int width, int height);
// The window program's argument for a size, and back (nullopt: not a pad screen's size).
std::string SizeArgument(PadScreen screen);
std::optional<PadScreen> ParseSizeArgument(const std::string& argument);

// Whole messages, length prefix included; empty when the message would exceed MAX_MESSAGE.
std::vector<uint8_t> EncodeShow(const Screen& screen);
std::vector<uint8_t> EncodeHide();
std::vector<uint8_t> EncodeReady(uint16_t width, uint16_t height);
std::vector<uint8_t> EncodeSample(const PenSample& sample);
std::vector<uint8_t> EncodeButton(const ButtonPress& press);

enum class Framing { Complete, Incomplete, Invalid };
// Takes the first whole message off the front of buffer. Invalid: a length of 0 or above MAX_MESSAGE
// (the stream is then unusable).
Framing TakeMessage(std::vector<uint8_t>& buffer, Message* message);

// Payload decoders: nullopt when the payload is cut short or has bytes left over.
std::optional<Screen> DecodeShow(const std::vector<uint8_t>& payload);
std::optional<std::pair<uint16_t, uint16_t>> DecodeReady(const std::vector<uint8_t>& payload);
std::optional<PenSample> DecodeSample(const std::vector<uint8_t>& payload);
std::optional<ButtonPress> DecodeButton(const std::vector<uint8_t>& payload);

}  // namespace OnScreenPad
