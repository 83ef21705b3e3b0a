// Every registered handler that writes: each of its option codes is written,
// read back through the manager and compared with what was written. A new
// handler takes part by being registered; a lossy format adds a row to the
// tolerance table.
#include <QDateTime>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <vector>

#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// How a format's read-back is compared with the source.
enum class Compare {
    AsStored,    // channel for channel
    Premultiply, // the file holds straight colour: premultiply the read-back first
    OpaqueOnly,  // no alpha in the file: only pixels opaque in the source count
};
struct Rule {
    int tolerance; // largest allowed difference of one channel (lossy: of the mean difference)
    Compare compare;
    bool lossy = false;
};

// Keyed by option code, else by main extension (upper case); default below.
Rule ruleFor(const QString& code, const QString& ext) {
    static const std::map<QString, Rule> table = {
        {QStringLiteral("TGA"), {0, Compare::AsStored}},
        {QStringLiteral("PNG4"), {2, Compare::Premultiply}},
        {QStringLiteral("JPG"), {20, Compare::OpaqueOnly, true}}, // the noisy half costs JPEG dearly
    };
    auto it = table.find(code.toUpper());
    if (it == table.end()) it = table.find(ext);
    return it == table.end() ? Rule{1, Compare::AsStored} : it->second;
}

// Odd-sized content with what trips encoders up: long runs, noise, pixels
// that differ only in alpha, a transparent region and soft edges.
// Colour is premultiplied (never above alpha).
CEL_PixmapRGBA8* sampleImage(int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    unsigned seed = 99;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            uint8_t a = uint8_t(x < w / 4 ? 0 : std::min(255, (x - w / 4) * 12));
            if (y % 7 == 3) a = uint8_t(200 + (x & 1)); // alpha-only differences
            const auto c = [&](int v) { return uint8_t(std::min<int>(v & 255, a)); };
            const int noise = y > h / 2 ? int(seed >> 24) : 0;
            *p->pixel(x, y) = CEL_PixelRGBA8{c(x * 5 + noise), c(y * 9), c(128 + noise / 2), a};
        }
    }
    return p;
}

int channelsOf(const QString& code, const CELIO_Info& info, CELIO_State state) {
    if (state == CELIO_STATE_OK && info.channels) return int(info.channels);
    if (code.endsWith(QLatin1Char('1'))) return 1;
    if (code.endsWith(QLatin1Char('3'))) return 3;
    return 4;
}

} // namespace

TEST(RoundTripAll, EveryHandlerEveryCode) {
    qxCelAddPixmapHandler();
    CELIO_Manager* manager = CELIO_Manager::getInstance();
    celtest::TempDir dir;
    const int w = 67, h = 45;
    UT_SharedPtr<CEL_Cel> source(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    source->addRepresentation(UT_SharedPtr<CEL_Representation>(sampleImage(w, h)));
    const auto* want =
        dynamic_cast<CEL_PixmapRGBA8*>(source->findRepresentation(CEL_Representation::PIXMAP_RGBA8).get());
    const auto wantMatte = source->convertTo(CEL_Representation::PIXMAP_MATTE8);
    ASSERT_TRUE(want && wantMatte);

    int tried = 0;
    for (const CELIO_Handler* handler : manager->handlers()) {
        const QStringList writeExts = handler->getWriteExtensions();
        if (writeExts.isEmpty()) continue;
        const QString ext = handler->getExtensions().front();
        QStringList codes = handler->getWriteOptionCodes();
        if (codes.isEmpty()) codes << QString(); // the manager's default
        for (const QString& code : codes) {
            SCOPED_TRACE(qPrintable(QStringLiteral("%1 code '%2'").arg(ext, code)));
            ++tried;
            const QString path =
                dir.path(QStringLiteral("rt_%1_%2.%3").arg(ext, code, writeExts.front().toLower()));
            bool written = false;
            try {
                written = manager->write(source.get(), path, ext, code);
            } catch (int e) {
                ADD_FAILURE() << "write threw " << e;
            }
            ASSERT_TRUE(written);

            QDateTime modified;
            CELIO_Info info;
            const CELIO_State state = manager->loadInfo(path, modified, CEL_Context(), info);
            EXPECT_NE(state, CELIO_STATE_FAILED);
            if (state == CELIO_STATE_OK) {
                EXPECT_EQ(info.width, uint32_t(w));
                EXPECT_EQ(info.height, uint32_t(h));
            }

            CELIO_RepresentationList list;
            ASSERT_TRUE(manager->read(path, modified, CEL_Context(), list));
            ASSERT_FALSE(list.empty());
            UT_SharedPtr<CEL_Cel> back(new CEL_Cel(list.front()->getFormat()));
            for (const auto& rep : list) back->addRepresentation(rep);

            const int channels = channelsOf(code, info, state);
            const Rule rule = ruleFor(code, ext);
            int worst = 0;
            double total = 0;
            long count = 0;
            if (channels == 1) {
                const auto* got =
                    dynamic_cast<CEL_PixmapMatte8*>(back->convertTo(CEL_Representation::PIXMAP_MATTE8).get());
                const auto* ref = dynamic_cast<CEL_PixmapMatte8*>(wantMatte.get());
                ASSERT_TRUE(got);
                ASSERT_EQ(got->width(), w);
                ASSERT_EQ(got->height(), h);
                for (int i = 0; i < w * h; ++i) {
                    const int d = std::abs(got->data()[i] - ref->data()[i]);
                    worst = std::max(worst, d);
                    total += d;
                    ++count;
                }
            } else {
                const auto* got =
                    dynamic_cast<CEL_PixmapRGBA8*>(back->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
                ASSERT_TRUE(got);
                ASSERT_EQ(got->width(), w);
                ASSERT_EQ(got->height(), h);
                for (int i = 0; i < w * h; ++i) {
                    CEL_PixelRGBA8 g = got->data()[i];
                    const CEL_PixelRGBA8 r = want->data()[i];
                    if (rule.compare == Compare::OpaqueOnly && r.a != 255) continue;
                    if (rule.compare == Compare::Premultiply) {
                        const auto pm = [&g](uint8_t c) { return uint8_t((c * g.a + 127) / 255); };
                        g = CEL_PixelRGBA8{pm(g.r), pm(g.g), pm(g.b), g.a};
                    }
                    const int d[4] = {std::abs(g.r - r.r), std::abs(g.g - r.g), std::abs(g.b - r.b),
                                      channels == 4 ? std::abs(g.a - r.a) : 0};
                    for (int c = 0; c < 4; ++c) worst = std::max(worst, d[c]);
                    total += d[0] + d[1] + d[2] + d[3];
                    count += channels == 4 ? 4 : 3;
                }
            }
            if (rule.lossy)
                EXPECT_LE(count ? total / double(count) : 0.0, double(rule.tolerance)) << "worst " << worst;
            else
                EXPECT_LE(worst, rule.tolerance);
        }
    }
    EXPECT_GE(tried, 4); // at least the TGA codes
}
