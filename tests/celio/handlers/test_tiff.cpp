// TIFF: depths, sample counts, compressions, strip layouts and min-is-white;
// float depth files and their companion; the refusals with their diagnostics;
// the writer's tags and pixels.
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <tiffio.h>
#include <vector>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

using Diagnostics = celtest::Diagnostics<QxCelUioTiffHandler>;

struct Spec {
    int width = 13, height = 11, bits = 8, samples = 4;
    int compression = COMPRESSION_NONE, rowsPerStrip = 0; // 0: one strip
    int photometric = PHOTOMETRIC_RGB, planar = PLANARCONFIG_CONTIG;
    bool tiled = false;
};

// Writes width * height * samples values of the test case's depth (native order) with libtiff.
void writeTiff(const QString& path, const Spec& s, const void* data) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, s.planar);
    if (s.bits == 32) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    if (s.samples == 4 || s.samples == 2) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    const size_t rowBytes = (size_t(s.width) * s.samples * s.bits + 7) / 8;
    std::vector<uint8_t> row(rowBytes * 16 * 16, 0);
    if (s.tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        TIFFWriteTile(tif, row.data(), 0, 0, 0, 0);
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip ? s.rowsPerStrip : s.height);
        for (int y = 0; y < s.height; ++y)
            for (int c = 0; c < (s.planar == PLANARCONFIG_SEPARATE ? s.samples : 1); ++c) {
                std::memcpy(row.data(), static_cast<const uint8_t*>(data) + y * rowBytes, rowBytes);
                ASSERT_GE(TIFFWriteScanline(tif, row.data(), uint32_t(y), uint16_t(c)), 0);
            }
    }
    TIFFClose(tif);
}

CELIO_RepresentationList readOne(const QString& path) {
    CELIO_RepresentationList list;
    QxCelUioTiffHandler().read(QFile::encodeName(path), list);
    return list;
}

} // namespace

TEST(TiffRead, DepthsSamplesCompressionsStripsAndMinIsWhite) {
    celtest::TempDir dir;
    std::mt19937 rng(1);
    for (int bits : {8, 16})
        for (int samples : {3, 4})
            for (int compression :
                 {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS})
                for (int rows : {1, 4, 0}) {
                    // Min-is-white in some rows: every decoded byte is inverted.
                    const Spec s{.bits = bits,
                                 .samples = samples,
                                 .compression = compression,
                                 .rowsPerStrip = rows,
                                 .photometric = rows == 4 ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_RGB};
                    SCOPED_TRACE(testing::Message()
                                 << bits << " bits, " << samples << " samples, compression " << compression
                                 << ", rows " << rows);
                    std::vector<uint16_t> v(size_t(s.width) * s.height * samples);
                    for (uint16_t& x : v) x = uint16_t(bits == 8 ? rng() & 255 : rng());
                    std::vector<uint8_t> v8(v.begin(), v.end());
                    const QString path = dir.path("m.tif");
                    writeTiff(path, s, bits == 8 ? static_cast<const void*>(v8.data()) : v.data());
                    const auto list = readOne(path);
                    ASSERT_EQ(list.size(), 1u);
                    EXPECT_EQ(list.front()->getFormat(), bits == 8 ? CEL_Representation::PIXMAP_RGBA8
                                                                   : CEL_Representation::PIXMAP_RGBA16);
                    // 16-bit samples halved; no alpha sample reads as full alpha.
                    const int flip = s.photometric == PHOTOMETRIC_MINISWHITE ? (1 << bits) - 1 : 0;
                    celtest::Values want;
                    for (size_t i = 0; i < v.size(); i += samples)
                        for (int c = 0; c < 4; ++c)
                            want.push_back((c < samples ? v[i + c] ^ flip : (1 << bits) - 1) >>
                                           (bits / 8 - 1));
                    EXPECT_EQ(celtest::values(list.front().get()), want);
                }
}

TEST(TiffRead, FloatDepthAndCompanionFile) {
    celtest::TempDir dir;
    const Spec z{.width = 4,
                 .height = 2,
                 .bits = 32,
                 .samples = 1,
                 .rowsPerStrip = 1,
                 .photometric = PHOTOMETRIC_MINISBLACK};
    const float depths[8] = {0.0f, 5.5f, -3.0f, 1e10f, -1e10f, 9.99e9f, NAN, INFINITY};
    const Spec colour{.width = 4, .height = 2};
    const std::vector<uint8_t> rgba(32, 7);
    writeTiff(dir.path("shot.tif"), colour, rgba.data());
    writeTiff(dir.path("shot_z.tif"), z, depths);

    CELIO_RepresentationList list;
    ASSERT_TRUE(QxCelUioTiffHandler().read(dir.path("shot.tif"), CEL_Context(), list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front()->getFormat(), CEL_Representation::PIXMAP_RGBA8);
    const auto* zbuf = dynamic_cast<const CEL_PixmapAreaZ*>(list.back().get());
    ASSERT_TRUE(zbuf && zbuf->allocatedRect() == Math::Box2di(0, 0, 4, 2));
    // Negated inside (-1e10, 1e10), "no depth" outside and for NaN; the range tracked.
    const float none = CEL_PixelFloat::Zero;
    const float want[8] = {-0.0f, -5.5f, 3.0f, none, none, -9.99e9f, none, none};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(*zbuf->data()[i], want[i]) << i;
    double lo, hi;
    zbuf->getZRange(lo, hi);
    EXPECT_TRUE(lo == double(-9.99e9f) && hi == 3.0);

    EXPECT_EQ(QxCelUioTiffHandler::depthFileName(QStringLiteral("/a.b/shot.0001.tif")),
              QStringLiteral("/a.b/shot_z.0001.tif"));
    list.clear();
    ASSERT_TRUE(QxCelUioTiffHandler().read(dir.path("shot_z.tif"), CEL_Context(), list));
    EXPECT_EQ(list.size(), 1u); // no shot_z_z.tif
}

TEST(TiffRead, RefusalsWriteTheirDiagnostic) {
    celtest::TempDir dir;
    const int grey = PHOTOMETRIC_MINISBLACK;
    const struct {
        Spec spec;
        const char* diagnostic;
    } rows[] = {
        {{.bits = 8, .samples = 1, .photometric = grey}, "Error while reading RGBA TIFF file!\n"},
        {{.bits = 8, .samples = 2, .photometric = grey}, "Error while reading RGBA TIFF file!\n"},
        {{.bits = 16, .samples = 1, .photometric = grey}, "Error while reading 16 bits RGBA TIFF file!\n"},
        {{.bits = 32, .samples = 3}, "Error while reading Z TIFF file!\n"},
        {{.samples = 3, .planar = PLANARCONFIG_SEPARATE},
         " Cannot deal with TIFF file with non-planar configuration!\n"},
        {{.tiled = true}, " Read error on input strip number 0\n"},
        {{.bits = 1, .samples = 1, .photometric = grey}, ""}, // other depths: refused silently
    };
    const std::vector<uint8_t> zeros(13 * 11 * 16, 0);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.diagnostic);
        const QString path = dir.path("r.tif");
        writeTiff(path, row.spec, zeros.data());
        Diagnostics diagnostics;
        EXPECT_TRUE(readOne(path).empty());
        EXPECT_EQ(diagnostics.text(), row.diagnostic);
    }
    Diagnostics diagnostics;
    const QString missing = dir.path("missing.tif");
    CELIO_RepresentationList list;
    EXPECT_FALSE(QxCelUioTiffHandler().read(missing, CEL_Context(), list));
    EXPECT_EQ(diagnostics.text(), " Could not open file " + missing.toStdString() + " for reading!\n");
    CELIO_Info info;
    EXPECT_EQ(QxCelUioTiffHandler().readInfo(missing, CEL_Context(), info), CELIO_STATE_FAILED);
}

TEST(TiffWrite, UncompressedRgbaWithAssociatedAlpha) {
    celtest::TempDir dir;
    const int w = 1100, h = 700; // several times the writer's output buffer
    auto* p16 = new CEL_PixmapRGBA16(w, h);
    std::mt19937 rng(21);
    for (int i = 0; i < w * h; ++i)
        p16->data()[i] = CEL_PixelRGBA16{int16_t(rng() & 32767), -5, 32767, 16447};
    const auto cel = celtest::celOf(p16);
    const QString path = dir.path("out.tif");
    ASSERT_TRUE(QxCelUioTiffHandler().write(cel.get(), path, QStringLiteral("TIF")));

    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    ASSERT_TRUE(tif);
    uint32_t rps = 0;
    uint16_t compression = 0, extraCount = 0, *extra = nullptr;
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rps), TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    EXPECT_TRUE(rps == 1 && compression == COMPRESSION_NONE && extraCount == 1 &&
                extra[0] == EXTRASAMPLE_ASSOCALPHA);
    // The samples as libtiff reads them: premultiplied, by the 16 -> 8 rule.
    ASSERT_EQ(TIFFScanlineSize(tif), 4 * w);
    std::vector<CEL_PixelRGBA8> line(w);
    for (int y = 0; y < h; ++y) {
        ASSERT_EQ(TIFFReadScanline(tif, line.data(), uint32_t(y), 0), 1);
        for (int x = 0; x < w; ++x)
            ASSERT_EQ(line[x], (CEL_PixelRGBA8{uint8_t(p16->pixel(x, y)->r >> 7), 0, 255, 128}))
                << x << "," << y;
    }
    TIFFClose(tif);

    CELIO_Info info;
    ASSERT_EQ(QxCelUioTiffHandler().readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_TRUE(info.width == uint32_t(w) && info.height == uint32_t(h) && info.channels == 4);

    EXPECT_TRUE(QxCelUioTiffHandler().write(celtest::celOf(new CEL_PixmapRGBA8(0, 0)).get(),
                                            dir.path("none.tif"), QStringLiteral("TIF")));
    EXPECT_FALSE(QFileInfo::exists(dir.path("none.tif"))); // nothing to write
}
