// PAL and YUV frames: the codec against a plain reading of the conversion
// (64-bit sums, floor division), the read and write pipelines against the same
// steps taken by hand, the size limits, the two-field write, odd data lengths;
// YUV frames exchanged with ffmpeg both ways (skipped without it).
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <random>

#include "HandlerTestUtil.h"
#include "algo/composite/CompositeDetail.h"
#include "algo/filters/Transform.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/handlers/VideoFrameHandler.h"
#include "support/TestSupport.h"

namespace {

using Pal = QXCelUioPalHandler;
using Ntsc = QXCelUioYuvHandler;
using Px = CEL_PixelRGBA8;

// ------------------------------------------------------------------ the plain conversion

int64_t floorDiv(int64_t v, int64_t d) {
    const int64_t q = v / d;
    return (v % d != 0 && v < 0) ? q - 1 : q;
}

uint8_t clampRef(int64_t v) {
    return uint8_t(std::clamp<int64_t>(v, 0, 255));
}

// kr, kg1, kg2, kb: the Cr and Cb coefficients of the formula used.
Px refPixel(int y, int64_t cb, int64_t cr, bool odd) {
    const int64_t yy = std::max(y - 16, 0);
    const int64_t kr = odd ? 52317 : 104635, kgr = odd ? 26647 : 53294, kgb = odd ? 12845 : 25690,
                  kb = odd ? 66139 : 132278;
    return Px{clampRef(floorDiv(76310 * yy + kr * cr + 32768, 65536)),
              clampRef(floorDiv(76310 * yy - kgr * cr - kgb * cb + 32768, 65536)),
              clampRef(floorDiv(76310 * yy + kb * cb + 32768, 65536)), 255};
}

// The frame as the rules say: a pair is decoded when its group is in the
// data and, unless last in its row, the next group is too.
std::vector<Px> refDecode(const uint8_t* d, size_t size, int width, int rows) {
    std::vector<Px> out(size_t(width) * rows, Px{0, 0, 0, 0});
    const int groups = width / 2;
    for (int y = 0; y < rows; ++y)
        for (int g = 0; g < groups; ++g) {
            const size_t at = (size_t(y) * groups + g) * 4;
            const bool last = g == groups - 1;
            if (at + 4 > size || (!last && at + 8 > size)) continue;
            const int64_t cb = d[at] - 128, cr = d[at + 2] - 128;
            Px* o = &out[size_t(y) * width + 2 * g];
            o[0] = refPixel(d[at + 1], cb, cr, false);
            o[1] = last ? refPixel(d[at + 3], cb, cr, false)
                        : refPixel(d[at + 3], cb + d[at + 4] - 128, cr + d[at + 6] - 128, true);
        }
    return out;
}

int64_t refCb(const Px& p) {
    return 7191 * p.b - 4764 * p.g - 2427 * p.r;
}
int64_t refCr(const Px& p) {
    return 7193 * p.r - 6023 * p.g - 1170 * p.b;
}
uint8_t refY(const Px& p) {
    return uint8_t(floorDiv(16830 * p.r + 33038 * p.g + 6416 * p.b + 32768, 65536) + 16);
}

std::vector<uint8_t> refEncode(const Px* px, size_t count) {
    std::vector<uint8_t> out;
    Px prev = px[0];
    for (size_t i = 0; i + 1 < count; i += 2) {
        const Px &p0 = px[i], &p1 = px[i + 1];
        const int64_t cb = refCb(p1) + (14382 * p0.b - 9529 * p0.g - 4853 * p0.r) + refCb(prev);
        const int64_t cr = refCr(p1) + (14386 * p0.r - 12046 * p0.g - 2340 * p0.b) + refCr(prev);
        out.push_back(uint8_t(floorDiv(cb + 32768, 65536) + 128));
        out.push_back(refY(p0));
        out.push_back(uint8_t(floorDiv(cr + 32768, 65536) + 128));
        out.push_back(refY(p1));
        prev = p1;
    }
    return out;
}

// The first pixel where a and b differ, or n.
size_t firstDiff(const Px* a, const Px* b, size_t n) {
    return size_t(std::mismatch(a, a + n, b).first - a);
}

std::vector<uint8_t> randomBytes(std::mt19937& rng, size_t n) {
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = uint8_t(rng());
    return v;
}

// ------------------------------------------------------------------ pictures

std::unique_ptr<CEL_PixmapRGBA8> randomPicture(std::mt19937& rng, int w, int h) {
    auto p = std::make_unique<CEL_PixmapRGBA8>(w, h);
    auto* b = reinterpret_cast<uint8_t*>(p->data());
    for (size_t i = 0; i < size_t(w) * h * 4; ++i) b[i] = uint8_t(rng());
    return p;
}

// The image centred on a cleared w x h canvas.
std::unique_ptr<CEL_PixmapRGBA8> centred(const CEL_PixmapRGBA8& image, int w, int h) {
    auto c = std::make_unique<CEL_PixmapRGBA8>(w, h);
    const int left = (w - image.width()) / 2, top = (h - image.height()) / 2;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) *c->pixel(left + x, top + y) = *image.pixel(x, y);
    return c;
}

// A w x h picture of one colour.
std::unique_ptr<CEL_PixmapRGBA8> flat(int w, int h, Px colour) {
    auto p = std::make_unique<CEL_PixmapRGBA8>(w, h);
    std::fill(p->data(), p->data() + size_t(w) * h, colour);
    return p;
}

// ------------------------------------------------------------------ ffmpeg

constexpr int kW = 720, kRows = Ntsc::NTSC_ROWS, kBlock = 48;

const QString kFfmpeg = QStandardPaths::findExecutable(QStringLiteral("ffmpeg"));

QByteArray ffmpeg(const QStringList& args, const QByteArray& input) {
    QProcess p;
    p.start(kFfmpeg, QStringList{"-loglevel", "error", "-f", "rawvideo"} + args);
    p.write(input);
    p.closeWriteChannel();
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (!ok)
        ADD_FAILURE() << "ffmpeg " << args.join(' ').toStdString() << ": " << p.readAllStandardError().data();
    return ok ? p.readAllStandardOutput() : QByteArray();
}

// One row: blocks of flat colour (saturated, dark, light, grey) and a
// stretch of gradients.
std::vector<CEL_PixelRGBA8> sampleRow() {
    static const uint8_t colours[][3] = {{235, 235, 16},  {16, 200, 230},  {200, 30, 40}, {30, 30, 200},
                                         {128, 128, 128}, {250, 250, 250}, {10, 90, 20},  {240, 120, 200},
                                         {0, 0, 0},       {255, 255, 255}, {255, 0, 0},   {0, 255, 0}};
    std::vector<CEL_PixelRGBA8> row(kW);
    for (int x = 0; x < kW; ++x) {
        const int b = x / kBlock;
        if (b < 12) {
            row[size_t(x)] = CEL_PixelRGBA8{colours[b][0], colours[b][1], colours[b][2], 255};
        } else {
            const int t = x - 12 * kBlock;
            row[size_t(x)] = CEL_PixelRGBA8{uint8_t(t * 2), uint8_t(255 - t), uint8_t(t * 7), 255};
        }
    }
    return row;
}

// Whether pixel x lies in a flat block, 3 pixels or more from its edges.
bool inFlatBlock(int x) {
    return x / kBlock < 12 && x % kBlock >= 3 && x % kBlock < kBlock - 3;
}

QByteArray rgb24(const std::vector<CEL_PixelRGBA8>& row, int rows) {
    QByteArray one;
    for (const CEL_PixelRGBA8& p : row) one.append(char(p.r)).append(char(p.g)).append(char(p.b));
    return one.repeated(rows);
}

} // namespace

// ------------------------------------------------------------------ the codec

// Random frames give every pair neighbouring chroma: odd pixels take the
// halved coefficients on doubled sums, a row's last odd pixel the even
// formulas; the same serially and split over threads.
TEST(VideoFrameCodec, DecodesByTheFormulas) {
    std::mt19937 rng(27);
    const auto bytes = randomBytes(rng, size_t(Pal::PAL_BYTES));
    const std::vector<Px> want = refDecode(bytes.data(), bytes.size(), 720, 576);
    for (const bool serial : {true, false}) {
        std::vector<Px> got(want.size());
        CelAlgo::detail::setSerialForTesting(serial);
        CELIO_VideoFrame::decode(bytes.data(), bytes.size(), got.data(), 720, 576);
        CelAlgo::detail::setSerialForTesting(false);
        EXPECT_EQ(firstDiff(got.data(), want.data(), want.size()), want.size()) << "serial " << serial;
    }
    // Black and white.
    const uint8_t black[4] = {128, 16, 128, 16}, white[4] = {128, 235, 128, 235};
    Px two[2];
    CELIO_VideoFrame::decode(black, 4, two, 2, 1);
    EXPECT_TRUE(two[0] == (Px{0, 0, 0, 255}) && two[1] == two[0]);
    CELIO_VideoFrame::decode(white, 4, two, 2, 1);
    EXPECT_TRUE(two[0] == (Px{255, 255, 255, 255}) && two[1] == two[0]);
}

// No header: whatever length the data has decodes. Rows and pairs the data
// does not reach stay transparent black; a whole row (or frame) is decoded to
// its last pair, which needs no next group; bytes beyond a frame are ignored.
TEST(VideoFrameCodec, DataOfAnyLength) {
    std::mt19937 rng(3);
    const int width = 720, rows = 6;
    const size_t row = 1440, full = row * rows;
    const auto bytes = randomBytes(rng, full + 100);
    for (size_t size : {size_t(0), size_t(3), size_t(4), size_t(8), size_t(9), row - 4, row - 1, row, row + 4,
                        row + 8, 3 * row + 700, full - 4, full - 1, full, full + 100}) {
        std::vector<Px> got(size_t(width) * rows, Px{1, 2, 3, 4});
        CELIO_VideoFrame::decode(bytes.data(), size, got.data(), width, rows);
        const auto want = refDecode(bytes.data(), size, width, rows);
        EXPECT_EQ(firstDiff(got.data(), want.data(), want.size()), want.size()) << size << " bytes";
    }
}

TEST(VideoFrameCodec, EncodingByTheFormulas) {
    std::mt19937 rng(5);
    for (const auto& [w, h] : {std::pair{2, 1}, std::pair{10, 7}, std::pair{720, 3}, std::pair{720, 576}}) {
        const auto p = randomPicture(rng, w, h);
        const auto want = refEncode(p->data(), size_t(w) * h);
        std::vector<uint8_t> serial(want.size()), parallel(want.size());
        CelAlgo::detail::setSerialForTesting(true);
        CELIO_VideoFrame::encode(p->data(), w, h, serial.data());
        CelAlgo::detail::setSerialForTesting(false);
        CELIO_VideoFrame::encode(p->data(), w, h, parallel.data());
        EXPECT_EQ(serial, want) << w << "x" << h;
        EXPECT_EQ(parallel, want) << w << "x" << h;
    }

    // White: Y 235, no chroma.
    const std::vector<Px> white(4, Px{255, 255, 255, 255});
    std::vector<uint8_t> out(8);
    CELIO_VideoFrame::encode(white.data(), 4, 1, out.data());
    EXPECT_EQ(out, (std::vector<uint8_t>{128, 235, 128, 235, 128, 235, 128, 235}));
}

// ------------------------------------------------------------------ the handlers

// The header of any file that opens, an empty one too, without reading it.
TEST(VideoFrameHandler, Header) {
    celtest::TempDir dir;
    const QString empty = dir.path("empty.pal");
    ASSERT_TRUE(celtest::writeFile(empty, QByteArray()));
    CELIO_Info pal, yuv;
    EXPECT_EQ(Pal().readInfo(empty, CEL_Context(), pal), CELIO_STATE_OK);
    EXPECT_TRUE(pal.width == 720 && pal.height == 576 && pal.channels == 3 && pal.bytesPerChannel == 1 &&
                pal.optionCode == QStringLiteral("PAL") && pal.description.isNull());
    EXPECT_EQ(Ntsc().readInfo(empty, CEL_Context(), yuv), CELIO_STATE_OK);
    EXPECT_TRUE(yuv.width == 720 && yuv.height == 486 && yuv.optionCode == QStringLiteral("YUV"));
    EXPECT_EQ(Pal().readInfo(dir.path("missing.pal"), CEL_Context(), pal), CELIO_STATE_FAILED);
}

// read(): the frame decoded (here by the plain rules) and resampled by
// CelAlgo::scale about the frame centre, whole, cut short or too long (from
// memory: celtool's "-" against the file in test_celtool_video). write(): the image centred on the
// square-pixel canvas (integer division), resampled to the frame about the canvas centre, encoded.
TEST(VideoFrameHandler, ReadAndWriteTakeTheStepsByHand) {
    celtest::TempDir dir;
    std::mt19937 rng(9);
    const Pal pal;
    const Ntsc ntsc;
    const struct {
        const CELIO_Handler* handler;
        int rows, W, H;
        double cy, sx, sy, writeSx, writeSy; // read about (360, cy), written about (W / 2, H / 2)
    } families[] = {{&pal, 576, 768, 576, 288.0, 1.0666666666666667, 1.0, 0.9375, 1.0},
                    {&ntsc, 486, 720, 540, 243.0, 1.0, 1.1111111111111112, 1.0, 0.9}};
    for (const auto& f : families) {
        const QString ext = f.handler->getExtensions().front();
        const size_t frameBytes = size_t(720) * f.rows * 2;
        const auto bytes = randomBytes(rng, frameBytes + 50);
        for (size_t size : {frameBytes, frameBytes + 50, frameBytes / 3 + 2, size_t(0)}) {
            SCOPED_TRACE(qPrintable(QStringLiteral("%1, %2 bytes").arg(ext).arg(size)));
            const auto decoded = refDecode(bytes.data(), size, 720, f.rows);
            CEL_PixmapRGBA8 frame(720, f.rows);
            std::copy(decoded.begin(), decoded.end(), frame.data());
            const std::unique_ptr<CEL_PixmapRGBA8> want(
                CelAlgo::scale(&frame, unsigned(f.W), unsigned(f.H), 360.0, f.cy, f.sx, f.sy));
            const QString path = dir.path(QStringLiteral("f.") + ext);
            ASSERT_TRUE(celtest::writeFile(
                path, QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(size))));
            CELIO_RepresentationList list;
            ASSERT_TRUE(f.handler->read(path, CEL_Context(), list));
            ASSERT_EQ(list.size(), 1u);
            const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(list.front().get());
            ASSERT_TRUE(got && got->width() == f.W && got->height() == f.H);
            const size_t n = size_t(f.W) * f.H;
            EXPECT_EQ(firstDiff(got->data(), want->data(), n), n);
        }
        CELIO_RepresentationList none;
        EXPECT_FALSE(f.handler->read(dir.path("missing.") + ext, CEL_Context(), none));
        EXPECT_TRUE(none.empty());

        for (const QSize size : {QSize(301, 199), QSize(f.W, f.H)}) {
            SCOPED_TRACE(
                qPrintable(QStringLiteral("%1 %2x%3").arg(ext).arg(size.width()).arg(size.height())));
            const auto image = randomPicture(rng, size.width(), size.height());
            const auto canvas = centred(*image, f.W, f.H);
            const std::unique_ptr<CEL_PixmapRGBA8> frame(CelAlgo::scale(
                canvas.get(), 720, unsigned(f.rows), f.W / 2.0, f.H / 2.0, f.writeSx, f.writeSy));
            const std::vector<uint8_t> want = refEncode(frame->data(), size_t(720) * f.rows);
            const QString path = dir.path(QStringLiteral("w.") + ext);
            ASSERT_TRUE(f.handler->write(celtest::celOf(image->clone()).get(), path, ext));
            EXPECT_TRUE(celtest::readFile(path) ==
                        QByteArray(reinterpret_cast<const char*>(want.data()), qsizetype(want.size())));
        }
    }
}

// Larger than the square-pixel size, not convertible, fields that differ:
// false, and nothing is created or posted.
TEST(VideoFrameHandler, RefusalsComeBeforeTheOutput) {
    celtest::TempDir dir;
    const Pal pal;
    const Ntsc ntsc;
    const auto cel = [](int w, int h) { return celtest::celOf(new CEL_PixmapRGBA8(w, h)); };
    const QString path = dir.path("out.pal");
    QXMessage::Capture messages;
    EXPECT_TRUE(pal.write(cel(768, 576).get(), dir.path("edge.pal"), "PAL"));
    EXPECT_TRUE(ntsc.write(cel(720, 540).get(), dir.path("edge.yuv"), "YUV"));
    EXPECT_EQ(QFileInfo(dir.path("edge.pal")).size(), Pal::PAL_BYTES);
    EXPECT_EQ(QFileInfo(dir.path("edge.yuv")).size(), Ntsc::NTSC_BYTES);
    UT_SharedPtr<CEL_Cel> nothing(new CEL_Cel(CEL_Representation::NONE));
    const bool written[] = {pal.write(cel(10, 577).get(), path, "PAL"),
                            ntsc.write(cel(721, 10).get(), path, "YUV"),
                            pal.write(nothing.get(), path, "PAL"),
                            pal.write(nullptr, path, "PAL"),
                            pal.writeCombined(cel(100, 50).get(), cel(100, 51).get(), path, "PAL", false),
                            pal.writeCombined(cel(770, 50).get(), cel(770, 50).get(), path, "PAL", false),
                            pal.writeCombined(cel(100, 50).get(), nothing.get(), path, "PAL", true)};
    for (size_t i = 0; i < std::size(written); ++i) EXPECT_FALSE(written[i]) << i;
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_TRUE(messages.records().empty());
    // A target that cannot be created: the output's own message, false.
    EXPECT_FALSE(pal.write(cel(8, 8).get(), dir.path("no/such/folder/x.pal"), "PAL"));
    EXPECT_EQ(messages.records().size(), 1u);
}

// The two fields: the second cel gives the even rows (row 0 first) when its
// field comes first, the odd rows otherwise; the rest comes from the first.
TEST(VideoFrameHandler, TwoFieldsInterleave) {
    celtest::TempDir dir;
    const auto red = flat(200, 100, Px{255, 0, 0, 255}), blue = flat(200, 100, Px{0, 0, 255, 255});
    const uint8_t yRed = refY(Px{255, 0, 0, 255}), yBlue = refY(Px{0, 0, 255, 255});
    const Pal pal;
    const Ntsc ntsc;
    for (const CELIO_Handler* h :
         {static_cast<const CELIO_Handler*>(&pal), static_cast<const CELIO_Handler*>(&ntsc)}) {
        const QString ext = h->getExtensions().front();
        const int rows = ext == "PAL" ? 576 : 486;
        for (bool secondFirst : {true, false}) {
            const QString path = dir.path(QStringLiteral("fields.") + ext);
            ASSERT_TRUE(h->writeCombined(celtest::celOf(red->clone()).get(),
                                         celtest::celOf(blue->clone()).get(), path, ext, secondFirst));
            const QByteArray f = celtest::readFile(path);
            ASSERT_EQ(f.size(), 720 * rows * 2);
            // The luma of the middle pixel, in the picture's middle rows.
            for (int y = rows / 2 - 2; y < rows / 2 + 2; ++y)
                EXPECT_EQ(uint8_t(f[(y * 720 + 360) * 2 + 1]), (y % 2 == 0) == secondFirst ? yBlue : yRed)
                    << qPrintable(ext) << " row " << y;
        }
    }
}

// ------------------------------------------------------------------ against ffmpeg

// On pictures whose rows are all the same (the vertical resampling keeps them):
// luma as ffmpeg's rgb24 -> uyvy422 within one step everywhere, chroma within
// one step in flat areas (3 pixels or more from a colour edge, where the two
// chroma filters agree); frames ffmpeg wrote decoded here as ffmpeg decodes
// them (bilinear, accurate rounding, full chroma interpolation, bit-exact),
// within one step in flat areas.
TEST(VideoFrameInterop, EncodingAndDecodingAgreeWithFfmpeg) {
    if (kFfmpeg.isEmpty()) GTEST_SKIP() << "ffmpeg not found";
    const std::vector<CEL_PixelRGBA8> row = sampleRow();
    auto* picture = new CEL_PixmapRGBA8(kW, Ntsc::NTSC_DI_ROWS);
    for (int y = 0; y < Ntsc::NTSC_DI_ROWS; ++y) std::copy(row.begin(), row.end(), picture->pixel(0, y));
    std::vector<uint8_t> ours;
    ASSERT_TRUE(Ntsc().encode(celtest::celOf(picture).get(), ours));
    const QByteArray theirs = ffmpeg(
        {"-pix_fmt", "rgb24", "-s", "720x486", "-i", "-", "-f", "rawvideo", "-pix_fmt", "uyvy422", "-"},
        rgb24(row, kRows));
    ASSERT_EQ(theirs.size(), qsizetype(ours.size()));
    int lumaWorst = 0, chromaWorst = 0, flatGroups = 0;
    for (int y = 0; y < kRows; ++y)
        for (int g = 0; g < kW / 2; ++g) {
            const size_t at = (size_t(y) * kW / 2 + size_t(g)) * 4;
            for (int k : {1, 3})
                lumaWorst = std::max(lumaWorst, std::abs(ours[at + k] - uint8_t(theirs[at + k])));
            if (!inFlatBlock(2 * g) || !inFlatBlock(2 * g + 1)) continue;
            ++flatGroups;
            for (int k : {0, 2})
                chromaWorst = std::max(chromaWorst, std::abs(ours[at + k] - uint8_t(theirs[at + k])));
        }
    EXPECT_LE(lumaWorst, 1);
    EXPECT_LE(chromaWorst, 1);
    EXPECT_GT(flatGroups, kRows * 200);

    const QByteArray decoded =
        ffmpeg({"-pix_fmt", "uyvy422", "-s", "720x486", "-i", "-", "-sws_flags",
                "bilinear+accurate_rnd+full_chroma_int+bitexact", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
               theirs);
    ASSERT_EQ(decoded.size(), kW * kRows * 3);
    const std::unique_ptr<CEL_PixmapRGBA8> read(Ntsc().read(theirs.constData(), size_t(theirs.size())));
    ASSERT_TRUE(read);
    ASSERT_EQ(read->height(), Ntsc::NTSC_DI_ROWS);
    int worst = 0, checked = 0;
    // Their rows are all the same, and so are ours (the resampling of equal rows).
    for (int y = 1; y < Ntsc::NTSC_DI_ROWS - 1; y += 7)
        for (int x = 0; x < kW; ++x) {
            if (!inFlatBlock(x)) continue;
            const CEL_PixelRGBA8 o = *read->pixel(x, y);
            const auto t = [&](int c) {
                return int(uint8_t(decoded[(qsizetype(y * kRows / Ntsc::NTSC_DI_ROWS) * kW + x) * 3 + c]));
            };
            worst = std::max({worst, std::abs(o.r - t(0)), std::abs(o.g - t(1)), std::abs(o.b - t(2))});
            ++checked;
        }
    EXPECT_LE(worst, 1);
    EXPECT_GT(checked, 10000);
}
