#include "celio/handlers/IffHandler.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <memory>
#include <mutex>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/handlers/IffImage.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

bool isStandardStream(const QString& path) {
    return path == QLatin1String("-") && !WHO_Identity::isInteractive();
}

// Rows [y1, y2) in parallel, as the compositing passes split them.
template <class Body> void forRows(int y1, int y2, int width, const Body& body) {
    CelAlgo::detail::parallelRows(y1, y2, CelAlgo::detail::rowGrain(y2 - y1), width, body);
}

// The depth loops below select with bit masks instead of branches, so that
// they run in vector lanes (a float comparison in a selection keeps the
// compiler from it). orderKey maps floats to integers of the same order and
// is its own inverse.
int32_t orderKey(int32_t bits) {
    return bits ^ ((bits >> 31) & 0x7FFFFFFF);
}

// The depth pixmap over the colour's box: zMultiplier / d per file depth d
// (buffer rows top row first), no depth for 0 and for what is not a number.
CEL_PixmapAreaZ* depthOver(const float* depth, int width, int height, const Math::Box2di& box,
                           double zMultiplier) {
    auto z = std::make_unique<CEL_PixmapAreaZ>(width, height);
    if (!z->realloc(box, false) || !z->data()) return nullptr;
    CEL_PixelFloat* out = z->data();
    int32_t lo = INT32_MAX, hi = INT32_MIN;
    std::mutex rangeMutex;
    forRows(box.y1(), box.y2(), box.w(), [&](int yBegin, int yEnd) {
        const uint32_t none = std::bit_cast<uint32_t>(CEL_PixelFloat::Zero);
        int32_t rowLo = INT32_MAX, rowHi = INT32_MIN;
        for (int y = yBegin; y < yEnd; ++y) {
            const float* d = depth + size_t(y) * size_t(width) + size_t(box.x1());
            float* o = &out[size_t(y - box.y1()) * size_t(box.w())].value;
            for (int x = 0; x < box.w(); ++x) {
                const uint32_t v = std::bit_cast<uint32_t>(float(zMultiplier / double(d[x])));
                const uint32_t m = std::bit_cast<uint32_t>(d[x]) & 0x7FFFFFFFu; // not 0, not NaN:
                const uint32_t keep = 0u - uint32_t((m != 0) & (m <= 0x7F800000u));
                o[x] = std::bit_cast<float>((v & keep) | (none & ~keep));
                const uint32_t key = uint32_t(orderKey(int32_t(v)));
                rowLo = std::min(rowLo, int32_t((key & keep) | (0x7FFFFFFFu & ~keep)));
                rowHi = std::max(rowHi, int32_t((key & keep) | (0x80000000u & ~keep)));
            }
        }
        std::lock_guard<std::mutex> lock(rangeMutex);
        lo = std::min(lo, rowLo);
        hi = std::max(hi, rowHi);
    });
    if (lo > hi) // nothing stored
        z->setZRange(FLT_MAX, -FLT_MAX);
    else
        z->setZRange(std::bit_cast<float>(orderKey(lo)), std::bit_cast<float>(orderKey(hi)));
    return z.release();
}

// The file depths of a depth pixmap over a width x height image, top row
// first: 1 / z where it has depth, else 0.
std::unique_ptr<float[]> fileDepths(const CEL_PixmapAreaZ& z, int width, int height) {
    std::unique_ptr<float[]> d(CEL_PixelBuffer::allocate<float>((long long)width * height, false));
    if (!d) return d;
    const Math::Box2di a = z.allocatedRect();
    const CEL_PixelFloat* data = z.data();
    forRows(0, height, width, [&](int yBegin, int yEnd) {
        const uint32_t none = std::bit_cast<uint32_t>(CEL_PixelFloat::Zero);
        for (int y = yBegin; y < yEnd; ++y) {
            float* o = d.get() + size_t(y) * size_t(width);
            std::fill_n(o, width, 0.0f);
            if (!data || y < a.y1() || y >= a.y2()) continue;
            const int x1 = std::max(0, a.x1()), x2 = std::min(width, a.x2());
            const float* row = &data[size_t(y - a.y1()) * size_t(a.w()) + size_t(x1 - a.x1())].value;
            float* to = o + x1;
            for (int x = 0; x < x2 - x1; ++x) {
                const uint32_t inverse = std::bit_cast<uint32_t>(float(1.0 / double(row[x])));
                to[x] =
                    std::bit_cast<float>(inverse & (0u - uint32_t(std::bit_cast<uint32_t>(row[x]) != none)));
            }
        }
    });
    return d;
}

} // namespace

QStringList QxCelUioIffHandler::getExtensions() const {
    return {QStringLiteral("IFF")};
}

QStringList QxCelUioIffHandler::getWriteOptionCodes() const {
    return {};
}

void QxCelUioIffHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.deepPixels = true;
}

QString QxCelUioIffHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    return options.deepPixels ? QStringLiteral("IFF_16") : QStringLiteral("IFF");
}

UT_DynKey QxCelUioIffHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

void QxCelUioIffHandler::setDiagnosticStream(std::ostream* stream) {
    CEL_IffImage::setDiagnosticStream(stream);
}

bool QxCelUioIffHandler::read(const QString& path, const CEL_Context& context,
                              CELIO_RepresentationList& list) const {
    if (isStandardStream(path)) {
        CEL_IffImage::diagnose("IFF images cannot be read from standard input: the codec needs a file\n");
        return false;
    }
    const QString target = oswRemapPath::RemapPath2(path);
    if (target.isEmpty()) return false;
    CEL_IffImage image;
    image.iffctrl(CEL_IffImage::IFF_CTRL_TOP_DOWN | CEL_IffImage::IFF_CTRL_HALF_SAMPLES, true);
    if (!image.iff_load(target)) return false;
    const int width = int(image.width()), height = int(image.height());

    // The codec's buffers become the pixmap's (same layout, top row first).
    std::unique_ptr<CEL_Pixmap> colour;
    if (image.iffgetbpp() == 1) {
        auto p = std::make_unique<CEL_PixmapRGBA8>(width, height, image.releaseColour8());
        if (p->data()) colour = std::move(p);
    } else {
        auto p = std::make_unique<CEL_PixmapRGBA16>(width, height, image.releaseColour16());
        if (p->data()) colour = std::move(p);
    }
    if (!colour) return false;
    if (!image.depth()) {
        list.push_back(UT_SharedPtr<CEL_Representation>(colour.release()));
        return true;
    }

    // With depth: the colour cropped to its content, the depth over the same box.
    std::unique_ptr<CEL_Representation> area(colour->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
    const auto* a = dynamic_cast<const CEL_PixmapAreaRGBA16*>(area.get());
    if (!a) return false;
    colour.reset();
    CEL_PixmapAreaZ* z = depthOver(image.depth(), width, height, a->allocatedRect(), context.zMultiplier());
    if (!z) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(area.release()));
    list.push_back(UT_SharedPtr<CEL_Representation>(z));
    return true;
}

CELIO_State QxCelUioIffHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    if (isStandardStream(path)) {
        CEL_IffImage::diagnose("IFF images cannot be read from standard input: the codec needs a file\n");
        return CELIO_STATE_FAILED;
    }
    CEL_IffImage image;
    if (!image.iff_load_header(oswRemapPath::RemapPath2(path))) return CELIO_STATE_FAILED;
    info.width = image.width();
    info.height = image.height();
    info.optionCode = QStringLiteral("IFF");
    info.description = QString();
    info.bytesPerChannel = uint32_t(image.iffgetbpp());
    info.channels = ((image.ifftype() & CEL_IffImage::IFF_TYPE_RGB) ? 3u : 0u) +
                    ((image.ifftype() & CEL_IffImage::IFF_TYPE_ALPHA) ? 1u : 0u);
    return CELIO_STATE_OK;
}

bool QxCelUioIffHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!cel) return false;
    if (isStandardStream(path)) {
        CEL_IffImage::diagnose("IFF images cannot be written to standard output: the codec needs a file\n");
        return false;
    }
    const QString shape = code.toUpper();
    UT_SharedPtr<CEL_Representation> rep;
    const void* colour = nullptr;
    int bytes = 1, width = 0, height = 0;
    if (shape == QLatin1String("IFF")) {
        rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
        if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get()); p && p->data())
            colour = p->data(), width = p->width(), height = p->height();
    } else if (shape == QLatin1String("IFF_16")) {
        rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
        if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get()); p && p->data())
            colour = p->data(), width = p->width(), height = p->height(), bytes = 2;
    } else {
        CEL_IffImage::diagnose("This is not a IFF format.\n");
    }

    const UT_SharedPtr<CEL_Representation> zRep =
        cel->findRepresentation(CEL_Representation::PIXMAP_AREA_ZBUF);
    const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(zRep.get());
    if (z && !colour) width = z->width(), height = z->height();
    std::unique_ptr<float[]> depth;
    if (z && width > 0 && height > 0) {
        depth = fileDepths(*z, width, height);
        if (!depth) return false;
    }
    if (!colour && !depth) return false;

    CEL_IffImage image(uint32_t(width), uint32_t(height), bytes);
    image.iffctrl(CEL_IffImage::IFF_CTRL_HALF_SAMPLES, true);
    return image.iff_save(oswRemapPath::RemapPath2(path), colour, depth.get(), bytes);
}
