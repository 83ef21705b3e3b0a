// Every registered handler that writes: each of its option codes is written,
// read back through the manager and compared with what was written, and the
// written files, cut short or damaged, must fail cleanly. A new handler takes
// part by being registered; a lossy or reshaping format adds a row to the
// rule table.
#include <QDateTime>
#include <QFile>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "HandlerTestUtil.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "cel/VectorQvd.h"
#include "celio/ByteTestSupport.h"
#include "celio/Manager.h"
#include "celio/handlers/IffHandler.h"
#include "celio/handlers/OmfHandler.h"
#include "celio/handlers/QvdHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "support/TestSupport.h"
#include "support/VectorTestUtil.h"

namespace {

enum class Compare {
    AsStored, // channel for channel
    Straight, // the file holds straight colour: compare with the source un-premultiplied
    // A fixed-frame format: the read-back is its own canvas with the picture
    // centred in it, opaque colour as stored (lossy: the tolerance bounds the
    // mean difference per channel) and black around it.
    CentredFrame,
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
        {QStringLiteral("OMF"), {0}}, // RGB as stored: the premultiplied colour exactly
        {QStringLiteral("OMFJPEG"), {-1}},
        {QStringLiteral("PAL"), {20, Compare::CentredFrame}},
        {QStringLiteral("YUV"), {20, Compare::CentredFrame}},
    };
    auto it = table.find(code.toUpper());
    if (it == table.end()) it = table.find(ext);
    return it == table.end() ? Rule{1} : it->second;
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

// A fixed-frame read-back: a canvas at least w x h, opaque, black outside the
// centred w x h picture, whose colour is the source's as stored within a mean
// difference of `tolerance` per channel.
void expectCentredFrame(const CEL_Representation* rep, const CEL_PixelRGBA8* want, int w, int h,
                        int tolerance) {
    const auto* back = dynamic_cast<const CEL_PixmapRGBA8*>(rep);
    ASSERT_TRUE(back && back->width() >= w && back->height() >= h && want);
    const int left = (back->width() - w) / 2, top = (back->height() - h) / 2;
    double sum[3] = {0, 0, 0};
    for (int y = 0; y < back->height(); ++y)
        for (int x = 0; x < back->width(); ++x) {
            const CEL_PixelRGBA8 g = *back->pixel(x, y);
            ASSERT_EQ(g.a, 255);
            const bool inside = x >= left && x < left + w && y >= top && y < top + h;
            // The resampling and the chroma filter reach one pixel out.
            const bool near = x >= left - 2 && x < left + w + 2 && y >= top - 2 && y < top + h + 2;
            if (!near) {
                ASSERT_TRUE(g.r == 0 && g.g == 0 && g.b == 0) << x << "," << y;
            }
            if (!inside) continue;
            const CEL_PixelRGBA8 r = want[size_t(y - top) * w + size_t(x - left)];
            sum[0] += std::abs(g.r - r.r), sum[1] += std::abs(g.g - r.g), sum[2] += std::abs(g.b - r.b);
        }
    for (double s : sum) EXPECT_LE(s / (double(w) * h), tolerance);
}

// The codes a handler writes: its list, else the distinct codes
// getWriteOptionsCode gives for the flags it can honour, else the manager's
// default (an empty code).
QStringList codesOf(const CELIO_Handler* handler) {
    QStringList codes = handler->getWriteOptionCodes();
    if (!codes.isEmpty()) return codes;
    CELIO_WriteOptions can;
    handler->getWriteOptions(can);
    const bool flags[4] = {can.singleChannel, can.alpha, can.deepPixels, can.compressed};
    for (int m = 0; m < 16; ++m) {
        if ((m & 1 && !flags[0]) || (m & 2 && !flags[1]) || (m & 4 && !flags[2]) || (m & 8 && !flags[3]))
            continue;
        CELIO_WriteOptions o;
        o.singleChannel = m & 1, o.alpha = m & 2, o.deepPixels = m & 4, o.compressed = m & 8;
        const QString code = handler->getWriteOptionsCode(o);
        if (!code.isEmpty() && !codes.contains(code)) codes << code;
    }
    if (codes.isEmpty()) codes << QString();
    return codes;
}

bool writesVectors(const QString& ext) {
    const CELIO_Handler* h = CELIO_Manager::getInstance()->findHandler(ext);
    return h && h->formatClass() == CELIO_VectorFormat;
}

// What the vector handlers write: a drawing, and the optimised version of it.
const UT_SharedPtr<CEL_Cel>& vectorSample() {
    static const UT_SharedPtr<CEL_Cel> cel = [] {
        auto* drawing = new CELVEC_Qvd;
        vectortest::busyDrawing(*drawing->getDrawingObject(), 5, 8, 21);
        UT_SharedPtr<CEL_Cel> c(new CEL_Cel(CEL_Representation::VECTOR));
        c->addRepresentation(UT_SharedPtr<CEL_Representation>(drawing));
        const std::unique_ptr<CELVEC_OptimizedQvd> version(
            CELVEC_OptimizedQvd::buildOptimizedVersion(drawing, nullptr, true, true, true, 2.0f));
        c->addRepresentation(UT_SharedPtr<CEL_Representation>(new CELVEC_Qvdo(version->optimizedDrawing())));
        return c;
    }();
    return cel;
}

// The bytes a vector cel stores in the family's format.
QByteArray vectorBytes(const UT_SharedPtr<CEL_Cel>& cel, const QString& ext) {
    if (const auto drawing = cel->findBestVectorRepresentation(); drawing && ext == QLatin1String("QVX"))
        return drawing->getDrawingObject()->StoreToBytes(0);
    const auto* o =
        dynamic_cast<const CELVEC_Qvdo*>(cel->findRepresentation(CEL_Representation::VECTOR_OPTIMIZED).get());
    return o ? o->drawing()->StoreToBytes() : QByteArray();
}

// Calls f(handler, main extension, code, file path) for every code of every
// handler that writes, after writing the sample there (vector handlers write
// the vector sample).
template <class F>
int forEveryWrittenFile(const celtest::TempDir& dir, const UT_SharedPtr<CEL_Cel>& pixels, F f) {
    qxCelAddPixmapHandler();
    qxCelAddQvdHandler();
    CELIO_Manager* manager = CELIO_Manager::getInstance();
    // The OMF handler, which applications add themselves.
    if (!manager->findHandler(QStringLiteral("OMF"))) manager->addHandler(new QXCelUioOmfHandler);
    // Writers that take a 16-bit pixmap as the cel holds it (no conversion) get one.
    pixels->convertTo(CEL_Representation::PIXMAP_RGBA16);
    int tried = 0;
    for (const CELIO_Handler* handler : manager->handlers()) {
        if (handler->getWriteExtensions().isEmpty()) continue;
        const QString ext = handler->getExtensions().front();
        const UT_SharedPtr<CEL_Cel>& source = writesVectors(ext) ? vectorSample() : pixels;
        for (const QString& code : codesOf(handler)) {
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
            EXPECT_TRUE(written);
            if (written) f(ext, code, path);
        }
    }
    return tried;
}

} // namespace

TEST(RoundTripAll, EveryHandlerEveryCode) {
    celtest::TempDir dir;
    const int w = 67, h = 45;
    const auto source = celtest::celOf(sampleImage(w, h));
    // Single-channel output is compared with the source's own matte.
    const auto grey = celtest::celOf(
        dynamic_cast<CEL_Pixmap*>(source->getWorkingCopy(CEL_Representation::PIXMAP_MATTE8).get()->clone()));
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const int tried =
        forEveryWrittenFile(dir, source, [&](const QString& ext, const QString& code, const QString& path) {
            QDateTime modified;
            if (writesVectors(ext)) { // drawings come back as they were stored
                CELIO_RepresentationList list;
                const CM_SharedPtr<CM_PaletteList> palettes(new CM_PaletteList); // an interactive host's
                ASSERT_TRUE(manager->read(path, modified,
                                          CEL_Context(false, false, false, palettes.get(), 0, QString(), 1.0),
                                          list));
                UT_SharedPtr<CEL_Cel> back(new CEL_Cel(list.front()->getFormat()));
                back->addRepresentation(list.front());
                EXPECT_EQ(vectorBytes(back, ext), vectorBytes(vectorSample(), ext));
                EXPECT_EQ(celtest::readFile(path), vectorBytes(vectorSample(), ext));
                // A raster cel is not a drawing: nothing is written.
                const QString none = path + QStringLiteral(".raster.") + ext.toLower();
                EXPECT_FALSE(manager->write(source.get(), none, ext, code));
                EXPECT_FALSE(QFile::exists(none));
                return;
            }
            CELIO_Info info;
            const CELIO_State state = manager->loadInfo(path, modified, CEL_Context(), info);
            ASSERT_NE(state, CELIO_STATE_FAILED);
            const Rule rule = ruleFor(code, ext);
            if (rule.compare == Compare::CentredFrame) {
                CELIO_RepresentationList list;
                ASSERT_TRUE(manager->read(path, modified, CEL_Context(), list));
                expectCentredFrame(list.front().get(), rgbaOf(source), w, h, rule.tolerance);
                return;
            }
            EXPECT_TRUE(state != CELIO_STATE_OK || (info.width == uint32_t(w) && info.height == uint32_t(h)));
            CELIO_RepresentationList list;
            ASSERT_TRUE(manager->read(path, modified, CEL_Context(), list));
            const auto* backPm = dynamic_cast<const CEL_Pixmap*>(list.front().get());
            ASSERT_TRUE(backPm && backPm->width() == w && backPm->height() == h);

            const int channels = state == CELIO_STATE_OK && info.channels ? int(info.channels)
                                 : code.endsWith(QLatin1Char('1'))        ? 1
                                 : code.endsWith(QLatin1Char('3'))        ? 3
                                                                          : 4;
            UT_SharedPtr<CEL_Cel> back(new CEL_Cel(list.front()->getFormat()));
            back->addRepresentation(list.front());
            const CEL_PixelRGBA8* got = rgbaOf(back);
            const CEL_PixelRGBA8* want = rgbaOf(channels == 1 ? grey : source);
            ASSERT_TRUE(got && want);
            if (rule.tolerance < 0) return;
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
        });
    EXPECT_GE(tried, 4); // at least the TGA codes
}

// Every written file cut short and damaged with seeded random bytes: the
// header query and the read may fail, but never crash, leak (under the
// sanitizers) or print anything of their own on standard error.
TEST(RoundTripAll, DamagedFilesFailCleanly) {
    celtest::TempDir dir;
    const auto source = celtest::celOf(sampleImage(23, 11));
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const QString damaged = dir.path(QStringLiteral("damaged")),
                  errors = dir.path(QStringLiteral("stderr.txt"));
    // The library's own reports are fine: messages, the TIFF and IFF readers' diagnostics.
    QXMessage::Capture messages;
    std::ostringstream diagnostics;
    QxCelUioTiffHandler::setDiagnosticStream(&diagnostics);
    QxCelUioIffHandler::setDiagnosticStream(&diagnostics);
    const QtMessageHandler qtWarnings =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    std::mt19937 rng(4);
    // A batch process: drawings load without a palette list.
    const bool interactive = WHO_Identity::isInteractive();
    WHO_Identity::setInteractive(false);
    std::optional<celtest::StdStreamRedirect> quiet(std::in_place, 2, errors); // every handler's output
    forEveryWrittenFile(dir, source, [&](const QString&, const QString&, const QString& path) {
        const QByteArray good = celtest::readFile(path);
        const QString file = damaged + QLatin1Char('.') + path.section(QLatin1Char('.'), -1);
        for (int round = 0; round < 160; ++round) {
            QByteArray bad = good.left(round < 40 ? round * good.size() / 40 : good.size());
            for (int k = 0; round >= 40 && k < 1 + round % 4; ++k)
                bad[qsizetype(rng() % bad.size())] = char(rng());
            celtest::writeFile(file, bad);
            QDateTime modified;
            CELIO_Info info;
            CELIO_RepresentationList list;
            try {
                manager->loadInfo(file, modified, CEL_Context(), info);
            } catch (int) { // a header cut short
            }
            manager->read(file, modified, list);
        }
    });
    quiet.reset();
    WHO_Identity::setInteractive(interactive);
    qInstallMessageHandler(qtWarnings);
    QxCelUioTiffHandler::setDiagnosticStream(nullptr);
    QxCelUioIffHandler::setDiagnosticStream(nullptr);
    EXPECT_EQ(celtest::readFile(errors), QByteArray());
}
