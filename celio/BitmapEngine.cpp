#include "celio/BitmapEngine.h"

#include <QDateTime>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "base/Bitmap.h"
#include "base/FileSpec.h"
#include "cel/Cel.h"
#include "celio/BitmapJpegDetail.h"
#include "celio/Manager.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/PsdHandler.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"

namespace {

using R = CEL_Representation;

// The bitmap as 32-bit rows of stride width * 4: the bitmap itself when it is
// one, else a converted copy held in `copy`. Null when there are no pixels
// or the copy cannot be made.
const BM_UncompressedBitmap* packed32(const BM_Bitmap& bitmap, std::unique_ptr<BM_UncompressedBitmap>& copy) {
    if (bitmap.isEmpty()) return nullptr;
    const auto* u = dynamic_cast<const BM_UncompressedBitmap*>(&bitmap);
    if (u && u->layout() == BM_Bitmap::RGBA32 && u->stride() == (long long)u->width() * 4)
        return u->isValid() ? u : nullptr;
    copy.reset(new (std::nothrow) BM_UncompressedBitmap(BM_Bitmap::RGBA32, bitmap.bounds(), false));
    if (!copy || !copy->isValid() || !BM_Util::Convert(bitmap, *copy)) return nullptr;
    return copy.get();
}

// A CEL_PixmapRGBA8 lending the bitmap's buffer for the life of the guard;
// the buffer goes back to its owner however the guard's scope is left.
class LentPixmap {
public:
    explicit LentPixmap(const BM_UncompressedBitmap& bitmap) : m_pixmap(new CEL_PixmapRGBA8(0, 0)) {
        // The pixmap never writes through the pointer: the writers only read it.
        auto* pixels = reinterpret_cast<CEL_PixelRGBA8*>(const_cast<uint8_t*>(bitmap.data()));
        m_pixmap->setData(pixels, bitmap.width(), bitmap.height());
    }
    LentPixmap(const LentPixmap&) = delete;
    LentPixmap& operator=(const LentPixmap&) = delete;
    ~LentPixmap() { m_pixmap->releaseData(); }
    const UT_SharedPtr<CEL_PixmapRGBA8>& pixmap() const { return m_pixmap; }

private:
    UT_SharedPtr<CEL_PixmapRGBA8> m_pixmap;
};

} // namespace

CELIO_BitmapEngine::~CELIO_BitmapEngine() = default;

BM_Bitmap* CELIO_BitmapEngine::load(const BM_StoredBitmap& stored, unsigned /*flags*/) const {
    const uint8_t* p = stored.data();
    const std::size_t n = stored.size();
    std::size_t at = 0;
    int skipped = 0;
    if (n > 0 && p[0] == 0xFF) {
        while (n - at > 6 && p[at] == 0xFF && p[at + 1] == 0xD8 && p[at + 2] == 0xFF && p[at + 3] == 0xD8) {
            at += 2;
            ++skipped;
        }
    }
    if (skipped) {
        std::fprintf(stderr, "JPG data has %d extra SOI marker\n", skipped);
        std::fflush(stderr);
    }
    return CELIO_BitmapJpeg::decode(p + at, n - at);
}

BM_Bitmap* CELIO_BitmapEngine::load(const PL_FileSpec& file, unsigned /*flags*/) const {
    CELIO_RepresentationList list;
    QDateTime modified;
    if (!CELIO_Manager::getInstance()->read(file.path(), modified, list) || list.empty()) return nullptr;
    UT_SharedPtr<R> rep = list.front();
    if (rep && rep->getFormat() != R::PIXMAP_RGBA8) rep = UT_SharedPtr<R>(rep->convertTo(R::PIXMAP_RGBA8));
    auto* pixmap = dynamic_cast<CEL_PixmapRGBA8*>(rep.get());
    if (!pixmap || !pixmap->data()) return nullptr;
    const int w = pixmap->width(), h = pixmap->height();
    CEL_PixelRGBA8* buffer = pixmap->releaseData();
    return BM_UncompressedBitmap::adopt(BM_Bitmap::RGBA32, Math::Box2di(0, 0, w, h), buffer,
                                        (long long)w * 4);
}

bool CELIO_BitmapEngine::save(const PL_FileSpec& file, const BM_Bitmap& bitmap, const char* format,
                              const char* code) const {
    const CELIO_Handler* handler =
        CELIO_Manager::getInstance()->findHandler(QString::fromUtf8(format ? format : ""));
    if (!handler) return false;
    QString c = QString::fromUtf8(code ? code : "");
    if (c.isEmpty()) c = handler->getExtensions().value(0);
    return saveToFile(file, bitmap, *handler, c);
}

bool CELIO_BitmapEngine::store(const BM_Bitmap& bitmap, unsigned quality, BM_StoredBitmap& stored) const {
    if (bitmap.isEmpty()) return false;
    const int q = int(std::min(quality, 100u));
    std::vector<uint8_t> bytes;
    bool ok = false;
    const auto* u = dynamic_cast<const BM_UncompressedBitmap*>(&bitmap);
    if (u && u->isValid() && u->layout() == BM_Bitmap::RGB24) {
        ok = CELIO_BitmapJpeg::encode(u->data(), u->stride(), u->width(), u->height(), 3, q, bytes);
    } else if (u && u->isValid() && u->layout() == BM_Bitmap::RGBA32) {
        ok = CELIO_BitmapJpeg::encode(u->data(), u->stride(), u->width(), u->height(), 4, q, bytes);
    } else {
        std::unique_ptr<BM_UncompressedBitmap> copy;
        const BM_UncompressedBitmap* p = packed32(bitmap, copy);
        ok = p && CELIO_BitmapJpeg::encode(p->data(), p->stride(), p->width(), p->height(), 4, q, bytes);
    }
    if (!ok || !stored.allocate(bytes.size())) return false;
    std::memcpy(stored.data(), bytes.data(), bytes.size());
    return true;
}

bool CELIO_BitmapEngine::saveToPSD(const PL_FileSpec& file, const BM_Bitmap& bitmap) const {
    return saveToFile(file, bitmap, CELIO_PsdHandler(), QStringLiteral("PSD4"));
}

bool CELIO_BitmapEngine::saveToTGA(const PL_FileSpec& file, const BM_Bitmap& bitmap) const {
    return saveToFile(file, bitmap, QXCelUioTgaHandler(), QStringLiteral("TGA4"));
}

bool CELIO_BitmapEngine::saveToPNG(const PL_FileSpec& file, const BM_Bitmap& bitmap) const {
    return saveToFile(file, bitmap, QXCelUioPngHandler(), QStringLiteral("PNG4"));
}

bool CELIO_BitmapEngine::saveToFile(const PL_FileSpec& file, const BM_Bitmap& bitmap,
                                    const CELIO_Handler& handler, const QString& code) const {
    std::unique_ptr<BM_UncompressedBitmap> copy;
    const BM_UncompressedBitmap* pixels = packed32(bitmap, copy);
    if (!pixels) return false;
    try {
        const LentPixmap lent(*pixels);
        if (!lent.pixmap()->data()) return false;
        const UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(R::NONE));
        cel->addRepresentation(lent.pixmap());
        return handler.write(cel.get(), file.path(), code);
    } catch (...) { // a failed byte transfer in the writer (int), or memory
        return false;
    }
}
