// TGA files exchanged with ImageMagick's convert and OpenImageIO's oiiotool:
// what we write they decode to our pixels, what they write we decode to theirs.
// Skipped where a tool is missing.
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

#include <vector>

#include "cel/Cel.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return false;
    if (out) *out = p.readAllStandardOutput();
    return true;
}

// Each decoder's result as straight r, g, b, a bytes, top row first (grey
// widened to opaque grey).
QByteArray magickPixels(const QString& path) {
    QByteArray out; // convert keeps rows in file order unless asked to orient them
    run(QStringLiteral("convert"), {path, "-auto-orient", "-depth", "8", "rgba:-"}, &out);
    return out;
}

QByteArray oiioPixels(const QString& path, int w, int h) {
    QByteArray text, out(qsizetype(w) * h * 4, '\0');
    if (!run(QStringLiteral("oiiotool"),
             {"--iconfig", "oiio:UnassociatedAlpha", "1", "--dumpdata", "--info", path}, &text))
        return {};
    static const QRegularExpression line(QStringLiteral(R"(Pixel \((\d+), (\d+)\):((?: \d+)+) \()"));
    for (auto it = line.globalMatch(QString::fromLatin1(text)); it.hasNext();) {
        const auto m = it.next();
        const QStringList v = m.captured(3).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        char* px = out.data() + 4 * (qsizetype(m.captured(2).toInt()) * w + m.captured(1).toInt());
        for (int c = 0; c < 4; ++c)
            px[c] = char(c == 3 && v.size() < 4 ? 255 : v[v.size() == 1 ? 0 : c].toInt());
    }
    return out;
}

std::unique_ptr<CEL_Representation> ourDecoding(const QString& path) {
    const QByteArray file = celtest::readFile(path);
    return std::unique_ptr<CEL_Representation>(QXCelUioTgaHandler().read(
        reinterpret_cast<const unsigned char*>(file.constData()), unsigned(file.size())));
}

QByteArray ourPixels(const QString& path) {
    const auto rep = ourDecoding(path);
    if (auto* p = dynamic_cast<CEL_PixmapRGBA8*>(rep.get()))
        return QByteArray(reinterpret_cast<const char*>(p->data()), qsizetype(p->width()) * p->height() * 4);
    QByteArray out;
    if (auto* m = dynamic_cast<CEL_PixmapMatte8*>(rep.get()))
        for (int i = 0; i < m->width() * m->height(); ++i)
            out.append(3, char(m->data()[i])).append(char(255));
    return out;
}

} // namespace

// Each file a tool writes decodes here to the tool's pixels; written back by
// us in the same shape, it decodes in both tools to the same pixels again.
TEST(TgaInterop, FilesExchangedBothWays) {
    const bool magick = celtest::haveProgram("convert"), oiio = celtest::haveProgram("oiiotool");
    if (!magick && !oiio) GTEST_SKIP() << "neither convert nor oiiotool installed";
    celtest::TempDir dir;
    struct Theirs {
        QString path;
        QByteArray pixels; // the writer's own decoding
    };
    std::vector<Theirs> files;
    if (magick) {
        const QString base =
            QStringLiteral("-size 61x37 xc:black -alpha set -channel R -fx i/w -channel G -fx j/h "
                           "-channel B -fx (i*j)%7/7 -channel A -fx ((i+j)%5)/4 +channel ");
        for (const char* shape :
             {"", "-alpha off -type TrueColor ", "-alpha off -colorspace Gray -type Grayscale "})
            for (const char* compression : {"RLE", "None"}) {
                const QString path = dir.path(QStringLiteral("im%1.tga").arg(files.size()));
                ASSERT_TRUE(run(
                    QStringLiteral("convert"),
                    (base + QLatin1String(shape) + QStringLiteral("-compress ") + QLatin1String(compression))
                            .split(QLatin1Char(' '))
                        << path));
                files.push_back({path, magickPixels(path)});
            }
    }
    if (oiio) {
        const QString fill = QStringLiteral(
            "fill:topleft=1,0,0,1:topright=0,1,0,0.5:bottomleft=0,0,1,0.25:bottomright=1,1,1,1");
        const QString checker =
            QStringLiteral("checker:width=5:height=3:color1=0.2,0.4,0.6,1:color2=0.9,0.1,0.3,0.5");
        for (const QString& pattern : {fill, checker})
            for (const char* channels : {"4", "3", "1"})
                for (const char* compression : {"rle", "none"}) {
                    const QString path = dir.path(QStringLiteral("oiio%1.tga").arg(files.size()));
                    ASSERT_TRUE(
                        run(QStringLiteral("oiiotool"), {"--pattern", pattern, "47x31", channels, "-d",
                                                         "uint8", "--compression", compression, "-o", path}));
                    files.push_back({path, oiioPixels(path, 47, 31)});
                }
    }
    for (const Theirs& f : files) {
        SCOPED_TRACE(qPrintable(f.path));
        ASSERT_FALSE(f.pixels.isEmpty());
        EXPECT_TRUE(ourPixels(f.path) == f.pixels);

        auto rep = ourDecoding(f.path);
        const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(rep.get());
        ASSERT_TRUE(pixmap);
        const bool grey = rep->getFormat() == CEL_Representation::PIXMAP_MATTE8;
        bool alpha = false;
        for (qsizetype i = 3; i < f.pixels.size(); i += 4) alpha |= f.pixels[i] != char(255);
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(rep->getFormat()));
        cel->addRepresentation(UT_SharedPtr<CEL_Representation>(rep.release()));
        const QString ours = f.path + QStringLiteral(".ours.tga");
        ASSERT_TRUE(QXCelUioTgaHandler().write(cel.get(), ours,
                                               QLatin1String(grey    ? "TGA1"
                                                             : alpha ? "TGA4"
                                                                     : "TGA3")));
        EXPECT_TRUE(ourPixels(ours) == f.pixels);
        EXPECT_TRUE(!magick || magickPixels(ours) == f.pixels) << "convert";
        EXPECT_TRUE(!oiio || oiioPixels(ours, pixmap->width(), pixmap->height()) == f.pixels) << "oiiotool";
    }
}
