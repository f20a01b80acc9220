#include <gtest/gtest.h>

#include "image_decoder.h"
#include "onscreen_objects.h"
#include "signature_data.h"
#include "signature_render.h"

using namespace OnScreenPad;

namespace {

SignatureRecord sample_record() {
    SignatureRecord r;
    r.width = 800;
    r.height = 480;
    r.hashType = 4;
    r.hash = {0x0A, 0xFF};
    r.signer = "Zo\xC3\xAB";
    r.reason = "";
    r.samples = {{100, 100, 1023, 0},
                 {300, 100, 1023, 20},
                 {300, 100, 0, 21},  // a stroke, then lifted
                 {600, 400, 512, 40},
                 {600, 400, 0, 41}};  // a dot
    return r;
}

// Blue, green, red of the decoded picture at (x, y).
int brightness(const std::vector<uint8_t>& pixels, int width, int x, int y) {
    const size_t at = (static_cast<size_t>(y) * width + x) * 3;
    return pixels.at(at) + pixels.at(at + 1) + pixels.at(at + 2);
}

}  // namespace

TEST(SignatureData, RoundTripsAndRefusesWhatIsNotABlock) {
    const SignatureRecord r = sample_record();
    const auto block = EncodeSignatureData(r);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "VSIG");
    const auto back = DecodeSignatureData(block);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 800);
    EXPECT_EQ(back->hashType, 4);
    EXPECT_EQ(back->hash, r.hash);
    EXPECT_EQ(back->signer, r.signer);
    EXPECT_EQ(back->reason, "");
    ASSERT_EQ(back->samples.size(), 5u);
    EXPECT_EQ(back->samples[1].x, 300);
    EXPECT_EQ(back->samples[3].pressure, 512);
    EXPECT_EQ(back->samples[4].time, 41u);

    auto cut = block;
    cut.pop_back();
    EXPECT_FALSE(DecodeSignatureData(cut));
    auto longer = block;
    longer.push_back(0);
    EXPECT_FALSE(DecodeSignatureData(longer));
    EXPECT_FALSE(DecodeSignatureData({'V', 'S', 'I', 'X', 1}));
}

TEST(SignatureRender, DrawsTheInkWhereItWasOnAScaledPaddedScreen) {
    RenderSettings settings{-200, -200, 0.7f, 0x000000, 0xFFFFFF, 4.0f, 4.0f};
    const auto png = RenderSignaturePng(sample_record(), settings);
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');
    const auto pixels = BioSigningDevice::decode_image(png);
    const int width = 800 * 2 + 8, height = 480 * 2 + 8;
    ASSERT_EQ(pixels.size(), static_cast<size_t>(width) * height * 3);
    EXPECT_EQ(brightness(pixels, width, 4 + 200 * 2, 4 + 100 * 2), 0);    // on the stroke
    EXPECT_LT(brightness(pixels, width, 4 + 600 * 2, 4 + 400 * 2), 100);  // the dot
    EXPECT_EQ(brightness(pixels, width, 4 + 450 * 2, 4 + 250 * 2), 765);  // between them: lifted pen
    EXPECT_EQ(brightness(pixels, width, 1, 1), 765);                      // padding
}

TEST(SignatureRender, PixelSizesColoursAndImpossibleSizes) {
    RenderSettings settings{400, 240, 0.7f, 0x0000FF, 0x000000, 0, 0};  // red ink (0x00BBGGRR) on black
    const auto pixels = BioSigningDevice::decode_image(RenderSignaturePng(sample_record(), settings));
    ASSERT_EQ(pixels.size(), 400u * 240 * 3);
    const size_t at = (50u * 400 + 100) * 3;  // (200, 100) on screen, halved
    EXPECT_GT(pixels[at + 2], 150);           // red, a thin line partly covering the pixel
    EXPECT_EQ(pixels[at], 0);

    SignatureRecord empty = sample_record();
    empty.width = 0;
    EXPECT_TRUE(RenderSignaturePng(empty, settings).empty());
    settings.width = -100000;  // a thousandfold picture
    EXPECT_TRUE(RenderSignaturePng(sample_record(), settings).empty());
}

// A flood of pen samples (more than a minute of the fastest pen) is not kept without bound: the
// signature is then incomplete and says so, until the screen is cleared.
TEST(SignatureObject, SamplesBeyondTheBoundMakeTheSignatureFail) {
    SigObj signature;
    signature.Begin(800, 480, 0, {}, "A", "B");
    for (size_t i = 0; i <= MAX_SAMPLES; ++i)
        signature.AddSample({static_cast<uint16_t>(i % 800), 100, static_cast<uint16_t>(i % 2 ? 500 : 0), 0});
    EXPECT_TRUE(signature.Overflowed());
    EXPECT_EQ(signature.Record().samples.size(), MAX_SAMPLES);
    signature.Accept();
    bool captured = false;
    PadSdk::Variant data, picture;
    EXPECT_EQ(signature.IsCaptured(&captured), BioSigningDevice::E_OUTOFMEMORY);
    EXPECT_EQ(signature.GetSigData(&data), BioSigningDevice::E_OUTOFMEMORY);
    EXPECT_EQ(signature.RenderBitmap(nullptr, 0, 0, "image/png", 0.7f, 0, 0xFFFFFF, 0, 0, 0, &picture),
              BioSigningDevice::E_OUTOFMEMORY);

    signature.Clear();
    signature.AddSample({10, 10, 500, 0});
    signature.Accept();
    EXPECT_EQ(signature.IsCaptured(&captured), BioSigningDevice::S_OK);
    EXPECT_TRUE(captured);
}
