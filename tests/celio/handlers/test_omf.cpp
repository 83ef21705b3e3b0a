// OMF media: codes and header information, the writer's bytes against
// hand-built files, one message per refusal, the JPEG sample against other
// programs' decoding, failed writes, eight threads at once.
#include <QFile>
#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/handlers/FormatTable.h"
#include "celio/handlers/OmfHandler.h"
#include "omf/OmfContainer.h"
#include "support/OmfBuilder.h"
#include "support/TestSupport.h"

namespace {

using celtest::OmfBuilder;
const QXCelUioOmfHandler omf;

// An opaque picture of seeded random pixels.
UT_SharedPtr<CEL_Cel> opaque(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int i = 0; i < w * h; ++i)
        p->data()[i] = CEL_PixelRGBA8{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 255};
    return celtest::celOf(p);
}

celtest::Values valuesOf(const UT_SharedPtr<CEL_Cel>& cel) {
    return celtest::values(cel->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
}

QByteArray rgbOf(const celtest::Values& v) {
    QByteArray rgb;
    for (size_t i = 0; i < v.size(); ++i)
        if (i % 4 != 3) rgb.append(char(v[i]));
    return rgb;
}

// The single JPEG stream stored in an OMF file (decompression off).
QByteArray storedSample(const QString& path) {
    OMF_Toolkit::start();
    OMF_File f;
    OMF_VideoDescriptor d;
    QByteArray bytes;
    if (f.openRead(path.toUtf8().constData()) == OMF_Status::Ok &&
        f.videoDescriptor(1, d) == OMF_Status::Ok) {
        bytes.resize(qsizetype(d.storedBytes));
        if (f.readSamples(1, bytes.data(), d.storedBytes) != int64_t(d.storedBytes)) bytes.clear();
    }
    f.close();
    OMF_Toolkit::stop();
    return bytes;
}

using celtest::ppmSamples;
using celtest::run;

} // namespace

TEST(OmfHandler, CodesAndHeaderInformation) {
    CELIO_WriteOptions can;
    omf.getWriteOptions(can);
    EXPECT_EQ(omf.getWriteOptionsCode(can), QStringLiteral("OMFJPEG"));
    // Found by its signature, though the library leaves this family to applications.
    EXPECT_EQ(CELIO_FormatTable::detect(OmfBuilder().bytes()), QStringLiteral("OMF"));
    celtest::TempDir dir;
    const struct {
        uint32_t layout, bits;
        const char* description;
    } cases[] = {{1, 24, "RGB formatfull frame layout\n"},
                 {2, 24, "RGB format, one field layout\n"},
                 {7, 24, "RGB format, interlaced layout\n"},
                 {0, 32, "RGB format, interlaced layout\n"}};
    for (const auto& c : cases) {
        const QString path = dir.path("layout.omf");
        const QByteArray px(int(5 * 3 * c.bits / 8), 'x');
        ASSERT_TRUE(
            celtest::writeFile(path, OmfBuilder().video(1, 5, 3, c.bits, c.layout).sample(1, px).bytes()));
        CELIO_Info info;
        ASSERT_EQ(omf.readInfo(path, CEL_Context(), info), CELIO_STATE_OK);
        EXPECT_EQ(info.description, QLatin1String(c.description));
        EXPECT_TRUE(info.width == 5 && info.height == 3 && info.channels == c.bits / 8);
    }
}

TEST(OmfHandler, ExactRoundTrips) {
    celtest::TempDir dir;
    const QString path = dir.path("rt.omf");
    for (const auto& [w, h] : {std::pair{1, 1}, {7, 3}, {1024, 400}}) { // the last in two bands
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const auto cel = opaque(w, h, unsigned(w * 31 + h));
        ASSERT_TRUE(omf.write(cel.get(), path, QStringLiteral("OMF")));
        EXPECT_EQ(celtest::readValues(omf, path), valuesOf(cel));
        // The file is the documented structure, byte for byte.
        EXPECT_EQ(celtest::readFile(path), OmfBuilder()
                                               .object("MDES", OmfBuilder::videoBody(1, w, h))
                                               .sample(1, rgbOf(valuesOf(cel)))
                                               .bytes());
    }
    // The code is compared in upper case: "omfjpeg" writes JPEG, which reads back opaque.
    const auto cel = opaque(33, 17, 5);
    ASSERT_TRUE(omf.write(cel.get(), path, QStringLiteral("omfjpeg")));
    EXPECT_TRUE(storedSample(path).startsWith("\xff\xd8"));
    const celtest::Values back = celtest::readValues(omf, path);
    ASSERT_EQ(back.size(), size_t(33 * 17 * 4));
    for (size_t i = 3; i < back.size(); i += 4) ASSERT_EQ(back[i], 255) << i;
}

// Each refusal gives false (state 1 from readInfo where the header already
// says so) and exactly one message naming the cause.
TEST(OmfHandler, RefusalsNameTheirCause) {
    celtest::TempDir dir;
    const QString path = dir.path("bad.omf");
    using B = OmfBuilder;
    const QByteArray px12(12, 'p');
    QByteArray small;
    {
        // A valid 4 x 3 JPEG stream to lie about.
        const QString jpeg = dir.path("small.omf");
        ASSERT_TRUE(omf.write(opaque(4, 3, 1).get(), jpeg, QStringLiteral("OMFJPEG")));
        small = storedSample(jpeg);
        ASSERT_FALSE(small.isEmpty());
    }
    const struct {
        QByteArray file;
        bool infoFails;
        const char* cause;
    } cases[] = {
        {B().video(1, 2, 2).video(2, 2, 2).sample(1, px12).sample(2, px12).bytes(), true, "2 media"},
        {B().bytes(), true, "0 media"},
        {B().sound(1).sample(1, px12).bytes(), true, "the media is not video"},
        {B().video(1, 2, 2).bytes(), true, "video media with 0 samples"},
        {B().video(1, 2, 2).sample(1, "abcdef").sample(1, "ghijkl").bytes(), true,
         "video media with 2 samples"},
        {B().video(1, 2, 2, 8).sample(1, "abcd").bytes(), false, "8 bits per pixel, 24 are read"},
        {B().video(1, 2, 2, 32).sample(1, QByteArray(16, 'p')).bytes(), false,
         "32 bits per pixel, 24 are read"},
        {B().video(1, 2, 2).sample(1, "123456789").bytes(), false, "sample has 9 bytes, 12 needed"},
        // A huge frame claimed by a tiny file: refused before anything is allocated.
        {B().video(1, 65536, 65536).sample(1, px12).bytes(), false,
         "sample has 12 bytes, 12884901888 needed"},
        {B().video(1, 5, 3, 24, 1, 1).sample(1, small).bytes(), true,
         "JPEG stream of 4 x 3, the descriptor says 5 x 3"},
        {B().video(1, 2, 2).sample(1, px12).bytes().chopped(1), true, "length past the end of the file"},
        {QByteArray("OMFI file of another application"), true,
         "not an OMF media file written by this library"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        ASSERT_TRUE(celtest::writeFile(path, c.file));
        QXMessage::Capture messages;
        EXPECT_TRUE(celtest::readValues(omf, path).empty());
        ASSERT_EQ(messages.records().size(), 1u);
        const MSG_Record r = messages.records().front();
        EXPECT_TRUE(r.translated.contains(QLatin1String(c.cause))) << qPrintable(r.translated);
        EXPECT_EQ(r.action * 100 + r.code, 210);
        messages.clear();
        CELIO_Info info;
        EXPECT_EQ(omf.readInfo(path, CEL_Context(), info), c.infoFails ? CELIO_STATE_FAILED : CELIO_STATE_OK);
        EXPECT_EQ(messages.records().size(), c.infoFails ? 1u : 0u);
    }
    // A file that is not there is the manager's to report.
    QXMessage::Capture messages;
    EXPECT_TRUE(celtest::readValues(omf, dir.path("missing.omf")).empty());
    EXPECT_TRUE(messages.records().empty());
}

// The stored JPEG stream, decoded by other programs, gives exactly our pixels.
TEST(OmfHandler, JpegSampleAgainstWitnesses) {
    const bool magick = celtest::haveProgram("convert"), oiio = celtest::haveProgram("oiiotool");
    if (!magick && !oiio) GTEST_SKIP() << "neither ImageMagick nor oiiotool is installed";
    celtest::TempDir dir;
    const int w = 45, h = 70; // three bands of rows for the encoder
    auto* p = new CEL_PixmapRGBA8(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            *p->pixel(x, y) = CEL_PixelRGBA8{uint8_t(x * 5), uint8_t((x ^ y) * 9), uint8_t(255 - y * 7), 255};
    const QString path = dir.path("j.omf"), jpg = dir.path("sample.jpg"), ppm = dir.path("witness.ppm");
    ASSERT_TRUE(omf.write(celtest::celOf(p).get(), path, QStringLiteral("OMFJPEG")));
    ASSERT_TRUE(celtest::writeFile(jpg, storedSample(path)));
    const QByteArray ours = rgbOf(celtest::readValues(omf, path));
    ASSERT_EQ(ours.size(), w * h * 3);
    if (magick) {
        ASSERT_TRUE(run("convert", {jpg, "-depth", "8", "PPM:" + ppm}));
        EXPECT_EQ(ppmSamples(celtest::readFile(ppm)), ours) << "ImageMagick";
    }
    if (oiio) {
        QFile::remove(ppm);
        ASSERT_TRUE(run("oiiotool", {jpg, "-o", ppm}));
        EXPECT_EQ(ppmSamples(celtest::readFile(ppm)), ours) << "oiiotool";
    }
}

TEST(OmfHandler, FailedWritesAndStandardStreams) {
    celtest::TempDir dir;
    const auto cel = opaque(64, 64, 3);
    for (const auto& [path, cause] : {std::pair{dir.path("no/such/folder/x.omf"), "Could not open file"},
                                      {QStringLiteral("/dev/full"), "No space left on device"}}) {
        QXMessage::Capture messages;
        EXPECT_FALSE(omf.write(cel.get(), path, QStringLiteral("OMF")));
        ASSERT_EQ(messages.records().size(), 1u) << cause;
        EXPECT_TRUE(messages.records().front().translated.contains(QLatin1String(cause)))
            << qPrintable(messages.records().front().translated);
        EXPECT_EQ(messages.records().front().code, 20);
    }
    // The container needs a file.
    const celtest::InteractiveGuard batch(false);
    QXMessage::Capture messages;
    CELIO_RepresentationList list;
    EXPECT_FALSE(omf.read(QStringLiteral("-"), CEL_Context(), list));
    EXPECT_FALSE(omf.write(cel.get(), QStringLiteral("-"), QStringLiteral("OMF")));
    EXPECT_EQ(messages.records().size(), 2u);
}

// Eight threads write and read their own files at once, both codes: the
// toolkit context is shared and counted.
TEST(OmfHandlerThreads, EightThreadsWriteAndReadFiles) {
    celtest::TempDir dir;
    std::vector<int> failures(8, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            const auto cel = opaque(40 + t, 30, unsigned(t));
            const celtest::Values want = valuesOf(cel);
            for (int round = 0; round < 6; ++round) {
                const bool jpeg = (round + t) % 2;
                const QString path = dir.path(QStringLiteral("t%1-%2.omf").arg(t).arg(round));
                CELIO_RepresentationList list;
                CELIO_Info info;
                if (!omf.write(cel.get(), path, jpeg ? QStringLiteral("OMFJPEG") : QStringLiteral("OMF")) ||
                    omf.readInfo(path, CEL_Context(), info) != CELIO_STATE_OK ||
                    info.width != uint32_t(40 + t) || !omf.read(path, CEL_Context(), list) ||
                    list.size() != 1)
                    ++failures[size_t(t)];
                else if (!jpeg && celtest::values(list.front().get()) != want)
                    ++failures[size_t(t)];
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(8, 0));
    EXPECT_FALSE(OMF_Toolkit::isRunning());
}
