// Interoperability of the formats decoded and encoded here (TGA, SGI, and BMP's
// header and alpha rules) with independent programs, each test skipped without
// its tools: files that ImageMagick and oiiotool write read here to the pixels
// those programs decode (with this library's value mapping), and the files
// written here decode there to the pixels meant.
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include "HandlerTestUtil.h"
#include "cel/Context.h"
#include "celio/handlers/BmpHandler.h"
#include "celio/handlers/SgiHandler.h"
#include "celio/handlers/TgaHandler.h"
#include "support/TestSupport.h"

namespace {

using celtest::Values;

QString program(const char* name) {
    // The distribution's copy first: a wrapper earlier on PATH may stand in for it.
    const QString path =
        QStandardPaths::findExecutable(QString::fromLatin1(name), {QStringLiteral("/usr/bin")});
    return path.isEmpty() ? QStandardPaths::findExecutable(QString::fromLatin1(name)) : path;
}
const QString kMagick = program("convert"), kOiio = program("oiiotool");

QStringList words(const QString& text) {
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool run(const QString& exe, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(exe, args);
    const bool ok = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = p.readAllStandardOutput();
    if (!ok)
        ADD_FAILURE() << exe.toStdString() << " " << args.join(' ').toStdString() << ": "
                      << p.readAllStandardError().data();
    return ok;
}

// ImageMagick's decoding as r, g, b, a samples of the given depth (grey widened).
Values magick(const QString& path, int depth) {
    QByteArray raw;
    if (!run(kMagick, {path, "-auto-orient", "-depth", QString::number(depth), "-endian", "MSB", "rgba:-"},
             &raw))
        return {};
    Values v;
    const auto* b = reinterpret_cast<const uint8_t*>(raw.constData());
    for (qsizetype i = 0; i + depth / 8 <= raw.size(); i += depth / 8)
        v.push_back(depth == 8 ? b[i] : b[i] << 8 | b[i + 1]);
    return v;
}

// OpenImageIO's decoding of several files in one run (it starts slowly),
// each read with the given configuration. Pixels are placed by their
// coordinates: the listing follows the file's row order.
std::vector<Values> oiio(const QStringList& paths, const QStringList& config = {}) {
    QStringList args{"--dumpdata", "--info"};
    for (const QString& path : paths) args << config << path;
    QByteArray text;
    if (!run(kOiio, args, &text)) return {};
    static const QRegularExpression header(QStringLiteral(R"((\d+) x +(\d+), \d+ channel, (\w+))"));
    static const QRegularExpression pixel(QStringLiteral(R"(Pixel \((\d+), (\d+)\):((?: \d+)+) \()"));
    std::vector<Values> all;
    int full = 255, width = 0;
    for (const QByteArray& line : text.split('\n')) {
        if (const auto h = header.match(QString::fromLatin1(line)); h.hasMatch()) { // the next file
            width = h.captured(1).toInt();
            full = h.captured(3) == QLatin1String("uint16") ? 65535 : 255;
            all.emplace_back(size_t(width) * h.captured(2).toUInt() * 4);
        } else if (const auto m = pixel.match(QString::fromLatin1(line)); m.hasMatch() && !all.empty()) {
            const QStringList s = m.captured(3).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            int* px = all.back().data() + 4 * (size_t(m.captured(2).toInt()) * width + m.captured(1).toInt());
            for (int c = 0; c < 4; ++c)
                px[c] = c == 3 && s.size() != 4 ? full : s[s.size() == 1 ? 0 : c].toInt();
        }
    }
    return all;
}

// Our decoding through a handler's file path, and whether it is 16-bit.
Values ours(const CELIO_Handler& handler, const QString& path, bool* deep = nullptr) {
    CELIO_RepresentationList list;
    if (!handler.read(path, CEL_Context(), list) || list.empty()) return {};
    const CEL_Representation* rep = list.front().get();
    if (deep)
        *deep = dynamic_cast<const CEL_PixmapRGBA16*>(rep) || dynamic_cast<const CEL_PixmapMatte16*>(rep);
    return celtest::values(rep);
}

// Files named by a running number in dir: the next one, added to list.
QString next(const celtest::TempDir& dir, QStringList& list, const char* ext) {
    list << dir.path(QStringLiteral("%1.%2").arg(list.size()).arg(QLatin1String(ext)));
    return list.back();
}

} // namespace

// Each TGA file a tool writes decodes here to the tool's pixels; written back
// here in the same shape, it decodes in both tools to the same pixels again.
TEST(TgaInterop, FilesExchangedBothWays) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    QStringList theirs;
    const QString base =
        QStringLiteral("-size 61x37 xc:black -alpha set -channel R -fx i/w -channel G -fx j/h "
                       "-channel B -fx (i*j)%7/7 -channel A -fx ((i+j)%5)/4 +channel ");
    for (const char* shape :
         {"", "-alpha off -type TrueColor ", "-alpha off -colorspace Gray -type Grayscale "})
        for (const char* compression : {"RLE", "None"})
            ASSERT_TRUE(
                run(kMagick, words(base + shape + "-compress " + compression) << next(dir, theirs, "tga")));
    const int magickFiles = int(theirs.size());
    for (const char* pattern :
         {"fill:topleft=1,0,0,1:topright=0,1,0,0.5:bottomleft=0,0,1,0.25:bottomright=1,1,1,1",
          "checker:width=5:height=3:color1=0.2,0.4,0.6,1:color2=0.9,0.1,0.3,0.5"})
        for (const char* channels : {"4", "3", "1"})
            for (const char* compression : {"rle", "none"})
                ASSERT_TRUE(run(kOiio, {"--pattern", pattern, "47x31", channels, "-d", "uint8",
                                        "--compression", compression, "-o", next(dir, theirs, "tga")}));
    const QStringList raw = {"--iconfig", "oiio:UnassociatedAlpha", "1"}; // the samples as stored
    std::vector<Values> want = oiio(theirs, raw);
    ASSERT_EQ(want.size(), size_t(theirs.size()));
    for (int i = 0; i < magickFiles; ++i) want[size_t(i)] = magick(theirs[i], 8);

    QStringList written;
    for (int i = 0; i < theirs.size(); ++i) {
        SCOPED_TRACE(qPrintable(theirs[i]));
        CELIO_RepresentationList list;
        ASSERT_TRUE(QXCelUioTgaHandler().read(theirs[i], CEL_Context(), list));
        const Values got = celtest::values(list.front().get());
        EXPECT_EQ(got, want[size_t(i)]);
        bool alpha = false;
        for (size_t k = 3; k < got.size(); k += 4) alpha |= got[k] != 255;
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(list.front()->getFormat()));
        cel->addRepresentation(list.front());
        const bool grey = list.front()->getFormat() == CEL_Representation::PIXMAP_MATTE8;
        ASSERT_TRUE(QXCelUioTgaHandler().write(cel.get(), next(dir, written, "tga"),
                                               QLatin1String(grey    ? "TGA1"
                                                             : alpha ? "TGA4"
                                                                     : "TGA3")));
    }
    const std::vector<Values> oiioOurs = oiio(written, raw);
    ASSERT_EQ(oiioOurs.size(), size_t(written.size()));
    for (int i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(qPrintable(theirs[i]));
        EXPECT_EQ(ours(QXCelUioTgaHandler(), written[i]), want[size_t(i)]);
        EXPECT_EQ(magick(written[i], 8), want[size_t(i)]) << "convert";
        EXPECT_EQ(oiioOurs[size_t(i)], want[size_t(i)]) << "oiiotool";
    }
}

namespace {

constexpr int W = 29, H = 17;

// Runs, noise and soft alpha, colour never above alpha.
CEL_PixmapRGBA8* pattern() {
    auto* p = new CEL_PixmapRGBA8(W, H);
    unsigned seed = 5;
    for (int i = 0; i < W * H; ++i) {
        seed = seed * 1103515245u + 12345u;
        const int a = i % W < 6 ? 255 : int(seed >> 24) | 1, n = int(seed >> 16) & 255;
        p->data()[i] = CEL_PixelRGBA8{uint8_t(i % W < 9 ? a : n % (a + 1)), uint8_t(i / W * 15 % (a + 1)),
                                      uint8_t((n * 7) % (a + 1)), uint8_t(a)};
    }
    return p;
}

} // namespace

// SGI and BMP files the tools write decode here to their pixels (16-bit SGI
// samples halved; BMP alpha is not kept).
TEST(SgiBmpInterop, TheirFilesReadAsTheyDecodeThem) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const QString png = dir.path(QStringLiteral("src.png"));
    ASSERT_TRUE(celtest::celOf(pattern())->convertTo(CEL_Representation::PIXMAP_RGBA8)->getImage().save(png));
    // ImageMagick: SGI 8-bit verbatim and run-length coded, 16-bit (always
    // verbatim), 4, 3 and 1 channels; BMP 24-bit, 32-bit, palette, palette RLE8.
    QStringList magickFiles, oiioFiles, oiioArgs{png};
    for (const char* ch : {"", "-alpha off", "-colorspace Gray -alpha off"})
        for (const char* depth : {"8", "16"})
            for (const char* compress : {"None", "RLE"})
                ASSERT_TRUE(
                    run(kMagick,
                        words(QStringLiteral("%1 -depth %2 -compress %3 %4").arg(png, depth, compress, ch))
                            << next(dir, magickFiles, "sgi")));
    for (const char* args : {"", "-type Palette", "-type Palette -compress RLE"})
        ASSERT_TRUE(run(kMagick, words(png + ' ' + args) << "BMP3:" + next(dir, magickFiles, "bmp")));
    ASSERT_TRUE(run(kMagick, {png, "BMP:" + next(dir, magickFiles, "bmp")}));
    // OpenImageIO, in one run: BMP, then SGI 8 and 16-bit of 4, 3 and 1 channels.
    oiioArgs << "-o" << next(dir, oiioFiles, "bmp");
    for (const char* ch : {"", "R,G,B", "R"}) {
        if (*ch) oiioArgs << "--ch" << ch;
        for (const char* d : {"uint8", "uint16"})
            oiioArgs << "-d" << d << "-o" << next(dir, oiioFiles, "sgi");
    }
    ASSERT_TRUE(run(kOiio, oiioArgs));
    const std::vector<Values> oiioValues = oiio(oiioFiles);
    ASSERT_EQ(oiioValues.size(), size_t(oiioFiles.size()));

    for (const QString& path : magickFiles + oiioFiles) {
        SCOPED_TRACE(qPrintable(path));
        const bool isBmp = path.endsWith(QLatin1String(".bmp"));
        bool deep = false;
        const Values got = isBmp ? ours(QXCelUioBmpHandler(), path) : ours(QXCelUioSgiHandler(), path, &deep);
        const qsizetype k = oiioFiles.indexOf(path);
        Values want = k < 0 ? magick(path, deep ? 16 : 8) : oiioValues[size_t(k)];
        ASSERT_EQ(got.size(), size_t(W * H * 4));
        ASSERT_EQ(want.size(), got.size());
        for (size_t i = 0; i < want.size(); ++i)
            want[i] = isBmp && i % 4 == 3 ? 255 : deep ? want[i] >> 1 : want[i];
        EXPECT_EQ(got, want);
    }
}

// What we write in every SGI and BMP code decodes in both tools to the pixels meant.
TEST(SgiBmpInterop, OurFilesDecodeInTheirTools) {
    if (kMagick.isEmpty() || kOiio.isEmpty()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const auto cel8 = celtest::celOf(pattern());
    auto* p16 = new CEL_PixmapRGBA16(W, H);
    for (int i = 0; i < W * H * 4; ++i) (&p16->data()->r)[i] = int16_t(i * 977 % 32968 - 200);
    const auto cel16 = celtest::celOf(p16);
    const auto* rgba =
        dynamic_cast<CEL_PixmapRGBA8*>(cel8->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
    const auto* grey =
        dynamic_cast<CEL_PixmapMatte8*>(cel8->convertTo(CEL_Representation::PIXMAP_MATTE8).get());

    QStringList paths;
    std::vector<Values> wanted;
    for (const QString c : {"SGI4", "SGI3", "SGI1", "SGIDP4", "SGIDP3", "BMP", "BMP4"}) {
        SCOPED_TRACE(qPrintable(c));
        const bool deep = c.contains("DP"), bmp = c.startsWith("BMP");
        const QString path = dir.path(c + (bmp ? ".bmp" : ".sgi"));
        ASSERT_TRUE(bmp ? QXCelUioBmpHandler().write(cel8.get(), path, c)
                        : QXCelUioSgiHandler().write((deep ? cel16 : cel8).get(), path, c));
        Values want;
        for (int i = 0; i < W * H; ++i) {
            const CEL_PixelRGBA8 q = rgba->data()[i];
            const CEL_PixelRGBA16 d = p16->data()[i];
            const auto un = [&q](int v) { return q.a ? std::min(255, int(v * (255.0 / q.a))) : v; };
            const auto twice = [](int v) { return v < 0 ? 0 : 2 * v; };
            if (c == "SGI1")
                want.insert(want.end(), {grey->data()[i], grey->data()[i], grey->data()[i], 255});
            else if (deep)
                want.insert(want.end(),
                            {twice(d.r), twice(d.g), twice(d.b), c.endsWith('4') ? twice(d.a) : 65535});
            else if (c == "BMP4")
                want.insert(want.end(), {un(q.r), un(q.g), un(q.b), 255});
            else
                want.insert(want.end(), {q.r, q.g, q.b, c.endsWith('4') ? q.a : 255});
        }
        EXPECT_EQ(magick(path, deep ? 16 : 8), want);
        paths << path;
        wanted.push_back(want);
    }
    EXPECT_EQ(oiio(paths), wanted);
}
