// YUV frames exchanged with ffmpeg both ways (skipped without it), on pictures
// whose rows are all the same, which the vertical resampling keeps as they
// are: luma as ffmpeg's rgb24 -> uyvy422 within one step everywhere, chroma
// within one step in flat areas (3 pixels or more from a colour edge, where
// the two chroma filters agree); and frames ffmpeg wrote, decoded here, as
// ffmpeg decodes them with bilinear, accurate rounding, full chroma
// interpolation and bit-exact arithmetic, within one step in flat areas.
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "celio/handlers/VideoFrameHandler.h"
#include "support/TestSupport.h"

namespace {

using Ntsc = QXCelUioYuvHandler;
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
bool flat(int x) {
    return x / kBlock < 12 && x % kBlock >= 3 && x % kBlock < kBlock - 3;
}

QByteArray rgb24(const std::vector<CEL_PixelRGBA8>& row, int rows) {
    QByteArray one;
    for (const CEL_PixelRGBA8& p : row) one.append(char(p.r)).append(char(p.g)).append(char(p.b));
    return one.repeated(rows);
}

} // namespace

TEST(VideoFrameInterop, EncodingAgreesWithFfmpeg) {
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
            if (!flat(2 * g) || !flat(2 * g + 1)) continue;
            ++flatGroups;
            for (int k : {0, 2})
                chromaWorst = std::max(chromaWorst, std::abs(ours[at + k] - uint8_t(theirs[at + k])));
        }
    EXPECT_LE(lumaWorst, 1);
    EXPECT_LE(chromaWorst, 1);
    EXPECT_GT(flatGroups, kRows * 200);
}

TEST(VideoFrameInterop, DecodingAgreesWithFfmpeg) {
    if (kFfmpeg.isEmpty()) GTEST_SKIP() << "ffmpeg not found";
    const std::vector<CEL_PixelRGBA8> row = sampleRow();
    const QByteArray frame = ffmpeg(
        {"-pix_fmt", "rgb24", "-s", "720x486", "-i", "-", "-f", "rawvideo", "-pix_fmt", "uyvy422", "-"},
        rgb24(row, kRows));
    ASSERT_EQ(frame.size(), Ntsc::NTSC_BYTES);
    const QByteArray theirs =
        ffmpeg({"-pix_fmt", "uyvy422", "-s", "720x486", "-i", "-", "-sws_flags",
                "bilinear+accurate_rnd+full_chroma_int+bitexact", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"},
               frame);
    ASSERT_EQ(theirs.size(), kW * kRows * 3);
    const std::unique_ptr<CEL_PixmapRGBA8> ours(Ntsc().read(frame.constData(), size_t(frame.size())));
    ASSERT_TRUE(ours);
    ASSERT_EQ(ours->height(), Ntsc::NTSC_DI_ROWS);
    int worst = 0, checked = 0;
    // Their rows are all the same, and so are ours (the resampling of equal rows).
    for (int y = 1; y < Ntsc::NTSC_DI_ROWS - 1; y += 7)
        for (int x = 0; x < kW; ++x) {
            if (!flat(x)) continue;
            const CEL_PixelRGBA8 o = *ours->pixel(x, y);
            const auto t = [&](int c) {
                return int(uint8_t(theirs[(qsizetype(y * kRows / Ntsc::NTSC_DI_ROWS) * kW + x) * 3 + c]));
            };
            worst = std::max({worst, std::abs(o.r - t(0)), std::abs(o.g - t(1)), std::abs(o.b - t(2))});
            ++checked;
        }
    EXPECT_LE(worst, 1);
    EXPECT_GT(checked, 10000);
}
