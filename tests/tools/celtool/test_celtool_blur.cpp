// celtool filter --blur: each kind is the library's blur; bad words fail before writing.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "CeltoolTestUtil.h"
#include "algo/filters/Blur.h"
#include "pixel/PixmapArea.h"

namespace {

using celtest::celtool;

// A translucent picture in which no pixel is empty (so the tool's working area
// is the whole canvas), as a 32-bit TGA file.
QByteArray pictureTga(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<CEL_PixelRGBA8> p(std::size_t(w) * h);
    for (auto& px : p) {
        const uint8_t a = uint8_t(1 + rng() % 255);
        px = CEL_PixelRGBA8{uint8_t(rng() % (a + 1)), uint8_t(rng() % (a + 1)), uint8_t(rng() % (a + 1)), a};
    }
    return celtest::tgaOf(p, w, h);
}

// The raw 16-bit values of a `dump --depth 16` (or --raw16) file as an area pixmap.
std::unique_ptr<CEL_PixmapAreaRGBA16> areaOf(const QByteArray& raw, int w, int h) {
    auto p = std::make_unique<CEL_PixmapAreaRGBA16>(w, h);
    p->realloc(p->canvasRect(), false);
    EXPECT_EQ(raw.size(), qsizetype(w) * h * 8);
    std::memcpy(p->data(), raw.constData(),
                std::min<std::size_t>(std::size_t(raw.size()), std::size_t(w) * h * 8));
    return p;
}

// The canvas values of an area pixmap as raw 16-bit bytes.
QByteArray rawOf(const CEL_PixmapAreaRGBA16& p) {
    std::unique_ptr<CEL_Representation> canvas(p.convertTo(CEL_Representation::PIXMAP_RGBA16));
    const auto* c = static_cast<const CEL_PixmapRGBA16*>(canvas.get());
    return QByteArray(reinterpret_cast<const char*>(c->data()), qsizetype(c->width()) * c->height() * 8);
}

} // namespace

TEST(CeltoolBlur, EachKindIsTheLibraryBlur) {
    celtest::TempDir dir;
    const int w = 48, h = 40;
    const QString in = dir.path("in.tga"), map = dir.path("map.tga"), inRaw = dir.path("in.raw");
    ASSERT_TRUE(celtest::writeFile(in, pictureTga(w, h, 1)));
    ASSERT_TRUE(celtest::writeFile(map, pictureTga(w, h, 2)));
    ASSERT_EQ(celtool({"dump", "--depth", "16", in, inRaw}).exit, 0);
    ASSERT_EQ(celtool({"dump", "--depth", "16", map, dir.path("map.raw")}).exit, 0);
    const QByteArray source = celtest::readFile(inRaw);
    const auto strength = areaOf(celtest::readFile(dir.path("map.raw")), w, h);

    using Blur = std::function<CEL_PixmapAreaRGBA16*(CEL_PixmapAreaRGBA16*)>;
    const auto inPlace = [](auto fn) {
        return Blur([fn](CEL_PixmapAreaRGBA16* p) {
            fn(p);
            return p;
        });
    };
    const std::vector<std::pair<QString, Blur>> cases = {
        {"radial:3.5",
         inPlace([](auto* p) { CelAlgo::radialBlur(p, 3.5, CelAlgo::QUALITY_FOUR_PASSES, 0, false); })},
        {"radial:4:q1:alpha",
         inPlace([](auto* p) { CelAlgo::radialBlur(p, 4.0, CelAlgo::QUALITY_EIGHT_PASSES, 0, true); })},
        {"gaussian:3", inPlace([](auto* p) {
             CelAlgo::radialBlur(p, CelAlgo::radialRadiusForSigma(3.0), CelAlgo::QUALITY_FOUR_PASSES, 0,
                                 false);
         })},
        {"flicker:2.5", [](auto* p) { return CelAlgo::flickerBlur(p, 2.5); }},
        {"directional:200:6.5:0.5:t:s",
         [](auto* p) { return CelAlgo::directionalBlur(p, 200.0, 6.5, 0.5, 0.0, true, true, false); }},
        {"variable:1:5:" + map + ":2:keep",
         inPlace([&](auto* p) { CelAlgo::variableBlur(p, strength.get(), 1.0, 5.0, 2, true, false); })},
        {"variable:0:4:self", inPlace([](auto* p) {
             const std::unique_ptr<CEL_PixmapAreaRGBA16> self(p->clone());
             CelAlgo::variableBlur(p, self.get(), 0.0, 4.0, false, CelAlgo::QUALITY_FOUR_PASSES, 0.0);
         })},
    };
    for (const auto& [word, blur] : cases) {
        const QString raw = dir.path("out.raw");
        const celtest::ToolRun r = celtool({"filter", "--keep-values", "--blur", word, "--raw16", raw, in});
        ASSERT_EQ(r.exit, 0) << qPrintable(word) << r.err.constData();
        auto p = areaOf(source, w, h);
        std::unique_ptr<CEL_PixmapAreaRGBA16> result;
        CEL_PixmapAreaRGBA16* out = blur(p.get());
        if (out != p.get()) result.reset(out);
        EXPECT_EQ(celtest::readFile(raw), rawOf(*out)) << qPrintable(word);
    }
}

TEST(CeltoolBlur, BadWordsAndRefusals) {
    celtest::TempDir dir;
    const QString in = dir.path("in.tga"), out = dir.path("out.tga");
    ASSERT_TRUE(celtest::writeFile(in, pictureTga(30, 20, 3)));
    ASSERT_TRUE(celtest::writeFile(dir.path("small.tga"), pictureTga(10, 10, 4)));
    const QByteArray before("untouched");
    ASSERT_TRUE(celtest::writeFile(out, before));
    // Exit 2 with the synopsis, before anything is read.
    celtest::expectUsageErrors(
        {"filter", "--blur"},
        celtest::argLists("box:3|radial|radial:nan|radial:0|radial:3:0|radial:3:65|radial:3:q2|radial:3:beta|"
                          "gaussian:0|flicker:inf|directional:30|directional:30:0|directional:30:5:1.5|"
                          "directional:30:5:x|directional:nan:5|variable:1:2|variable:1:nan:m.png|"
                          "variable:1:2:m.png:q3|variable:1:2:m.png:keep:more"),
        {in, out}, out, "usage: celtool filter");
    // Exit 1 with one message: the library's refusal, a missing map, a map of another size.
    const std::pair<QString, QString> refusals[] = {
        {"flicker:10", "radius too large"},
        {"variable:0:3:" + dir.path("missing.tga"), "missing.tga"},
        {"variable:0:3:" + dir.path("small.tga"), "10x10"},
    };
    for (const auto& [word, cause] : refusals) {
        const celtest::ToolRun r = celtool({"filter", "--blur", word, in, out});
        EXPECT_EQ(r.exit, 1) << qPrintable(word);
        ASSERT_EQ(r.errLines().size(), 1) << qPrintable(word) << ": " << r.err.constData();
        EXPECT_TRUE(r.err.contains(cause.toUtf8())) << r.err.constData();
        EXPECT_EQ(celtest::readFile(out), before) << qPrintable(word);
    }
    // Any number of blurs, in order.
    EXPECT_EQ(celtool({"filter", "--blur", "radial:2", "--blur", "flicker:3", "--flip", "x", in, out}).exit,
              0);
}
