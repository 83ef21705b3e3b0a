// The format tables beside the handler registry: the code that keeps a shape,
// the shape a code writes, the alpha conventions, and detection by content;
// and the writers' refusal of sizes their headers cannot hold.
#include <QFileInfo>
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "celio/Manager.h"
#include "celio/handlers/FormatTable.h"
#include "celio/handlers/SgiHandler.h"
#include "celio/handlers/TgaHandler.h"
#include "support/TestSupport.h"

namespace {

const CELIO_Handler& handler(const char* extension) {
    qxCelAddPixmapHandler();
    const CELIO_Handler* h = CELIO_Manager::getInstance()->findHandler(QString::fromLatin1(extension));
    EXPECT_NE(h, nullptr) << extension;
    return *h;
}

} // namespace

TEST(FormatTable, TheCodeThatKeepsAShape) {
    const struct {
        const char* ext;
        int channels;
        bool deep;
        const char* code;
    } cases[] = {// the nearest code where the shape has none of its own (celtool's tests hold the rest)
                 {"TGA", 4, true, "TGA4"}, {"SGI", 1, true, "SGIDP3"}, {"SGI", 3, false, "SGI"},
                 {"PNG", 1, false, "PNG"}, {"BMP", 4, false, "BMP"},   {"JPEG", 4, true, "JPG"},
                 {"TIF", 1, true, "TIF"},  {"PNG", 4, true, "PNGDP4"}};
    for (const auto& c : cases)
        EXPECT_EQ(CELIO_FormatTable::codeFor(handler(c.ext), {c.channels, c.deep}), QLatin1String(c.code))
            << c.ext << " " << c.channels << (c.deep ? " deep" : "");
    // The raw pixmap family lists no codes and names its one shape through its flags.
    EXPECT_EQ(CELIO_FormatTable::codeFor(handler("DAT"), {3, false}), QStringLiteral("DAT"));

    // What each code writes: the table where the name does not say it.
    const struct {
        const char* ext;
        const char* code;
        int channels;
        bool deep;
    } shapes[] = {{"TGA", "TGA", 3, false},   {"TGA", "tga1", 1, false}, {"SGI", "SGIDP3", 3, true},
                  {"BMP", "BMP4", 3, false},  {"TIF", "TIF", 4, false},  {"OPT", "OPT", 3, false},
                  {"SCAN", "SCAN", 1, false}, {"VAR", "VAR", 1, false}};
    for (const auto& s : shapes) {
        const CELIO_Shape got = CELIO_FormatTable::codeShape(handler(s.ext), QLatin1String(s.code));
        EXPECT_TRUE(got.channels == s.channels && got.deep == s.deep) << s.code;
    }
    const CELIO_Shape dat = CELIO_FormatTable::codeShape(handler("DAT"), QStringLiteral("DAT"));
    EXPECT_TRUE(dat.channels == 4 && dat.deep);
}

// The rows themselves show in celtool's alpha tests against other programs;
// here the default for a family without rows, and the one that asks its file.
TEST(FormatTable, AlphaConventions) {
    using A = CELIO_Alpha;
    EXPECT_EQ(CELIO_FormatTable::writeAlpha(handler("PNG"), QStringLiteral("png4")), A::Premultiplied);
    EXPECT_EQ(CELIO_FormatTable::writeAlpha(handler("DAT"), QStringLiteral("DAT")), A::Premultiplied);
    EXPECT_EQ(CELIO_FormatTable::readAlpha(handler("SGI"), QString()), A::Straight);
    EXPECT_EQ(CELIO_FormatTable::readAlpha(handler("DAT"), QString()), A::Premultiplied);
    EXPECT_FALSE(CELIO_FormatTable::readsAlpha(handler("BMP")));
    EXPECT_TRUE(CELIO_FormatTable::readsAlpha(handler("PNG")));

    // A TIFF file says which it holds.
    celtest::TempDir dir;
    const QString ours = dir.path("ours.tif"), theirs = dir.path("theirs.tif");
    const auto cel = celtest::celOf<CEL_PixmapRGBA8>(std::vector<CEL_PixelRGBA8>{{10, 20, 30, 40}}, 1);
    ASSERT_TRUE(handler("TIF").write(cel.get(), ours, QStringLiteral("TIF")));
    celtest::writeTiff(theirs, {50, 60, 70, 80}, 1, 1, 8, 4, EXTRASAMPLE_UNASSALPHA);
    EXPECT_EQ(CELIO_FormatTable::readAlpha(handler("TIF"), ours), A::Premultiplied);
    EXPECT_EQ(CELIO_FormatTable::readAlpha(handler("TIF"), theirs), A::Straight);
}

// Every file a registered writer makes is recognised as its own family by its
// first bytes (a family without a signature, such as VAR whose files are laid
// out as SCAN's, is never found by content); other signatures are told apart.
TEST(FormatTable, DetectionByContent) {
    celtest::TempDir dir;
    qxCelAddPixmapHandler();
    auto* p = new CEL_PixmapRGBA8(5, 3);
    for (int i = 0; i < 15; ++i) p->data()[i] = CEL_PixelRGBA8{uint8_t(i * 9), 40, 90, uint8_t(i * 17)};
    const auto cel = celtest::celOf(p);
    int checked = 0;
    for (const CELIO_Handler* h : CELIO_Manager::getInstance()->handlers()) {
        if (!CELIO_FormatTable::hasSignature(*h)) continue;
        for (const QString& code : h->getWriteOptionCodes()) {
            const QString path = dir.path(QStringLiteral("f.") + code);
            ASSERT_TRUE(h->write(cel.get(), path, code)) << qPrintable(code);
            const QByteArray head = celtest::readFile(path).left(CELIO_FormatTable::kSignatureBytes);
            EXPECT_EQ(CELIO_FormatTable::detect(head), h->getExtensions().front()) << qPrintable(code);
            ++checked;
        }
    }
    EXPECT_GE(checked, 17);
    EXPECT_EQ(CELIO_FormatTable::detect("GIF89a\1\0\1\0"), QStringLiteral("GIF"));
    EXPECT_EQ(CELIO_FormatTable::detect(QByteArray("MM\0*\0\0\0\x08", 8)), QStringLiteral("TIF"));
    EXPECT_EQ(CELIO_FormatTable::detect(QByteArray(18, '\x63')), QString());
    EXPECT_EQ(CELIO_FormatTable::detect(QByteArray()), QString());

    // Movie containers are one family, each named by its own extension; ISO
    // media holding still pictures (HEIF) is not a movie.
    const std::pair<QByteArray, const char*> movies[] = {
        {QByteArray("\0\0\0 ftypisom\0\0\2\0", 16), "mov"},
        {QByteArray("\0\0\0\x08wide\0\0\0\0mdat", 16), "mov"},
        {QByteArray("\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01", 9), "mkv"},
        {QByteArray("RIFF\x10\0\0\0AVI LIST", 16), "avi"},
        {QByteArray("\x06\x0e\x2b\x34\x02\x05\x01\x01\x0d\x01\x02\x01\x01\x02\x04\0", 16), "mxf"},
        {QByteArray("\0\0\0\030ftypheic\0\0\0\0", 16), ""},
    };
    for (const auto& [head, extension] : movies) {
        EXPECT_EQ(CELIO_FormatTable::detect(head), *extension ? QStringLiteral("MOV") : QString())
            << extension;
        EXPECT_EQ(CELIO_FormatTable::detectExtension(head), QLatin1String(extension));
    }
}

// Writers refuse sizes their headers cannot hold, with a message, and leave
// no file behind.
TEST(WriterBounds, RefusedBeforeTheOutputIsOpened) {
    celtest::TempDir dir;
    const struct {
        const char* ext;
        const char* code;
        int width, height;
    } cases[] = {{"TGA", "TGA4", 70000, 2},
                 {"TGA", "TGA1", 2, 65536},
                 {"SGI", "SGI4", 65536, 1},
                 {"JPG", "JPG", 65501, 1}};
    for (const auto& c : cases) {
        const QString path = dir.path(QStringLiteral("big.") + QLatin1String(c.ext));
        QXMessage::Capture messages;
        EXPECT_FALSE(handler(c.ext).write(celtest::celOf(new CEL_PixmapRGBA8(c.width, c.height)).get(), path,
                                          QLatin1String(c.code)))
            << c.code;
        EXPECT_FALSE(QFileInfo::exists(path)) << c.code;
        ASSERT_EQ(messages.records().size(), 1u) << c.code;
        EXPECT_TRUE(
            messages.records().front().translated.contains(QString::number(std::max(c.width, c.height))))
            << qPrintable(messages.records().front().translated);
    }
    // The largest TGA still goes.
    const auto edge = celtest::celOf(new CEL_PixmapMatte8(65535, 1));
    EXPECT_TRUE(handler("TGA").write(edge.get(), dir.path("edge.tga"), QStringLiteral("TGA1")));
}
