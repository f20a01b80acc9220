// Image files to pixels on Windows: GDI+ loads the image from a memory stream over the bytes, in the
// calling thread's COM apartment; GDI+ runs while at least one image is being decoded.
#include <windows.h>
#include <objidl.h>
#include <shlwapi.h>
#include <gdiplus.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>

#include "image_decoder.h"

namespace BioSigningDevice {

namespace {

constexpr uint64_t MAX_PIXELS = 16u * 1024 * 1024;

// "HRESULT": the system's text for a result code, or the code as 0x and eight hex digits.
class HresultCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "HRESULT"; }
    std::string message(int value) const override {
        char* text = nullptr;
        const DWORD length =
            FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                               FORMAT_MESSAGE_MAX_WIDTH_MASK,
                           nullptr, static_cast<DWORD>(value), 0, reinterpret_cast<char*>(&text), 0, nullptr);
        std::string message;
        if (length > 0 && text) message.assign(text, length);
        if (text) LocalFree(text);
        while (!message.empty() && message.back() == ' ') message.pop_back();
        if (message.empty()) {
            char code[16];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(value));
            message = code;
        }
        return message;
    }
};

const std::error_category& hresult_category() {
    static const HresultCategory category;
    return category;
}

// GDI+ started on the first session and shut down when the last one ends.
class GdiplusSession {
public:
    GdiplusSession() {
        std::lock_guard<std::mutex> lock(mutex());
        if (count()++ == 0) {
            Gdiplus::GdiplusStartupInput input;
            if (Gdiplus::GdiplusStartup(&token(), &input, nullptr) != Gdiplus::Ok) token() = 0;
        }
        started_ = token() != 0;
    }
    ~GdiplusSession() {
        std::lock_guard<std::mutex> lock(mutex());
        if (--count() == 0 && token() != 0) {
            Gdiplus::GdiplusShutdown(token());
            token() = 0;
        }
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool started() const { return started_; }

private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static int& count() {
        static int n = 0;
        return n;
    }
    static ULONG_PTR& token() {
        static ULONG_PTR t = 0;
        return t;
    }
    bool started_ = false;
};

struct ComApartment {
    ~ComApartment() { CoUninitialize(); }
};

struct StreamRelease {
    void operator()(IStream* stream) const { stream->Release(); }
};

}  // namespace

std::vector<uint8_t> decode_image(const std::vector<uint8_t>& file) {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(hr)) throw std::system_error(static_cast<int>(hr), hresult_category(), "CoInitializeEx");
    ComApartment apartment;
    std::vector<uint8_t> pixels;
    if (file.empty()) return pixels;
    std::unique_ptr<IStream, StreamRelease> stream(SHCreateMemStream(file.data(), static_cast<UINT>(file.size())));
    if (!stream) return pixels;
    GdiplusSession gdiplus;
    if (!gdiplus.started()) return pixels;
    Gdiplus::Bitmap image(stream.get());
    if (image.GetLastStatus() != Gdiplus::Ok) return pixels;
    const UINT width = image.GetWidth(), height = image.GetHeight();
    if (width == 0 || height == 0 || static_cast<uint64_t>(width) * height > MAX_PIXELS) return pixels;
    Gdiplus::Rect all(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    Gdiplus::BitmapData data{};
    if (image.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok) return pixels;
    pixels.reserve(static_cast<size_t>(width) * height * 3);
    for (UINT y = 0; y < height; ++y) {
        const auto* row = static_cast<const uint8_t*>(data.Scan0) + static_cast<ptrdiff_t>(y) * data.Stride;
        for (UINT x = 0; x < width; ++x) pixels.insert(pixels.end(), row + x * 4, row + x * 4 + 3);  // B, G, R
    }
    image.UnlockBits(&data);
    return pixels;
}

}  // namespace BioSigningDevice
