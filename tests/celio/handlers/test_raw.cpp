// Raw pixmap (DAT) and raw depth (RAW) files: the header layout, both pixmap
// kinds back exactly, refusals before any allocation, the depth value rule,
// and writes that keep an earlier file when they fail.
#include <QDateTime>
#include <QDir>
#include <cfloat>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <random>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteTestSupport.h"
#include "celio/Manager.h"
#include "celio/handlers/RawHandlers.h"
#include "pixel/PixmapArea.h"
#include "support/TestSupport.h"

namespace {

const CELIO_UioRawPixMapHandler dat;
const CELIO_UioRawFloatHandler raw;

void le(QByteArray& b, int at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = char(v >> (8 * i));
}
int64_t getLE(const QByteArray& b, int at, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | uint8_t(b[at + i]);
    return n == 2 ? int64_t(int16_t(uint16_t(v))) : n == 4 ? int64_t(int32_t(uint32_t(v))) : int64_t(v);
}

// Pixels with negative, extreme and distinct values.
CEL_PixelRGBA16 pixelAt(long long i) {
    return CEL_PixelRGBA16{int16_t(i * 37 - 20000), int16_t(-32767 + i % 3), int16_t(i),
                           int16_t(32767 - i % 100)};
}

CEL_PixmapAreaRGBA16* areaPixmap(const Math::Box2di& canvas, const Math::Box2di& allocated) {
    auto* p = new CEL_PixmapAreaRGBA16(canvas.size(), canvas);
    p->realloc(allocated, false);
    for (long long i = 0; i < allocated.area(); ++i) p->data()[i] = pixelAt(i);
    return p;
}

bool samePixels(const CEL_PixelRGBA16* a, long long n) {
    for (long long i = 0; i < n; ++i)
        if (!(a[i] == pixelAt(i))) return false;
    return true;
}

// A raw pixmap header with the given fields followed by `pixels` zero pixels.
QByteArray datFile(int format, int bpp, uint64_t count, int w, int h, std::array<int, 4> canvas,
                   std::array<int, 4> allocated, uint64_t pixels) {
    QByteArray b(56 + qsizetype(pixels) * 8, '\0');
    le(b, 0, uint32_t(format), 4), le(b, 4, uint32_t(bpp), 4), le(b, 8, count, 8);
    le(b, 16, uint32_t(w), 4), le(b, 20, uint32_t(h), 4);
    for (int i = 0; i < 4; ++i)
        le(b, 24 + 4 * i, uint32_t(canvas[i]), 4), le(b, 40 + 4 * i, uint32_t(allocated[i]), 4);
    return b;
}

QByteArray depthFile(int w, int h, const std::vector<float>& values) {
    QByteArray b(8, '\0');
    le(b, 0, uint32_t(w), 4), le(b, 4, uint32_t(h), 4);
    b.append(reinterpret_cast<const char*>(values.data()), qsizetype(values.size() * sizeof(float)));
    return b;
}

} // namespace

// Both pixmap kinds: the header field by field, the pixels back exactly.
TEST(RawPixmap, BothKindsKeepTheirLayoutAndPixels) {
    qxCelAddPixmapHandler();
    celtest::TempDir dir;
    const QString path = dir.path("area.dat");
    const Math::Box2di canvas(-10, -10, 100, 100), allocated(0, 0, 50, 20);
    const auto cel = celtest::celOf(areaPixmap(canvas, allocated));
    ASSERT_TRUE(CELIO_Manager::getInstance()->write(cel.get(), path, QStringLiteral("DAT"), QString()));
    QByteArray file = celtest::readFile(path);
    ASSERT_EQ(file.size(), 56 + 1000 * 8);
    EXPECT_EQ(file.left(56), datFile(4, 8, 1000, 100, 100, {-10, -10, 100, 100}, {0, 0, 50, 20}, 0));
    EXPECT_TRUE(getLE(file, 56, 2) == pixelAt(0).r && getLE(file, 62, 2) == pixelAt(0).a);
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".part")));
    CELIO_RepresentationList list;
    QDateTime modified;
    ASSERT_TRUE(CELIO_Manager::getInstance()->read(path, modified, CEL_Context(), list));
    const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(list.front().get());
    ASSERT_TRUE(area);
    EXPECT_TRUE(area->canvasRect() == canvas && area->allocatedRect() == allocated);
    EXPECT_TRUE(samePixels(area->data(), 1000));

    auto* pixmap = new CEL_PixmapRGBA16(7, 3);
    for (int i = 0; i < 21; ++i) pixmap->data()[i] = pixelAt(i);
    const auto flat = celtest::celOf(pixmap);
    ASSERT_TRUE(dat.write(flat.get(), path, QString()));
    file = celtest::readFile(path);
    EXPECT_TRUE(file.size() == 56 + 21 * 8 && getLE(file, 0, 4) == 6);
    UT_SharedPtr<CEL_Representation> back;
    ASSERT_TRUE(dat.read(back, path));
    const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(back.get());
    ASSERT_TRUE(p && p->width() == 7 && p->height() == 3);
    EXPECT_TRUE(samePixels(p->data(), 21));

    // The area pixmap wins over the canvas pixmap; nothing is converted.
    flat->addRepresentation(
        UT_SharedPtr<CEL_Representation>(areaPixmap(Math::Box2di(0, 0, 7, 3), Math::Box2di(1, 1, 2, 2))));
    ASSERT_TRUE(dat.write(flat.get(), path, QString()));
    EXPECT_EQ(getLE(celtest::readFile(path), 0, 4), 4);
    const auto rgba8 = celtest::celOf(new CEL_PixmapRGBA8(4, 4));
    const QString other = dir.path("rgba8.dat");
    EXPECT_FALSE(dat.write(rgba8.get(), other, QString()));
    EXPECT_FALSE(QFile::exists(other));
    EXPECT_EQ(rgba8->repCount(), 1);
}

// Every malformed file is refused before anything is allocated, silently.
TEST(RawPixmap, MalformedFilesAreRefusedBeforeAllocating) {
    celtest::TempDir dir;
    const QString path = dir.path("bad.dat");
    const std::array<int, 4> none{0, 0, 0, 0}, canvas{0, 0, 4, 4}, alloc{0, 0, 2, 2};
    const QByteArray good = datFile(4, 8, 4, 4, 4, canvas, alloc, 4);
    const std::vector<std::pair<const char*, QByteArray>> cases = {
        {"short header", good.left(40)},
        {"cut by one byte", good.left(good.size() - 1)},
        {"one byte too many", good + QByteArray(1, '\0')},
        {"canvas format at 4 bytes per pixel", datFile(6, 4, 16, 4, 4, none, none, 8)},
        {"another format", datFile(5, 8, 4, 4, 4, canvas, alloc, 4)},
        {"negative width", datFile(6, 8, 4, -4, -1, none, none, 4)},
        {"negative allocated width", datFile(4, 8, 4, 4, 4, canvas, {0, 0, -2, -2}, 4)},
        {"count not the allocated area", datFile(4, 8, 3, 4, 4, canvas, alloc, 3)},
        {"count not the canvas area", datFile(6, 8, 15, 4, 4, none, none, 15)},
        {"rectangle past 32 bits", datFile(4, 8, 4, 4, 4, canvas, {2147483646, 0, 2, 2}, 4)},
        {"count overflowing the byte size",
         datFile(6, 8, 2147483647ull * 2147483647ull, 2147483647, 2147483647, none, none, 0)},
    };
    QXMessage::Capture messages;
    const unsigned long long before = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    for (const auto& [what, bytes] : cases) {
        SCOPED_TRACE(what);
        ASSERT_TRUE(celtest::writeFile(path, bytes));
        CELIO_RepresentationList list;
        EXPECT_FALSE(dat.read(path, CEL_Context(), list));
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before);
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join(QLatin1Char('|')).toStdString();
    // The unchanged file reads.
    ASSERT_TRUE(celtest::writeFile(path, good));
    CELIO_RepresentationList list;
    EXPECT_TRUE(dat.read(path, CEL_Context(), list));
}

TEST(RawFiles, FailedWriteKeepsTheEarlierFile) {
    celtest::TempDir dir;
    const QString path = dir.path("keep.dat");
    const auto cel = celtest::celOf(areaPixmap(Math::Box2di(0, 0, 8, 8), Math::Box2di(0, 0, 8, 8)));
    ASSERT_TRUE(dat.write(cel.get(), path, QString()));
    const QByteArray before = celtest::readFile(path);
    // A folder where the part file would go: the write cannot start.
    ASSERT_TRUE(QDir().mkdir(path + QStringLiteral(".part")));
    const auto smaller = celtest::celOf(areaPixmap(Math::Box2di(0, 0, 2, 2), Math::Box2di(0, 0, 2, 2)));
    EXPECT_FALSE(dat.write(smaller.get(), path, QString()));
    EXPECT_EQ(celtest::readFile(path), before);
}

TEST(RawDepth, ValuesNegatedInsideTheirRangeOnReadingStoredAsTheyAreOnWriting) {
    celtest::TempDir dir;
    const QString path = dir.path("d.raw");
    // Values (the vector body and its tail) against the rule one by one, with
    // the bounds, NaN and infinities among them: negated inside, else no depth.
    std::mt19937 rng(7);
    std::vector<float> values(1003);
    for (float& v : values) v = std::ldexp(float(int(rng() % 2001) - 1000), int(rng() % 70) - 20);
    const float specials[] = {-1e10f, 1e10f,   std::nextafter(1e10f, 0.0f), NAN, INFINITY, -INFINITY,
                              0.0f,   -FLT_MAX};
    for (size_t i = 0; i < std::size(specials); ++i) values[i * 97] = specials[i];
    ASSERT_TRUE(celtest::writeFile(path, depthFile(17, 59, values)));
    CELIO_RepresentationList list;
    ASSERT_TRUE(raw.read(path.toStdString(), list));
    const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(list.front().get());
    ASSERT_TRUE(z);
    EXPECT_EQ(z->allocatedRect(), Math::Box2di(0, 0, 17, 59));
    float wantLo = FLT_MAX, wantHi = -FLT_MAX;
    int mismatches = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        const float v = values[i];
        const bool inside = v > -1e10f && v < 1e10f;
        const float want = inside ? -v : CEL_PixelFloat::Zero;
        if (inside) wantLo = std::min(wantLo, want), wantHi = std::max(wantHi, want);
        mismatches += std::memcmp(&z->data()[i].value, &want, 4) != 0;
    }
    EXPECT_EQ(mismatches, 0);
    double lo = 0, hi = 0;
    z->getZRange(lo, hi);
    EXPECT_EQ(lo, wantLo);
    EXPECT_EQ(hi, wantHi);

    // Written: the canvas of a buffer allocated over part of it and beyond, as stored.
    auto* part = new CEL_PixmapAreaZ(3, 2);
    part->realloc(Math::Box2di(1, 0, 3, 1), false);
    part->data()[0] = 1.5f, part->data()[1] = -2.0f, part->data()[2] = 9.0f;
    ASSERT_TRUE(raw.write(celtest::celOf(part).get(), path, QStringLiteral("raw"))); // the code in any case
    const float none = CEL_PixelFloat::Zero;
    EXPECT_EQ(celtest::readFile(path), depthFile(3, 2, {none, 1.5f, -2.0f, none, none, none}));
}

TEST(RawDepth, RefusalsAndTheirMessages) {
    celtest::TempDir dir;
    const QString path = dir.path("r.raw"), errors = dir.path("stderr.txt");
    const auto zcel = celtest::celOf(new CEL_PixmapAreaZ(2, 2)); // no data
    const auto rgba = celtest::celOf(new CEL_PixmapRGBA8(2, 2));
    bool wrongCode = true, noDepth = true, noData = true;
    {
        celtest::StdStreamRedirect quiet(2, errors);
        wrongCode = raw.write(zcel.get(), path, QStringLiteral("TGA"));
        noDepth = raw.write(rgba.get(), path, QStringLiteral("RAW"));
        noData = raw.write(zcel.get(), path, QStringLiteral("RAW"));
    }
    EXPECT_FALSE(wrongCode || noDepth || noData);
    EXPECT_EQ(celtest::readFile(errors), QByteArray("This is not a RAW format.\n"
                                                    "Unable to convert cel to PIXMAP_AREA_ZBUF\n in "
                                                    "CELIO_UioRawFloatHandler::write"));
    EXPECT_FALSE(QFile::exists(path));

    QXMessage::Capture messages;
    const unsigned long long before = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    for (const QByteArray& bytes :
         {depthFile(3, 3, std::vector<float>(8, 1.0f)), depthFile(-3, 3, {}), depthFile(0, 5, {}),
          QByteArray("\x01\x00", 2), depthFile(1 << 30, 1 << 30, std::vector<float>(4, 1.0f))}) {
        ASSERT_TRUE(celtest::writeFile(path, bytes));
        CELIO_RepresentationList list;
        EXPECT_FALSE(raw.read(path, CEL_Context(), list));
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), before);
    EXPECT_TRUE(messages.texts().isEmpty());
}
