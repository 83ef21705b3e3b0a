#pragma once
// Helpers of the render-cache tests.

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include "cel/Cel.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtest {

// A value that depends on the position and a seed, negatives included.
inline CEL_PixelRGBA16 cachePixel(long long i, int seed) {
    return CEL_PixelRGBA16{int16_t(i * 31 + seed), int16_t(-(i % 32767)), int16_t(seed * 7 - i),
                           int16_t(i % 32767)};
}

inline CEL_PixmapAreaRGBA16* seededArea(const Math::Box2di& canvas, const Math::Box2di& allocated, int seed) {
    auto* p = new CEL_PixmapAreaRGBA16(canvas.size(), canvas);
    p->realloc(allocated, false);
    for (long long i = 0; i < allocated.area(); ++i) p->data()[i] = cachePixel(i, seed);
    return p;
}

inline UT_SharedPtr<CEL_Cel> areaCel(const Math::Box2di& canvas, const Math::Box2di& allocated, int seed) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(seededArea(canvas, allocated, seed)));
    return cel;
}

// True when rep is an area pixmap with these rectangles and the seeded pixels.
inline bool holdsSeededArea(const CEL_Representation* rep, const Math::Box2di& canvas,
                            const Math::Box2di& allocated, int seed) {
    const auto* p = dynamic_cast<const CEL_PixmapAreaRGBA16*>(rep);
    if (!p || p->canvasRect() != canvas || p->allocatedRect() != allocated || !p->data()) return false;
    for (long long i = 0; i < allocated.area(); ++i)
        if (!(p->data()[i] == cachePixel(i, seed))) return false;
    return true;
}

// Bytes of every file under a folder (0 for one gone while it was counted).
inline long long folderBytes(const QString& path) {
    long long total = 0;
    QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) total += QFileInfo(it.next()).size();
    return total;
}

inline QStringList fileNames(const QString& path) {
    return QDir(path).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

// Points the temporary folder (and so the cache's fallback) at `path` while it lives.
class TempDirOverride {
public:
    explicit TempDirOverride(const QString& path)
        : m_old(qgetenv("TMPDIR")), m_had(qEnvironmentVariableIsSet("TMPDIR")) {
        qputenv("TMPDIR", QFile::encodeName(path));
    }
    ~TempDirOverride() {
        if (m_had)
            qputenv("TMPDIR", m_old);
        else
            qunsetenv("TMPDIR");
    }
    TempDirOverride(const TempDirOverride&) = delete;
    TempDirOverride& operator=(const TempDirOverride&) = delete;

private:
    QByteArray m_old;
    bool m_had;
};

} // namespace celtest
