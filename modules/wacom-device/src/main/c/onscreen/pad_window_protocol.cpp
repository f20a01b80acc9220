#include "pad_window_protocol.h"

#include <iterator>

#include "little_endian.h"

namespace OnScreenPad {
namespace {

using PadSdk::Variant;

constexpr uint8_t PLACE_NONE = 0, PLACE_NUMBER = 1, PLACE_KEYWORD = 2;

// A message: its length (filled in by finish), its kind, then the fields.
class Writer : public LittleEndianWriter {
public:
    explicit Writer(MessageKind kind) {
        out.resize(4);
        u8(static_cast<uint8_t>(kind));
    }
    void place(const Variant& v) {
        if (v.type == Variant::Type::Int) {
            u8(PLACE_NUMBER);
            i32(v.number);
        } else if (v.type == Variant::Type::Text) {
            u8(PLACE_KEYWORD);
            text(v.text);
        } else u8(PLACE_NONE);
    }
    // The message with its length in front; empty when it is too long.
    std::vector<uint8_t> finish() {
        const size_t length = out.size() - 4;
        if (length > MAX_MESSAGE) return {};
        for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(length >> (8 * i));
        return std::move(out);
    }
};

class Reader : public LittleEndianReader {
public:
    using LittleEndianReader::LittleEndianReader;
    Variant place() {
        switch (u8()) {
        case PLACE_NONE: return Variant();
        case PLACE_NUMBER: return Variant::Int(i32());
        case PLACE_KEYWORD: return Variant::Text(text());
        default: fail(); return Variant();
        }
    }
};

}  // namespace

std::vector<uint8_t> EncodeShow(const Screen& screen) {
    Writer w(MessageKind::Show);
    w.u32(screen.number);
    w.u32(static_cast<uint32_t>(screen.items.size()));
    for (const ScreenItem& item : screen.items) {
        w.i32(item.type);
        w.text(item.id);
        w.place(item.x);
        w.place(item.y);
        w.text(item.caption);
        w.i32(item.option);
        w.text(item.font.face);
        w.i64(item.font.size);
        w.i32(item.font.weight);
        w.u8(item.font.italic ? 1 : 0);
    }
    return w.finish();
}

std::vector<uint8_t> EncodeHide() { return Writer(MessageKind::Hide).finish(); }

std::vector<uint8_t> EncodeReady(uint16_t width, uint16_t height) {
    Writer w(MessageKind::Ready);
    w.u16(width);
    w.u16(height);
    return w.finish();
}

std::vector<uint8_t> EncodeSample(const PenSample& sample) {
    Writer w(MessageKind::Sample);
    w.u32(sample.screen);
    w.u16(sample.sample.x);
    w.u16(sample.sample.y);
    w.u16(sample.sample.pressure);
    w.u32(sample.sample.time);
    return w.finish();
}

std::vector<uint8_t> EncodeButton(const ButtonPress& press) {
    Writer w(MessageKind::Button);
    w.u32(press.screen);
    w.text(press.id);
    return w.finish();
}

Framing TakeMessage(std::vector<uint8_t>& buffer, Message* message) {
    if (buffer.size() < 4) return Framing::Incomplete;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= static_cast<uint32_t>(buffer[i]) << (8 * i);
    if (length == 0 || length > MAX_MESSAGE) return Framing::Invalid;
    if (buffer.size() - 4 < length) return Framing::Incomplete;
    message->kind = static_cast<MessageKind>(buffer[4]);
    message->payload.assign(buffer.begin() + 5, buffer.begin() + 4 + length);
    buffer.erase(buffer.begin(), buffer.begin() + 4 + length);
    return Framing::Complete;
}

std::optional<Screen> DecodeShow(const std::vector<uint8_t>& payload) {
    Reader r(payload);
    Screen screen;
    screen.number = r.u32();
    const uint32_t count = r.u32();
    // Each object takes at least 35 bytes: a count beyond what is there is a broken message.
    if (count > r.left() / 35) return std::nullopt;
    for (uint32_t i = 0; i < count; ++i) {
        ScreenItem item;
        item.type = r.i32();
        item.id = r.text();
        item.x = r.place();
        item.y = r.place();
        item.caption = r.text();
        item.option = r.i32();
        item.font.face = r.text();
        item.font.size = r.i64();
        item.font.weight = r.i32();
        item.font.italic = r.u8() != 0;
        screen.items.push_back(std::move(item));
    }
    if (!r.complete()) return std::nullopt;
    return screen;
}

std::optional<std::pair<uint16_t, uint16_t>> DecodeReady(const std::vector<uint8_t>& payload) {
    Reader r(payload);
    const uint16_t width = r.u16();
    const uint16_t height = r.u16();
    if (!r.complete()) return std::nullopt;
    return std::make_pair(width, height);
}

std::optional<PenSample> DecodeSample(const std::vector<uint8_t>& payload) {
    Reader r(payload);
    PenSample s;
    s.screen = r.u32();
    s.sample.x = r.u16();
    s.sample.y = r.u16();
    s.sample.pressure = r.u16();
    s.sample.time = r.u32();
    if (!r.complete()) return std::nullopt;
    return s;
}

std::optional<ButtonPress> DecodeButton(const std::vector<uint8_t>& payload) {
    Reader r(payload);
    ButtonPress press;
    press.screen = r.u32();
    press.id = r.text();
    if (!r.complete()) return std::nullopt;
    return press;
}

namespace {

// Pad screens, largest first.
constexpr PadScreen PAD_SCREENS[] = {{800, 480}, {640, 480}, {320, 200}, {396, 100}};

}  // namespace

PadScreen PadScreenFitting(int width, int height) {
    for (const PadScreen& screen : PAD_SCREENS)
        if (screen.width <= width && screen.height <= height) return screen;
    return PAD_SCREENS[std::size(PAD_SCREENS) - 1];
}

std::string SizeArgument(PadScreen screen) {
    return std::to_string(screen.width) + "x" + std::to_string(screen.height);
}

std::optional<PadScreen> ParseSizeArgument(const std::string& argument) {
    for (const PadScreen& screen : PAD_SCREENS)
        if (argument == SizeArgument(screen)) return screen;
    return std::nullopt;
}

}  // namespace OnScreenPad
