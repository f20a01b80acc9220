#include "image_decoder.h"

#include <stdexcept>

#include "loadable_module.h"

namespace BioSigningDevice {

std::vector<uint8_t> decode_image(const std::vector<uint8_t>& file) {
    static LoadableModule module(IMAGE_DECODER_MODULE);
    const auto decode = reinterpret_cast<DecodeImageFunction>(module.Symbol(IMAGE_DECODER_SYMBOL));
    if (!decode) throw std::runtime_error("BioSigningDevice::decode_image: image decoder not available");
    std::vector<uint8_t> pixels;
    if (!decode(file.data(), file.size(), &pixels)) pixels.clear();
    return pixels;
}

}  // namespace BioSigningDevice
