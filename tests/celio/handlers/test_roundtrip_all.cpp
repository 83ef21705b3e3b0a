// Every registered handler that writes: each of its option codes is written,
// read back through the manager and compared with what was written. A new
// handler takes part by being registered; a lossy or reshaping format adds a
// row to the rule table.
#include <QDateTime>
#include <gtest/gtest.h>
#include <map>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

enum class Compare {
    AsStored, // channel for channel
    Straight, // the file holds straight colour: compare with the source un-premultiplied
};
struct Rule {
    int tolerance; // largest difference of one channel; -1: lossy, only the size is checked
    Compare compare = Compare::AsStored;
};

// Keyed by option code, else by main extension; default {1}.
Rule ruleFor(const QString& code, const QString& ext) {
    static const std::map<QString, Rule> table = {
        {QStringLiteral("TGA"), {0}},
        {QStringLiteral("PNG4"), {2, Compare::Straight}},
        {QStringLiteral("BMP4"), {2, Compare::Straight}},
        {QStringLiteral("JPG"), {-1}},
    };
    auto it = table.find(code.toUpper());
    if (it == table.end()) it = table.find(ext);
    return it == table.end() ? Rule{1} : it->second;
}

UT_SharedPtr<CEL_Cel> celOf(const UT_SharedPtr<CEL_Representation>& rep) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(rep->getFormat()));
    cel->addRepresentation(rep);
    return cel;
}

const CEL_PixelRGBA8* rgbaOf(const UT_SharedPtr<CEL_Cel>& cel) {
    const auto* p = dynamic_cast<CEL_PixmapRGBA8*>(cel->convertTo(CEL_Representation::PIXMAP_RGBA8).get());
    return p ? p->data() : nullptr;
}

// Odd-sized premultiplied content with what trips encoders up: long runs,
// noise, pixels that differ only in alpha, a transparent band, soft edges.
CEL_PixmapRGBA8* sampleImage(int w, int h) {
    auto* p = new CEL_PixmapRGBA8(w, h);
    unsigned seed = 99;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int a = y % 7 == 3 ? 200 + (x & 1) : std::clamp((x - w / 4) * 12, 0, 255);
            const int noise = y > h / 2 ? int(seed >> 24) : 0;
            const auto c = [a](int v) { return uint8_t(std::min(v & 255, a)); };
            *p->pixel(x, y) = CEL_PixelRGBA8{c(x * 5 + noise), c(y * 9), c(128 + noise / 2), uint8_t(a)};
        }
    return p;
}

} // namespace

TEST(RoundTripAll, EveryHandlerEveryCode) {
    qxCelAddPixmapHandler();
    CELIO_Manager* manager = CELIO_Manager::getInstance();
    celtest::TempDir dir;
    const int w = 67, h = 45;
    const auto source = celOf(sampleImage(w, h));
    // Single-channel output is compared with the source's own matte.
    const auto grey = celOf(source->getWorkingCopy(CEL_Representation::PIXMAP_MATTE8));
    int tried = 0;
    for (const CELIO_Handler* handler : manager->handlers()) {
        if (handler->getWriteExtensions().isEmpty()) continue;
        const QString ext = handler->getExtensions().front();
        QStringList codes = handler->getWriteOptionCodes();
        if (codes.isEmpty()) codes << QString(); // the manager's default
        for (const QString& code : codes) {
            SCOPED_TRACE(qPrintable(QStringLiteral("%1 code '%2'").arg(ext, code)));
            ++tried;
            const QString path =
                dir.path(QStringLiteral("rt_%1.%2").arg(code, handler->getWriteExtensions().front()));
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
            ASSERT_NE(state, CELIO_STATE_FAILED);
            EXPECT_TRUE(state != CELIO_STATE_OK || (info.width == uint32_t(w) && info.height == uint32_t(h)));
            CELIO_RepresentationList list;
            ASSERT_TRUE(manager->read(path, modified, CEL_Context(), list));
            ASSERT_FALSE(list.empty());
            const auto back = celOf(list.front());
            const auto* backPm = dynamic_cast<const CEL_Pixmap*>(list.front().get());
            ASSERT_TRUE(backPm && backPm->width() == w && backPm->height() == h);

            const int channels = state == CELIO_STATE_OK && info.channels ? int(info.channels)
                                 : code.endsWith(QLatin1Char('1'))        ? 1
                                 : code.endsWith(QLatin1Char('3'))        ? 3
                                                                          : 4;
            const Rule rule = ruleFor(code, ext);
            const CEL_PixelRGBA8* got = rgbaOf(back);
            const CEL_PixelRGBA8* want = rgbaOf(channels == 1 ? grey : source);
            ASSERT_TRUE(got && want);
            if (rule.tolerance < 0) continue;
            int worst = 0;
            for (int i = 0; i < w * h; ++i) {
                const CEL_PixelRGBA8 g = got[i];
                CEL_PixelRGBA8 r = want[i];
                if (rule.compare == Compare::Straight) {
                    if (r.a == 0) continue; // no colour to recover
                    const auto un = [&r](uint8_t c) { return uint8_t(std::min(255, c * 255 / r.a)); };
                    r = CEL_PixelRGBA8{un(r.r), un(r.g), un(r.b), r.a};
                }
                const int d[4] = {std::abs(g.r - r.r), std::abs(g.g - r.g), std::abs(g.b - r.b),
                                  channels == 4 ? std::abs(g.a - r.a) : 0};
                for (int c = 0; c < 4; ++c) worst = std::max(worst, d[c]);
            }
            EXPECT_LE(worst, rule.tolerance);
        }
    }
    EXPECT_GE(tried, 4); // at least the TGA codes
}
