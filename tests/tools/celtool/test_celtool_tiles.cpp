// celtool tiles and untile: index, tiles, round trip, ImageMagick's decodes, damage.
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include "CeltoolTestUtil.h"
#include "base/Bitmap.h"
#include "cel/Cel.h"
#include "celio/BitmapConversion.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

using celtest::celtool;
using celtest::ToolRun;

constexpr int kW = 600, kH = 300;

// Straight-colour artwork on a transparent canvas: an opaque block with a
// soft edge in the upper left, a translucent disc on the right; the layer's
// lower left tile stays empty.
CEL_PixmapRGBA8* artwork() {
    auto* p = new CEL_PixmapRGBA8(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            CEL_PixelRGBA8& d = *p->pixel(x, y);
            if (x < 200 && y < 180) {
                const int edge = std::min({x, y, 199 - x, 179 - y});
                d = CEL_PixelRGBA8{uint8_t(x), uint8_t(y), 200, uint8_t(edge >= 8 ? 255 : 30 * edge + 1)};
            } else if ((x - 480) * (x - 480) + (y - 200) * (y - 200) < 90 * 90) {
                d = CEL_PixelRGBA8{250, uint8_t(x / 3), 17, uint8_t(60 + y / 4)};
            }
        }
    return p;
}

QByteArray artworkTga() {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(artwork()));
    return QXCelUioTgaHandler().encode(cel.get(), QStringLiteral("TGA4"));
}

// The layer the tool makes of the artwork, made here in-process: the straight
// pixels premultiplied in 16 bits, as the tool works on them.
UT_SharedPtr<BM_TiledBitmapRgba32> expectedLayer(const Math::Box2di& bounds) {
    const std::unique_ptr<CEL_PixmapRGBA8> a(artwork());
    const CEL_PixmapRGBA16 deep(*a);
    UT_SharedPtr<CEL_PixmapAreaRGBA16> area(
        dynamic_cast<CEL_PixmapAreaRGBA16*>(deep.convertTo(CEL_Representation::PIXMAP_AREA_RGBA16)));
    area->multiplyColorByAlpha();
    return CEL_Conversion::convertToBitmapLayer(area, bounds);
}

QJsonObject indexOf(const QString& dir) {
    return QJsonDocument::fromJson(celtest::readFile(QDir(dir).filePath("index.json"))).object();
}

struct Folder {
    celtest::TempDir tmp;
    QString in = tmp.path("in.tga");
    Folder() { EXPECT_TRUE(celtest::writeFile(in, artworkTga())); }
};

} // namespace

TEST(CeltoolTiles, IndexAndTilesOfTheLayer) {
    Folder f;
    const QString out = f.tmp.path("tiles");
    const ToolRun r = celtool({"tiles", "--json", f.in, out});
    ASSERT_EQ(r.exit, 0) << r.err.constData();
    EXPECT_TRUE(r.err.isEmpty()) << r.err.constData();
    const QJsonObject index = indexOf(out);
    EXPECT_EQ(QJsonDocument::fromJson(r.out).object(), index); // --json prints the index
    EXPECT_EQ(index["bounds"].toObject(),
              (QJsonObject{{"x", -300}, {"y", -150}, {"width", kW}, {"height", kH}}));
    EXPECT_EQ(index["tileSize"].toInt(), 256);

    // Every allocated tile of the layer, row by row, and nothing else: 3 x 2
    // tiles, the lower left one empty.
    const UT_SharedPtr<BM_TiledBitmapRgba32> layer = expectedLayer(Math::Box2di(-300, -150, kW, kH));
    QStringList got;
    for (const QJsonValue& v : index["tiles"].toArray()) {
        const QJsonObject t = v.toObject();
        const int column = t["column"].toInt(), row = t["row"].toInt();
        got << QStringLiteral("%1,%2").arg(column).arg(row);
        const Math::Box2di rect = layer->tileRect(column, row);
        EXPECT_EQ(
            t["rect"].toObject(),
            (QJsonObject{{"x", rect.x1()}, {"y", rect.y1()}, {"width", rect.w()}, {"height", rect.h()}}));
        EXPECT_EQ(t["file"].toString(), QStringLiteral("tile_%1_%2.png").arg(column).arg(row));
        EXPECT_EQ(t["bytes"].toInteger(), QFileInfo(QDir(out).filePath(t["file"].toString())).size());
    }
    EXPECT_EQ(got, (QStringList{"0,0", "1,0", "2,0", "1,1", "2,1"}));
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 6);
    // Nothing is left beside the folder.
    EXPECT_EQ(QDir(f.tmp.root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
}

TEST(CeltoolTiles, OtherProgramsReadTheTilesAsTheLayerHoldsThem) {
    if (!celtest::haveMagick()) GTEST_SKIP() << "ImageMagick is not installed";
    Folder f;
    const Math::Box2di bounds(-310, -140, 520, 300); // cuts the picture, reaches past its right edge
    const UT_SharedPtr<BM_TiledBitmapRgba32> layer = expectedLayer(bounds);
    for (const char* format : {"tga", "png"}) {
        SCOPED_TRACE(format);
        const QString out = f.tmp.path(format);
        ASSERT_EQ(celtool({"tiles", "--format", format, "--bounds", "-310,-140,520,300", f.in, out}).exit, 0);
        int tiles = 0;
        for (const QJsonValue& v : indexOf(out)["tiles"].toArray()) {
            const QJsonObject t = v.toObject();
            const int column = t["column"].toInt(), row = t["row"].toInt();
            const Math::Box2di rect = layer->tileRect(column, row);
            const std::vector<int> seen = celtest::magickPixels(QDir(out).filePath(t["file"].toString()));
            const BM_PixelRgba32* want = layer->tile(column, row);
            ASSERT_TRUE(want && seen.size() == std::size_t(rect.area()) * 4);
            int worst = 0;
            // TGA holds the straight pixels exactly; PNG goes through the PNG4
            // writer's un-premultiplying: compared premultiplied.
            for (long long i = 0; i < rect.area(); ++i) {
                const int w[4] = {want[i].r, want[i].g, want[i].b, want[i].a}, a = w[3];
                for (int c = 0; c < 4; ++c) {
                    const int s = seen[std::size_t(i * 4 + c)];
                    worst = std::max(worst, c == 3 || format[0] == 't' ? std::abs(s - w[c])
                                                                       : std::abs(s * a - w[c] * a) / 255);
                }
            }
            EXPECT_LE(worst, format[0] == 't' ? 0 : 1) << column << "," << row;
            ++tiles;
        }
        EXPECT_EQ(tiles, layer->allocatedTileCount());
    }
}

TEST(CeltoolTiles, UntileGivesTheQuantisedPictureBack) {
    Folder f;
    for (const char* format : {"tga", "psd", "png"}) {
        SCOPED_TRACE(format);
        const QString out = f.tmp.path(format), back = f.tmp.path(QStringLiteral("back-%1.tga").arg(format));
        ASSERT_EQ(celtool({"tiles", "--format", format, f.in, out}).exit, 0);
        const ToolRun r = celtool({"untile", out, back});
        ASSERT_EQ(r.exit, 0) << r.err.constData();
        const std::unique_ptr<CEL_PixmapRGBA8> in(artwork());
        const QByteArray bytes = celtest::readFile(back);
        const std::unique_ptr<CEL_Representation> cel(QXCelUioTgaHandler().read(
            reinterpret_cast<const unsigned char*>(bytes.constData()), unsigned(bytes.size())));
        const auto* got = dynamic_cast<const CEL_PixmapRGBA8*>(cel.get());
        ASSERT_TRUE(got && got->width() == kW && got->height() == kH);
        int worst = 0;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const CEL_PixelRGBA8 a = *in->pixel(x, y), b = *got->pixel(x, y);
                ASSERT_TRUE(a.a == b.a && (a.a < 255 || a == b)) << x << "," << y; // opaque: exact
                for (const auto c : {&CEL_PixelRGBA8::r, &CEL_PixelRGBA8::g, &CEL_PixelRGBA8::b})
                    worst = std::max(worst, std::abs(a.*c * a.a - b.*c * b.a));
            }
        EXPECT_LE(worst, 2 * 255) << "premultiplied colour within two 8-bit steps";
    }
}

TEST(CeltoolTiles, JpegTilesAndOptions) {
    Folder f;
    const QString q90 = f.tmp.path("q90"), q10 = f.tmp.path("q10");
    const ToolRun r = celtool({"tiles", "--format", "jpg", f.in, q90});
    ASSERT_EQ(r.exit, 0);
    EXPECT_EQ(r.errLines(),
              (QList<QByteArray>{"celtool: " + q90.toUtf8() + ": alpha dropped: JPEG has no alpha"}));
    ASSERT_EQ(celtool({"tiles", "--format", "jpg", "--quality", "10", f.in, q10}).exit, 0);
    const QByteArray tile = celtest::readFile(QDir(q90).filePath("tile_0_0.jpg"));
    EXPECT_TRUE(tile.startsWith("\xff\xd8"));
    EXPECT_LT(QFileInfo(QDir(q10).filePath("tile_0_0.jpg")).size(), tile.size());
    EXPECT_EQ(celtool({"untile", "--canvas", "700x400", q90, f.tmp.path("back.png")}).exit, 0);
    EXPECT_EQ(celtest::infoOf(f.tmp.path("back.png"))["width"].toInt(), 700);

    // Usage errors: nothing is written.
    const QString busy = f.tmp.path("busy");
    QDir().mkpath(busy);
    celtest::writeFile(QDir(busy).filePath("x"), "x");
    celtest::expectUsageErrors(
        {"tiles"},
        celtest::argLists("IN BUSY|--bounds 0,0,0,5 IN A|--bounds 2147483000,0,5000,5 IN "
                          "A|--quality 50 IN A|--format xyz IN A",
                          {{"IN", f.in}, {"BUSY", busy}, {"A", f.tmp.path("a")}}),
        {}, f.tmp.path("a"));
    EXPECT_EQ(celtool({"tiles", f.tmp.path("missing.tga"), f.tmp.path("a")}).exit, 1);
    EXPECT_FALSE(QFileInfo::exists(f.tmp.path("a")));
}

TEST(CeltoolTiles, DamagedFoldersFailNamingTheFileAndLeaveOutAlone) {
    Folder f;
    const QString good = f.tmp.path("good"), out = f.tmp.path("out.png");
    ASSERT_EQ(celtool({"tiles", f.in, good}).exit, 0);
    celtest::writeFile(out, "earlier");
    const QString index = QDir(good).filePath("index.json");
    const QByteArray json = celtest::readFile(index);

    const auto firstTile = [&](const char* key, const QJsonValue& value) {
        QJsonObject o = indexOf(good);
        QJsonArray tiles = o["tiles"].toArray();
        QJsonObject t = tiles[0].toObject();
        t[key] = value, tiles[0] = t, o["tiles"] = tiles;
        return QJsonDocument(o).toJson();
    };
    const QByteArray tile = celtest::readFile(QDir(good).filePath("tile_0_0.png"));
    // A file of the folder, what it holds now (null: removed); the error names it. No index, a
    // cut one, a tile outside the bounds, a name leaving the folder; a missing, damaged or wrong-size tile.
    const struct {
        const char* file;
        QByteArray bytes;
    } damages[] = {{"index.json", {}},
                   {"index.json", json.left(60)},
                   {"index.json", firstTile("column", 7)},
                   {"index.json", firstTile("file", "../in.tga")},
                   {"tile_2_1.png", {}},
                   {"tile_0_0.png", tile.left(tile.size() / 3)},
                   {"tile_1_1.png", celtest::readFile(QDir(good).filePath("tile_2_0.png"))}};
    int n = 0;
    for (const auto& d : damages) {
        const QString dir = f.tmp.path(QStringLiteral("bad%1").arg(n++));
        SCOPED_TRACE(qPrintable(dir));
        ASSERT_TRUE(QDir().mkpath(dir));
        for (const QString& name : QDir(good).entryList(QDir::Files))
            QFile::copy(good + '/' + name, dir + '/' + name);
        const QString damaged = QDir(dir).filePath(d.file);
        QFile::remove(damaged);
        if (!d.bytes.isNull()) celtest::writeFile(damaged, d.bytes);
        const ToolRun r = celtool({"untile", dir, out});
        EXPECT_EQ(r.exit, 1);
        ASSERT_EQ(r.errLines().size(), 1) << r.err.constData();
        EXPECT_TRUE(r.err.startsWith("celtool: " + damaged.toUtf8() + ": ")) << r.err.constData();
        EXPECT_EQ(celtest::readFile(out), "earlier");
    }
}
