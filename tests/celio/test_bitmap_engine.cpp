#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "base/Bitmap.h"
#include "base/BitmapSystem.h"
#include "base/FileSpec.h"
#include "base/Message.h"
#include "celio/BitmapEngine.h"
#include "celio/Manager.h"
#include "celio/handlers/HandlerTestUtil.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

using Math::Box2di;

namespace {

class BitmapEngine : public ::testing::Test {
protected:
    void SetUp() override {
        qxCelAddPixmapHandler();
        engine = BM_System::engine();
        ASSERT_NE(engine, nullptr);
    }
    void TearDown() override { CEL_Pixmap::setMaxPixmapBytes(0); }

    BM_StoredBitmap stored(const BM_Bitmap& b, unsigned quality = 90) const {
        BM_StoredBitmap s;
        EXPECT_TRUE(engine->store(b, quality, s));
        return s;
    }
    std::unique_ptr<BM_UncompressedBitmap> load(const BM_StoredBitmap& s) const {
        return std::unique_ptr<BM_UncompressedBitmap>(
            dynamic_cast<BM_UncompressedBitmap*>(engine->load(s, 0)));
    }
    std::unique_ptr<BM_UncompressedBitmap> load(const QString& path) const {
        return std::unique_ptr<BM_UncompressedBitmap>(
            dynamic_cast<BM_UncompressedBitmap*>(engine->load(PL_FileSpec(path), 0)));
    }

    const BM_SystemEngineI* engine = nullptr;
    celtest::TempDir dir;
};

// A smooth picture with a translucent band, w x h, 32-bit.
std::unique_ptr<BM_UncompressedBitmap> picture(int w, int h) {
    auto b = std::make_unique<BM_UncompressedBitmap>(BM_Bitmap::RGBA32, Box2di(0, 0, w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            b->rowAs<BM_PixelRgba32>(y)[x] =
                BM_PixelRgba32{uint8_t(x * 255 / w), uint8_t(y * 255 / h), uint8_t(128 + (x ^ y) % 32),
                               uint8_t(y < h / 3 ? 90 : 255)};
    return b;
}

std::vector<uint8_t> bytesOf(const BM_StoredBitmap& s) {
    return std::vector<uint8_t>(s.data(), s.data() + s.size());
}

std::vector<uint8_t> pixelsOf(const BM_UncompressedBitmap& b) {
    std::vector<uint8_t> v;
    for (int y = 0; y < b.height(); ++y) v.insert(v.end(), b.row(y), b.row(y) + b.width() * 4);
    return v;
}

// A JPEG made with libjpeg directly: a colour space the engine refuses, or
// arithmetic coding, which it reads.
std::vector<uint8_t> jpegOf(int w, int h, J_COLOR_SPACE space, int components, bool arithmetic) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = JDIMENSION(w), c.image_height = JDIMENSION(h);
    c.input_components = components, c.in_color_space = space;
    jpeg_set_defaults(&c);
    c.arith_code = arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&c, TRUE);
    std::vector<JSAMPLE> row(std::size_t(w * components), 77);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<uint8_t> bytes(out, out + size);
    free(out);
    return bytes;
}

BM_StoredBitmap storedOf(const std::vector<uint8_t>& bytes) {
    BM_StoredBitmap s;
    s.allocate(bytes.size());
    std::copy(bytes.begin(), bytes.end(), s.data());
    return s;
}

} // namespace

TEST_F(BitmapEngine, StoreAndLoadJpegFromEveryLayout) {
    const auto rgba = picture(64, 48);
    const BM_StoredBitmap s = stored(*rgba);
    ASSERT_TRUE(s.size() > 100u && s.data()[0] == 0xFF && s.data()[1] == 0xD8);
    const auto back = load(s);
    ASSERT_TRUE(back && back->layout() == BM_Bitmap::RGBA32);
    EXPECT_EQ(back->bounds(), Box2di(0, 0, 64, 48));
    const std::vector<uint8_t> original = pixelsOf(*rgba), decoded = pixelsOf(*back);
    for (std::size_t i = 0; i < original.size(); ++i) // opaque, colours within 24
        ASSERT_LE(std::abs((i % 4 == 3 ? 255 : original[i]) - decoded[i]), i % 4 == 3 ? 0 : 23) << i;

    // The same colours in any layout give the same file: RGB rows and RGBA rows alike.
    BM_UncompressedBitmap rgb(BM_Bitmap::RGB24, rgba->bounds());
    BM_UncompressedBitmap deep(BM_Bitmap::RGBA64, Box2di(10, 10, 64, 48));
    const BM_UncompressedBitmap moved(BM_Bitmap::RGBA32, deep.bounds(), rgba->data(), rgba->stride());
    BM_TiledBitmapRgba32 tiled(rgba->bounds());
    ASSERT_TRUE(BM_Util::Convert(*rgba, rgb) && BM_Util::Convert(moved, deep) &&
                BM_BitmapAlgo::composeBitmap(tiled, *rgba, BM_ComposeOp{}));
    for (const BM_Bitmap* b : std::initializer_list<const BM_Bitmap*>{&rgb, &deep, &tiled})
        EXPECT_EQ(bytesOf(stored(*b)), bytesOf(s)) << b->bitsPerPixel();

    // Quality is clamped to 1 ... 100.
    EXPECT_EQ(bytesOf(stored(*rgba, 0)), bytesOf(stored(*rgba, 1)));
    EXPECT_EQ(bytesOf(stored(*rgba, 5000)), bytesOf(stored(*rgba, 100)));
    EXPECT_LT(stored(*rgba, 10).size(), stored(*rgba, 90).size());

    BM_StoredBitmap untouched = s;
    EXPECT_FALSE(engine->store(BM_UncompressedBitmap(BM_Bitmap::RGBA32, Box2di()), 90, untouched));
    EXPECT_EQ(bytesOf(untouched), bytesOf(s));
}

TEST_F(BitmapEngine, ExtraStartMarkersAreSkippedAndCounted) {
    const BM_StoredBitmap plain = stored(*picture(16, 16));
    std::vector<uint8_t> bytes = {0xFF, 0xD8, 0xFF, 0xD8};
    bytes.insert(bytes.end(), plain.data(), plain.data() + plain.size()); // FF D8 FF D8 FF D8 FF E0 ...
    testing::internal::CaptureStderr();
    const auto doubled = load(storedOf(bytes));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "JPG data has 2 extra SOI marker\n");
    ASSERT_TRUE(doubled);
    EXPECT_EQ(pixelsOf(*doubled), pixelsOf(*load(plain)));

    testing::internal::CaptureStderr();
    EXPECT_FALSE(load(storedOf({0xFF, 0xD8, 0xFF, 0xD8, 0xFF, 0xD8, 0xFF})));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "JPG data has 1 extra SOI marker\n");
}

TEST_F(BitmapEngine, BadJpegDataGivesNullSilently) {
    const BM_StoredBitmap good = stored(*picture(40, 40));
    const std::vector<uint8_t> bytes = bytesOf(good);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(load(BM_StoredBitmap()));
    EXPECT_FALSE(load(storedOf({1, 2, 3, 4, 5, 6, 7, 8, 9}))); // cuts and damage: fuzz_stored_jpeg
    EXPECT_FALSE(load(storedOf(jpegOf(16, 16, JCS_CMYK, 4, false))));
    // A stream of a few hundred bytes claiming 8000 x 8000: not one bit per
    // block, refused before anything is allocated.
    std::vector<uint8_t> liar = bytes;
    for (std::size_t i = 2; i + 8 < liar.size(); ++i)
        if (liar[i] == 0xFF && liar[i + 1] == 0xC0) { // start of frame: height, width at +5 and +7
            liar[i + 5] = 8000 >> 8, liar[i + 6] = 8000 & 255, liar[i + 7] = 8000 >> 8,
                     liar[i + 8] = 8000 & 255;
            break;
        }
    ASSERT_LT(liar.size(), 2000u);
    EXPECT_FALSE(load(storedOf(liar)));
    // Over the pixmap byte cap.
    CEL_Pixmap::setMaxPixmapBytes(40 * 40 * 4 - 1);
    EXPECT_FALSE(load(good));
    CEL_Pixmap::setMaxPixmapBytes(40 * 40 * 4);
    EXPECT_TRUE(load(good));
    CEL_Pixmap::setMaxPixmapBytes(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    // Arithmetic coding may spend less than a bit on a block: read, not refused.
    const auto arith = load(storedOf(jpegOf(600, 600, JCS_RGB, 3, true)));
    const auto grey = load(storedOf(jpegOf(8, 8, JCS_GRAYSCALE, 1, false)));
    ASSERT_TRUE(arith && grey);
    EXPECT_EQ(arith->rowAs<BM_PixelRgba32>(599)[599], (BM_PixelRgba32{77, 77, 77, 255}));
    EXPECT_EQ(grey->rowAs<BM_PixelRgba32>(3)[3], (BM_PixelRgba32{77, 77, 77, 255}));
}

TEST_F(BitmapEngine, StoredBytesDecodeAlikeInOtherPrograms) {
    const auto rgba = picture(37, 29);
    const BM_StoredBitmap s = stored(*rgba, 75);
    const QString jpg = dir.path(QStringLiteral("s.jpg"));
    ASSERT_TRUE(
        celtest::writeFile(jpg, QByteArray(reinterpret_cast<const char*>(s.data()), qsizetype(s.size()))));
    const std::vector<uint8_t> ours = pixelsOf(*load(s));
    int witnesses = 0;
    if (celtest::haveProgram("convert")) {
        EXPECT_EQ(celtest::magickSamples(jpg, 8), celtest::Values(ours.begin(), ours.end()));
        ++witnesses;
    }
    if (celtest::haveProgram("oiiotool")) {
        const QString ppm = dir.path(QStringLiteral("s.ppm"));
        ASSERT_TRUE(celtest::run(celtest::program("oiiotool"), {jpg, "-d", "uint8", "-o", ppm}));
        QByteArray rgb;
        for (std::size_t i = 0; i < ours.size(); i += 4)
            rgb.append(reinterpret_cast<const char*>(&ours[i]), 3);
        EXPECT_EQ(celtest::ppmSamples(celtest::readFile(ppm)), rgb);
        ++witnesses;
    }
    if (!witnesses) GTEST_SKIP() << "neither ImageMagick nor oiiotool is installed";
}

TEST_F(BitmapEngine, SavesThroughTheHandlersFromEveryLayout) {
    const auto rgba = picture(20, 9);
    BM_UncompressedBitmap rgb(BM_Bitmap::RGB24, rgba->bounds()), deep(BM_Bitmap::RGBA64, rgba->bounds());
    ASSERT_TRUE(BM_Util::Convert(*rgba, rgb) && BM_Util::Convert(*rgba, deep));
    // Other layouts are packed to 32 bits first (their rules: test_bitmap.cpp).
    for (const BM_Bitmap* source : std::initializer_list<const BM_Bitmap*>{&rgb, &deep, rgba.get()}) {
        const QString tga = dir.path(QStringLiteral("b%1.tga").arg(source->bitsPerPixel()));
        ASSERT_TRUE(engine->saveToTGA(PL_FileSpec(tga), *source));
        EXPECT_TRUE(celtest::readFile(tga)[2] == 10 && celtest::readFile(tga)[16] == 32); // RLE, 32 bits
        const auto back = load(tga);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->rowAs<BM_PixelRgba32>(8)[19], rgba->rowAs<BM_PixelRgba32>(8)[19]);
    }
    EXPECT_EQ(pixelsOf(*load(dir.path(QStringLiteral("b32.tga")))), pixelsOf(*rgba)); // translucent rows too
    // A PSD file, and a family named by the caller, read back through the manager.
    const QString psd = dir.path(QStringLiteral("b.psd")), sgi = dir.path(QStringLiteral("b.sgi"));
    ASSERT_TRUE(engine->saveToPSD(PL_FileSpec(psd), *rgba) &&
                engine->save(PL_FileSpec(sgi), *rgba, "sgi", "SGI4"));
    EXPECT_EQ(pixelsOf(*load(psd)), pixelsOf(*rgba));
    EXPECT_EQ(pixelsOf(*load(sgi)), pixelsOf(*rgba));
    EXPECT_FALSE(engine->save(PL_FileSpec(dir.path(QStringLiteral("b.xyz"))), *rgba, "xyz", ""));
    const QXMessage::Capture capture;
    EXPECT_FALSE(load(dir.path(QStringLiteral("missing.tga"))));
}

TEST_F(BitmapEngine, LoadTakesThePixmapBufferAndSavesGiveItBack) {
    const auto rgba = picture(50, 30);
    const QString tga = dir.path(QStringLiteral("a.tga"));
    ASSERT_TRUE(engine->saveToTGA(PL_FileSpec(tga), *rgba));
    const unsigned long long before = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    const auto back = load(tga);
    ASSERT_TRUE(back && back->ownsBuffer());
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before); // the pixmap gave its buffer away

    // A writer that throws (no space left) frees nothing twice and leaves the buffer with the bitmap.
    const uint8_t* data = back->data();
    const QXMessage::Capture capture;
    EXPECT_FALSE(engine->saveToTGA(PL_FileSpec(QStringLiteral("/dev/full")), *back));
    EXPECT_FALSE(engine->saveToPSD(PL_FileSpec(QStringLiteral("/dev/full")), *back));
    EXPECT_EQ(back->data(), data);
    EXPECT_EQ(pixelsOf(*back), pixelsOf(*rgba));
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before);
}

TEST_F(BitmapEngine, StoresOnSeveralThreadsAtOnce) {
    const auto rgba = picture(300, 200);
    const std::vector<uint8_t> one = bytesOf(stored(*rgba));
    std::vector<std::vector<uint8_t>> got(4);
    std::vector<std::thread> threads;
    for (auto& g : got)
        threads.emplace_back([&] {
            BM_StoredBitmap s;
            if (engine->store(*rgba, 90, s)) g = bytesOf(s);
        });
    for (auto& t : threads) t.join();
    for (const auto& g : got) EXPECT_EQ(g, one);
}
