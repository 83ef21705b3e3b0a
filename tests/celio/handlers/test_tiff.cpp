// TIFF reading over depths, sample counts, compressions and strip layouts;
// min-is-white inversion; float depth files and their companion; every
// refusal with its diagnostic; the writer's tags and pixels; damaged files.
#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <sstream>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// Collects the reader's diagnostics while it lives.
class Diagnostics {
public:
    Diagnostics() { QxCelUioTiffHandler::setDiagnosticStream(&m_text); }
    ~Diagnostics() { QxCelUioTiffHandler::setDiagnosticStream(nullptr); }
    std::string text() const { return m_text.str(); }

private:
    std::ostringstream m_text;
};

// Standard error pointed at a file while it lives, to prove nothing is printed.
class StderrToFile {
public:
    explicit StderrToFile(const QString& path) {
        std::fflush(stderr);
        m_saved = ::dup(2);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrToFile() {
        std::fflush(stderr);
        ::dup2(m_saved, 2);
        ::close(m_saved);
    }

private:
    int m_saved;
};

struct TiffSpec {
    int width = 13, height = 11;
    int bits = 8, samples = 4;
    int compression = COMPRESSION_NONE;
    int rowsPerStrip = 0; // 0: one strip
    int photometric = PHOTOMETRIC_RGB;
    int planar = PLANARCONFIG_CONTIG;
    bool tiled = false;
    bool floating = false;
};

// Writes `data` (width * height * samples values of the given depth, native
// order) with libtiff.
bool writeTiff(const QString& path, const TiffSpec& s, const void* data) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    if (!tif) return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, s.compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, s.planar);
    if (s.floating) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP);
    if (s.samples == 4 || (s.samples == 2 && s.photometric != PHOTOMETRIC_RGB)) {
        const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const size_t bytesPerPixel = size_t(s.samples) * s.bits / 8;
    const auto* bytes = static_cast<const uint8_t*>(data);
    bool ok = true;
    if (s.tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
        std::vector<uint8_t> tile(16 * 16 * bytesPerPixel, 0);
        for (int ty = 0; ty < s.height; ty += 16)
            for (int tx = 0; tx < s.width; tx += 16)
                ok = ok && TIFFWriteTile(tif, tile.data(), uint32_t(tx), uint32_t(ty), 0, 0) >= 0;
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, s.rowsPerStrip ? s.rowsPerStrip : s.height);
        std::vector<uint8_t> row((size_t(s.width) * s.samples * s.bits + 7) / 8);
        for (int y = 0; y < s.height; ++y) {
            if (s.planar == PLANARCONFIG_SEPARATE) {
                for (int c = 0; c < s.samples; ++c)
                    ok = ok && TIFFWriteScanline(tif, row.data(), uint32_t(y), uint16_t(c)) >= 0;
            } else {
                std::memcpy(row.data(), bytes + y * row.size(), row.size());
                ok = ok && TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) >= 0;
            }
        }
    }
    TIFFClose(tif);
    return ok;
}

template <class T> std::vector<T> randomSamples(const TiffSpec& s, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<T> v(size_t(s.width) * s.height * s.samples);
    for (T& x : v) x = T(rng());
    v.front() = 0;
    v.back() = T(~T(0));
    return v;
}

CELIO_RepresentationList readOne(const QString& path) {
    CELIO_RepresentationList list;
    QxCelUioTiffHandler().read(QFile::encodeName(path), list);
    return list;
}

UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* pixmap) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(pixmap->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(pixmap));
    return cel;
}

} // namespace

TEST(TiffRead, DepthsSamplesCompressionsAndStrips) {
    celtest::TempDir dir;
    int n = 0;
    for (int bits : {8, 16}) {
        for (int samples : {3, 4}) {
            for (int compression :
                 {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS}) {
                for (int rows : {1, 4, 0}) {
                    SCOPED_TRACE(testing::Message()
                                 << bits << " bits, " << samples << " samples, compression " << compression
                                 << ", rows per strip " << rows);
                    TiffSpec s;
                    s.bits = bits, s.samples = samples, s.compression = compression, s.rowsPerStrip = rows;
                    const QString path = dir.path(QStringLiteral("m%1.tif").arg(++n));
                    const auto list = [&] {
                        if (bits == 8) {
                            const auto v = randomSamples<uint8_t>(s, unsigned(n));
                            EXPECT_TRUE(writeTiff(path, s, v.data()));
                            return std::make_pair(readOne(path), std::vector<uint32_t>(v.begin(), v.end()));
                        }
                        const auto v = randomSamples<uint16_t>(s, unsigned(n));
                        EXPECT_TRUE(writeTiff(path, s, v.data()));
                        return std::make_pair(readOne(path), std::vector<uint32_t>(v.begin(), v.end()));
                    }();
                    ASSERT_EQ(list.first.size(), 1u);
                    const std::vector<uint32_t>& v = list.second;
                    for (int i = 0; i < s.width * s.height; ++i) {
                        const uint32_t* p = &v[size_t(i) * samples];
                        if (bits == 8) {
                            const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.first.front().get());
                            ASSERT_TRUE(got);
                            const CEL_PixelRGBA8 want{uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2]),
                                                      uint8_t(samples == 4 ? p[3] : 255)};
                            ASSERT_EQ(got->data()[i], want) << "pixel " << i;
                        } else {
                            const auto* got = dynamic_cast<const CEL_PixmapRGBA16*>(list.first.front().get());
                            ASSERT_TRUE(got);
                            const CEL_PixelRGBA16 want{int16_t(p[0] >> 1), int16_t(p[1] >> 1),
                                                       int16_t(p[2] >> 1),
                                                       int16_t(samples == 4 ? p[3] >> 1 : 32767)};
                            ASSERT_EQ(got->data()[i], want) << "pixel " << i;
                        }
                    }
                }
            }
        }
    }
}

TEST(TiffRead, MinIsWhiteInvertsEveryByte) {
    celtest::TempDir dir;
    TiffSpec s;
    s.samples = 3, s.photometric = PHOTOMETRIC_MINISWHITE, s.rowsPerStrip = 3;
    const auto v8 = randomSamples<uint8_t>(s, 5);
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("w8.tif")), s, v8.data()));
    const auto l8 = readOne(dir.path(QStringLiteral("w8.tif")));
    ASSERT_EQ(l8.size(), 1u);
    const auto* p8 = dynamic_cast<const CEL_PixmapRGBA8*>(l8.front().get());
    ASSERT_TRUE(p8);
    for (int i = 0; i < s.width * s.height; ++i) {
        const CEL_PixelRGBA8 want{uint8_t(255 - v8[3 * i]), uint8_t(255 - v8[3 * i + 1]),
                                  uint8_t(255 - v8[3 * i + 2]), 255};
        ASSERT_EQ(p8->data()[i], want) << i;
    }

    s.bits = 16, s.samples = 4;
    const auto v16 = randomSamples<uint16_t>(s, 6);
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("w16.tif")), s, v16.data()));
    const auto l16 = readOne(dir.path(QStringLiteral("w16.tif")));
    ASSERT_EQ(l16.size(), 1u);
    const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(l16.front().get());
    ASSERT_TRUE(p16);
    EXPECT_EQ(p16->data()[0].r, 32767); // 0 inverted is 65535
    for (int i = 0; i < s.width * s.height; ++i)
        ASSERT_EQ(p16->data()[i].a, int16_t((65535 - v16[4 * i + 3]) >> 1)) << i;
}

TEST(TiffRead, FloatDepthIsNegatedAndRangeTracked) {
    celtest::TempDir dir;
    TiffSpec s;
    s.width = 4, s.height = 2, s.bits = 32, s.samples = 1, s.photometric = PHOTOMETRIC_MINISBLACK,
    s.floating = true, s.rowsPerStrip = 1;
    const float inf = INFINITY;
    const float depths[8] = {0.0f, 5.5f, -3.0f, 1e10f, -1e10f, 9.99e9f, NAN, inf};
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("z.tif")), s, depths));
    const auto list = readOne(dir.path(QStringLiteral("z.tif")));
    ASSERT_EQ(list.size(), 1u);
    const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(list.front().get());
    ASSERT_TRUE(z);
    EXPECT_EQ(z->width(), 4);
    EXPECT_EQ(z->allocatedRect(), Math::Box2di(0, 0, 4, 2));
    const float want[8] = {-0.0f,
                           -5.5f,
                           3.0f,
                           CEL_PixelFloat::Zero,
                           CEL_PixelFloat::Zero,
                           -9.99e9f,
                           CEL_PixelFloat::Zero,
                           CEL_PixelFloat::Zero};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(*z->data()[i], want[i]) << i;
    double lo, hi;
    z->getZRange(lo, hi);
    EXPECT_EQ(lo, double(-9.99e9f));
    EXPECT_EQ(hi, 3.0);
}

TEST(TiffRead, CompanionDepthFile) {
    celtest::TempDir dir;
    TiffSpec colour;
    const auto rgba = randomSamples<uint8_t>(colour, 1);
    TiffSpec depth;
    depth.bits = 32, depth.samples = 1, depth.photometric = PHOTOMETRIC_MINISBLACK, depth.floating = true;
    std::vector<float> z(size_t(depth.width) * depth.height, 2.0f);
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("shot.tif")), colour, rgba.data()));
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("shot_z.tif")), depth, z.data()));
    ASSERT_TRUE(writeTiff(dir.path(QStringLiteral("alone.0001.tif")), colour, rgba.data()));

    EXPECT_EQ(QxCelUioTiffHandler::depthFileName(QStringLiteral("/a.b/shot.0001.tif")),
              QStringLiteral("/a.b/shot_z.0001.tif"));
    QxCelUioTiffHandler handler;
    CELIO_RepresentationList list;
    ASSERT_TRUE(handler.read(dir.path(QStringLiteral("shot.tif")), CEL_Context(), list));
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front()->getFormat(), CEL_Representation::PIXMAP_RGBA8);
    EXPECT_EQ(list.back()->getFormat(), CEL_Representation::PIXMAP_AREA_ZBUF);

    list.clear();
    ASSERT_TRUE(handler.read(dir.path(QStringLiteral("alone.0001.tif")), CEL_Context(), list));
    EXPECT_EQ(list.size(), 1u);
    Diagnostics diagnostics;
    EXPECT_FALSE(handler.read(dir.path(QStringLiteral("missing.tif")), CEL_Context(), list));
    EXPECT_EQ(list.size(), 1u);
}

TEST(TiffRead, RefusalsWriteTheirDiagnostic) {
    celtest::TempDir dir;
    struct Row {
        const char* name;
        TiffSpec spec;
        const char* diagnostic; // null: refused silently
    };
    const auto spec = [](int bits, int samples, int photometric) {
        TiffSpec s;
        s.bits = bits, s.samples = samples, s.photometric = photometric, s.floating = bits == 32;
        return s;
    };
    TiffSpec planar = spec(8, 3, PHOTOMETRIC_RGB);
    planar.planar = PLANARCONFIG_SEPARATE;
    TiffSpec tiled = spec(8, 4, PHOTOMETRIC_RGB);
    tiled.tiled = true;
    const Row rows[] = {
        {"grey8", spec(8, 1, PHOTOMETRIC_MINISBLACK), "Error while reading RGBA TIFF file!\n"},
        {"greyalpha8", spec(8, 2, PHOTOMETRIC_MINISBLACK), "Error while reading RGBA TIFF file!\n"},
        {"grey16", spec(16, 1, PHOTOMETRIC_MINISBLACK), "Error while reading 16 bits RGBA TIFF file!\n"},
        {"rgbfloat", spec(32, 3, PHOTOMETRIC_RGB), "Error while reading Z TIFF file!\n"},
        {"planar", planar, " Cannot deal with TIFF file with non-planar configuration!\n"},
        {"tiled", tiled, " Read error on input strip number 0\n"},
        {"bilevel", spec(1, 1, PHOTOMETRIC_MINISBLACK), nullptr},
    };
    std::vector<uint8_t> zeros(13 * 11 * 16, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const QString path = dir.path(QString::fromLatin1(row.name) + QStringLiteral(".tif"));
        ASSERT_TRUE(writeTiff(path, row.spec, zeros.data()));
        Diagnostics diagnostics;
        EXPECT_TRUE(readOne(path).empty());
        EXPECT_EQ(diagnostics.text(), row.diagnostic ? std::string(row.diagnostic) : std::string());
    }

    Diagnostics diagnostics;
    const QString missing = dir.path(QStringLiteral("missing.tif"));
    EXPECT_TRUE(readOne(missing).empty());
    EXPECT_EQ(diagnostics.text(), " Could not open file " + missing.toStdString() + " for reading!\n");
}

TEST(TiffRead, MissingTagsAndDamagedFilesFailQuietly) {
    celtest::TempDir dir;
    // A little-endian file whose only directory has a width and no height.
    const uint8_t noHeight[] = {'I', 'I', 42, 0, 8, 0, 0, 0,              // header, IFD at 8
                                1,   0,                                   // one entry
                                0,   1,   4,  0, 1, 0, 0, 0, 16, 0, 0, 0, // ImageWidth = 16
                                0,   0,   0,  0};                         // no next IFD
    const QString headless = dir.path(QStringLiteral("noheight.tif"));
    ASSERT_TRUE(
        celtest::writeFile(headless, QByteArray(reinterpret_cast<const char*>(noHeight), sizeof noHeight)));

    TiffSpec s;
    s.compression = COMPRESSION_LZW, s.rowsPerStrip = 2;
    const auto v = randomSamples<uint8_t>(s, 3);
    const QString good = dir.path(QStringLiteral("good.tif"));
    ASSERT_TRUE(writeTiff(good, s, v.data()));
    const QByteArray bytes = celtest::readFile(good);

    const QString errors = dir.path(QStringLiteral("stderr.txt"));
    Diagnostics diagnostics;
    {
        StderrToFile quiet(errors);
        EXPECT_TRUE(readOne(headless).empty());
        const QString cut = dir.path(QStringLiteral("cut.tif"));
        for (qsizetype n = 0; n < bytes.size(); n += 9) {
            celtest::writeFile(cut, bytes.left(n));
            readOne(cut); // whatever it yields, it must not crash or print
        }
        std::mt19937 rng(4);
        for (int round = 0; round < 300; ++round) {
            QByteArray bad = bytes;
            for (int k = 0; k < 3; ++k) bad[qsizetype(rng() % bad.size())] = char(rng());
            celtest::writeFile(cut, bad);
            CELIO_Info info;
            QxCelUioTiffHandler().readInfo(cut, CEL_Context(), info);
            readOne(cut);
        }
    }
    EXPECT_EQ(celtest::readFile(errors), QByteArray());
    // libtiff itself refuses a directory without a height, so the file does not open.
    EXPECT_EQ(
        diagnostics.text().rfind(" Could not open file " + headless.toStdString() + " for reading!\n", 0), 0u)
        << diagnostics.text().substr(0, 200);
}

TEST(TiffInfo, HeaderQuery) {
    celtest::TempDir dir;
    QxCelUioTiffHandler handler;
    struct Row {
        int bits, samples;
        uint32_t bytes;
    };
    for (const Row& row : {Row{8, 3, 1}, Row{16, 4, 2}, Row{32, 1, 4}, Row{1, 1, 1}}) {
        TiffSpec s;
        s.width = 21, s.height = 3, s.bits = row.bits, s.samples = row.samples, s.floating = row.bits == 32;
        s.photometric = row.samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
        std::vector<uint8_t> zeros(21 * 3 * 16, 0);
        const QString path = dir.path(QStringLiteral("i%1.tif").arg(row.bits));
        ASSERT_TRUE(writeTiff(path, s, zeros.data()));
        CELIO_Info info;
        ASSERT_EQ(handler.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_EQ(info.width, 21u);
        EXPECT_EQ(info.height, 3u);
        EXPECT_EQ(info.channels, uint32_t(row.samples));
        EXPECT_EQ(info.bytesPerChannel, row.bytes);
        EXPECT_EQ(info.optionCode, QStringLiteral("TIF"));
    }
    CELIO_Info info;
    EXPECT_EQ(handler.readInfo(dir.path(QStringLiteral("none.tif")), CEL_Context(), info),
              CELIO_STATE_FAILED);
}

TEST(TiffWrite, UncompressedRgbaWithAssociatedAlpha) {
    celtest::TempDir dir;
    auto* p16 = new CEL_PixmapRGBA16(5, 3);
    for (int i = 0; i < 15; ++i)
        p16->data()[i] = CEL_PixelRGBA16{int16_t(i * 2000), int16_t(-i), 32767, int16_t(i * 100)};
    const auto cel = celOf(p16);
    const QString path = dir.path(QStringLiteral("out.tif"));
    ASSERT_TRUE(QxCelUioTiffHandler().write(cel.get(), path, QStringLiteral("TIF")));

    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "r");
    ASSERT_TRUE(tif);
    uint32_t w = 0, h = 0, rps = 0;
    uint16_t bits = 0, samples = 0, compression = 0, photometric = 0, planar = 0, unit = 0, fill = 0,
             extraCount = 0;
    uint16_t* extra = nullptr;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &rps);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetField(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    TIFFGetField(tif, TIFFTAG_FILLORDER, &fill);
    TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    EXPECT_EQ(std::vector<uint32_t>({w, h, rps}), std::vector<uint32_t>({5, 3, 1}));
    EXPECT_EQ(std::vector<uint16_t>({bits, samples, compression, photometric, planar, unit, fill}),
              std::vector<uint16_t>({8, 4, COMPRESSION_NONE, PHOTOMETRIC_RGB, PLANARCONFIG_CONTIG,
                                     RESUNIT_NONE, FILLORDER_MSB2LSB}));
    ASSERT_EQ(extraCount, 1);
    EXPECT_EQ(extra[0], EXTRASAMPLE_ASSOCALPHA);
    EXPECT_EQ(TIFFNumberOfStrips(tif), 3u);
    std::vector<uint8_t> row(20);
    for (uint32_t y = 0; y < 3; ++y) {
        ASSERT_EQ(TIFFReadEncodedStrip(tif, y, row.data(), 20), 20);
        for (int x = 0; x < 5; ++x) {
            const CEL_PixelRGBA16 s = p16->data()[y * 5 + x];
            EXPECT_EQ(row[4 * x], s.r >> 7);
            EXPECT_EQ(row[4 * x + 1], 0);
            EXPECT_EQ(row[4 * x + 2], 255);
            EXPECT_EQ(row[4 * x + 3], s.a >> 7);
        }
    }
    TIFFClose(tif);

    // Through our reader: the same 8-bit pixels.
    const auto back = readOne(path);
    ASSERT_EQ(back.size(), 1u);
    const auto* b = dynamic_cast<const CEL_PixmapRGBA8*>(back.front().get());
    ASSERT_TRUE(b);
    EXPECT_EQ(b->data()[14], (CEL_PixelRGBA8{uint8_t((14 * 2000) >> 7), 0, 255, uint8_t(1400 >> 7)}));

    // A cel without pixels succeeds without writing a file.
    const auto empty = celOf(new CEL_PixmapRGBA8(0, 0));
    const QString none = dir.path(QStringLiteral("none.tif"));
    EXPECT_TRUE(QxCelUioTiffHandler().write(empty.get(), none, QStringLiteral("TIF")));
    EXPECT_FALSE(QFileInfo::exists(none));
    EXPECT_FALSE(QxCelUioTiffHandler().write(cel.get(), dir.path(QStringLiteral("no/dir.tif")),
                                             QStringLiteral("TIF")));
}

TEST(TiffWrite, ImagesLargerThanTheOutputBuffer) {
    // Several megabytes: the writer's buffering flushes many times on the way.
    celtest::TempDir dir;
    const int w = 1100, h = 700;
    auto* p8 = new CEL_PixmapRGBA8(w, h);
    std::mt19937 rng(21);
    for (int i = 0; i < w * h; ++i)
        p8->data()[i] = CEL_PixelRGBA8{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 255};
    const auto cel = celOf(p8);
    const QString path = dir.path(QStringLiteral("large.tif"));
    ASSERT_TRUE(QxCelUioTiffHandler().write(cel.get(), path, QStringLiteral("TIF")));
    EXPECT_GT(QFileInfo(path).size(), qint64(w) * h * 4);
    const auto back = readOne(path);
    ASSERT_EQ(back.size(), 1u);
    const auto* b = dynamic_cast<const CEL_PixmapRGBA8*>(back.front().get());
    ASSERT_TRUE(b);
    EXPECT_EQ(std::memcmp(b->data(), p8->data(), size_t(w) * h * 4), 0);
}

TEST(TiffHandler, Options) {
    QxCelUioTiffHandler handler;
    EXPECT_EQ(handler.getExtensions(), QStringList{QStringLiteral("TIF")});
    EXPECT_EQ(handler.getWriteOptionCodes(), QStringList{QStringLiteral("TIF")});
    CELIO_WriteOptions options;
    handler.getWriteOptions(options);
    EXPECT_FALSE(options.alpha || options.singleChannel || options.deepPixels || options.compressed);
    EXPECT_EQ(handler.getWriteOptionsCode(options), QStringLiteral("TIF"));
}
