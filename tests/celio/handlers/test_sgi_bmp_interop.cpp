// SGI and BMP files exchanged with ImageMagick's convert and OpenImageIO's
// oiiotool: what they write we decode to the pixels they decode (16-bit SGI
// samples halved), and what we write they decode to the pixels we meant.
// Skipped where a tool is missing.
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <memory>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/BmpHandler.h"
#include "celio/handlers/SgiHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

constexpr int W = 29, H = 17;
using Values = std::vector<int>; // r, g, b, a per pixel, top row first

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (out) *out = p.readAllStandardOutput();
    return true;
}

Values magick(const QString& path, int depth) {
    QByteArray raw;
    if (!run(QStringLiteral("convert"),
             {path, QStringLiteral("-depth"), QString::number(depth), QStringLiteral("-endian"),
              QStringLiteral("MSB"), QStringLiteral("rgba:-")},
             &raw))
        return {};
    Values v;
    const auto* b = reinterpret_cast<const uint8_t*>(raw.constData());
    for (qsizetype i = 0; i < raw.size(); i += depth / 8)
        v.push_back(depth == 8 ? b[i] : b[i] << 8 | b[i + 1]);
    return v;
}

// OpenImageIO's decoding of several files in one run (it starts slowly).
std::vector<Values> oiio(const QStringList& paths) {
    QByteArray text;
    if (!run(QStringLiteral("oiiotool"), QStringList{"--dumpdata", "--info"} + paths, &text)) return {};
    static const QRegularExpression pixel(QStringLiteral(R"(Pixel \(\d+, \d+\):((?: \d+)+) \()"));
    std::vector<Values> all;
    int full = 255;
    for (const QByteArray& line : text.split('\n')) {
        if (line.contains(" channel, ")) { // the header of the next file
            all.emplace_back();
            full = line.contains("uint16") ? 65535 : 255;
        } else if (const auto m = pixel.match(QString::fromLatin1(line)); m.hasMatch() && !all.empty()) {
            const QStringList s = m.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            for (int c = 0; c < 4; ++c)
                all.back().push_back(c == 3 && s.size() != 4 ? full : s[s.size() == 1 ? 0 : c].toInt());
        }
    }
    return all;
}

// Our decoding through the handler's file path, and whether it is 16-bit.
Values ours(const CELIO_Handler& handler, const QString& path, bool* deep = nullptr) {
    CELIO_RepresentationList list;
    if (!handler.read(path, CEL_Context(), list)) return {};
    Values v;
    const auto* rep = list.front().get();
    const auto add = [&v](auto p, int n, int channels, int full) {
        for (int i = 0; i < n * channels; i += channels)
            for (int c = 0; c < 4; ++c) v.push_back(channels == 1 ? (c < 3 ? p[i] : full) : p[i + c]);
    };
    if (auto* a = dynamic_cast<const CEL_PixmapRGBA8*>(rep)) add(&a->data()->r, W * H, 4, 255);
    if (auto* b = dynamic_cast<const CEL_PixmapMatte8*>(rep)) add(b->data(), W * H, 1, 255);
    if (auto* c = dynamic_cast<const CEL_PixmapRGBA16*>(rep)) add(&c->data()->r, W * H, 4, 32767);
    if (auto* d = dynamic_cast<const CEL_PixmapMatte16*>(rep)) add(d->data(), W * H, 1, 32767);
    if (deep)
        *deep = dynamic_cast<const CEL_PixmapRGBA16*>(rep) || dynamic_cast<const CEL_PixmapMatte16*>(rep);
    return v;
}

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
UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* p) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}
bool haveTools() {
    return celtest::haveProgram("convert") && celtest::haveProgram("oiiotool");
}

} // namespace

TEST(SgiBmpInterop, TheirFilesReadAsTheyDecodeThem) {
    if (!haveTools()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const QString png = dir.path(QStringLiteral("src.png"));
    ASSERT_TRUE(celOf(pattern())->convertTo(CEL_Representation::PIXMAP_RGBA8)->getImage().save(png));
    // ImageMagick: SGI 8-bit verbatim and run-length coded, 16-bit (always
    // verbatim), 4, 3 and 1 channels; BMP 24-bit, 32-bit, palette, palette RLE8.
    QStringList magickFiles, oiioFiles, oiioArgs{png};
    const auto next = [&dir](QStringList& list, const char* ext) {
        list << dir.path(QStringLiteral("%1.%2").arg(list.size()).arg(ext));
        return list.back();
    };
    const QStringList channels[] = {{}, {"-alpha", "off"}, {"-colorspace", "Gray", "-alpha", "off"}};
    for (const QStringList& ch : channels)
        for (const QString depth : {"8", "16"})
            for (const QString compress : {"None", "RLE"})
                ASSERT_TRUE(run("convert", QStringList{png, "-depth", depth, "-compress", compress} + ch +
                                               QStringList{next(magickFiles, "sgi")}));
    for (const QStringList& args : {QStringList{"BMP3:"},
                                    {"BMP:"},
                                    {"-type", "Palette", "BMP3:"},
                                    {"-type", "Palette", "-compress", "RLE", "BMP3:"}})
        ASSERT_TRUE(run("convert", QStringList{png} + args.mid(0, args.size() - 1) +
                                       QStringList{args.back() + next(magickFiles, "bmp")}));
    // OpenImageIO, in one run: BMP, then SGI 8 and 16-bit of 4, 3 and 1 channels.
    oiioArgs << "-o" << next(oiioFiles, "bmp");
    for (const char* ch : {"", "R,G,B", "R"}) {
        if (*ch) oiioArgs << "--ch" << ch;
        for (const char* d : {"uint8", "uint16"}) oiioArgs << "-d" << d << "-o" << next(oiioFiles, "sgi");
    }
    ASSERT_TRUE(run("oiiotool", oiioArgs));
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

TEST(SgiBmpInterop, OurFilesDecodeInTheirTools) {
    if (!haveTools()) GTEST_SKIP() << "convert or oiiotool missing";
    celtest::TempDir dir;
    const auto cel8 = celOf(pattern());
    auto* p16 = new CEL_PixmapRGBA16(W, H);
    for (int i = 0; i < W * H * 4; ++i) (&p16->data()->r)[i] = int16_t(i * 977 % 32968 - 200);
    const auto cel16 = celOf(p16);
    const auto* rgba =
        dynamic_cast<CEL_PixmapRGBA8*>(cel8->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
    const auto* grey =
        dynamic_cast<CEL_PixmapMatte8*>(cel8->convertTo(CEL_Representation::PIXMAP_MATTE8).get());

    const QStringList codes = {"SGI4", "SGI3", "SGI1", "SGIDP4", "SGIDP3", "BMP", "BMP4"};
    QStringList paths;
    std::vector<Values> wanted;
    for (const QString& c : codes) {
        SCOPED_TRACE(qPrintable(c));
        const QString path = dir.path(c + (c.startsWith("BMP") ? ".bmp" : ".sgi"));
        const bool deep = c.contains("DP"), bmp = c.startsWith("BMP");
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
