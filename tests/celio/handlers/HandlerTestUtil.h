#pragma once
// Shared helpers of the file-handler tests.

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <tiffio.h>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Handler.h"
#include "celio/LayerInfo.h"
#include "pixel/PixmapCanvas.h"

namespace celtest {

// A cel holding p (owned by the cel).
inline UT_SharedPtr<CEL_Cel> celOf(CEL_Pixmap* p) {
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

// A cel holding a w x h canvas pixmap of kind P with the given pixels, top row first.
template <class P, class T> UT_SharedPtr<CEL_Cel> celOf(const std::vector<T>& pixels, int w, int h = 1) {
    auto* p = new P(w, h);
    std::copy(pixels.begin(), pixels.end(), p->data());
    return celOf(p);
}

using Values = std::vector<int>; // r, g, b, a per pixel, top row first

// The values of a canvas pixmap of any kind (a matte as opaque grey, full
// scale 255 or 32767); empty for anything else.
inline Values values(const CEL_Representation* rep) {
    Values v;
    const auto add = [&v](const auto* p, const CEL_Pixmap* pm, size_t channels, int full) {
        for (size_t i = 0; p && i < size_t(pm->width()) * size_t(pm->height()) * channels; i += channels)
            for (size_t c = 0; c < 4; ++c) v.push_back(channels == 1 ? (c < 3 ? p[i] : full) : p[i + c]);
    };
    if (auto* a = dynamic_cast<const CEL_PixmapRGBA8*>(rep)) add(&a->data()->r, a, 4, 255);
    if (auto* b = dynamic_cast<const CEL_PixmapMatte8*>(rep)) add(b->data(), b, 1, 255);
    if (auto* c = dynamic_cast<const CEL_PixmapRGBA16*>(rep)) add(&c->data()->r, c, 4, 32767);
    if (auto* d = dynamic_cast<const CEL_PixmapMatte16*>(rep)) add(d->data(), d, 1, 32767);
    return v;
}

// A handler's read of a file as values; empty unless it gives one
// representation. `deep`: whether that is a 16-bit pixmap.
inline Values readValues(const CELIO_Handler& handler, const QString& path, bool* deep = nullptr) {
    CELIO_RepresentationList list;
    if (!handler.read(path, CEL_Context(), list) || list.size() != 1) return {};
    const CEL_Representation* rep = list.front().get();
    if (deep)
        *deep = dynamic_cast<const CEL_PixmapRGBA16*>(rep) || dynamic_cast<const CEL_PixmapMatte16*>(rep);
    return values(rep);
}

// Collects what a codec H writes on its diagnostic stream while it lives.
template <class H> class Diagnostics {
public:
    Diagnostics() { H::setDiagnosticStream(&m_text); }
    ~Diagnostics() { H::setDiagnosticStream(nullptr); }
    std::string text() const { return m_text.str(); }
    void clear() { m_text.str(std::string()); }

private:
    std::ostringstream m_text;
};

// A layer record holding image.
inline CELIO_Layer layer(const QString& name, UT_SharedPtr<CEL_Representation> image, int blend = 1,
                         float opacity = 1.0f, bool visible = true, int index = 0) {
    CELIO_Layer l;
    l.name = name, l.representation = image, l.blendMode = blend;
    l.opacity = opacity, l.visible = visible, l.recordIndex = index;
    return l;
}

// A context that reads the layer at the given path.
inline CEL_Context withLayer(const QString& layer) {
    const CEL_Context d;
    return CEL_Context(d.isColorRecovery(), d.isDelayedColorRecovery(), d.useElementPaletteList(), nullptr, 0,
                       layer, 1.0);
}

// A witness program, the distribution's copy first (a wrapper earlier on PATH
// may stand in for it); empty when it is missing.
inline QString program(const char* name) {
    const QString n = QString::fromLatin1(name), path = QStandardPaths::findExecutable(n, {"/usr/bin"});
    return path.isEmpty() ? QStandardPaths::findExecutable(n) : path;
}

// Runs exe; true when it exits with 0, else a test failure with its standard
// error. Its standard output goes to out.
inline bool run(const QString& exe, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(exe, args);
    const bool ok = p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    if (out) *out = p.readAllStandardOutput();
    if (!ok)
        ADD_FAILURE() << exe.toStdString() << " " << args.join(' ').toStdString() << ": "
                      << p.readAllStandardError().data();
    return ok;
}

// ImageMagick's decoding of image (with options first) as r, g, b, a samples
// of the given depth, as it stores them (grey widened).
inline Values magickSamples(const QString& image, int depth, const QStringList& options = {}) {
    QStringList args = QStringList{image} + options;
    args += {"-depth", QString::number(depth), "-endian", "MSB", "rgba:-"};
    QByteArray raw;
    if (!run(program("convert"), args, &raw)) return {};
    Values v;
    const auto* b = reinterpret_cast<const uint8_t*>(raw.constData());
    for (qsizetype i = 0; i + depth / 8 <= raw.size(); i += depth / 8)
        v.push_back(depth == 8 ? b[i] : b[i] << 8 | b[i + 1]);
    return v;
}

// A binary PPM's samples, or empty.
inline QByteArray ppmSamples(const QByteArray& ppm) {
    QList<QByteArray> fields;
    qsizetype at = 0;
    while (fields.size() < 4 && at < ppm.size()) {
        while (at < ppm.size() && QChar(ppm[at]).isSpace()) ++at;
        if (at < ppm.size() && ppm[at] == '#') {
            at = ppm.indexOf('\n', at);
            continue;
        }
        const qsizetype start = at;
        while (at < ppm.size() && !QChar(ppm[at]).isSpace()) ++at;
        fields << ppm.mid(start, at - start);
    }
    return fields.size() == 4 && fields[0] == "P6" && fields[3] == "255" ? ppm.mid(at + 1) : QByteArray();
}

// oiiotool's decoding of several files in one run (it starts slowly), each
// read with the given configuration: r, g, b, a per pixel (grey widened, no
// alpha channel: full scale), placed by the coordinates it lists.
inline std::vector<Values> oiioValues(const QStringList& paths, const QStringList& config = {}) {
    QStringList args{"--dumpdata"};
    for (const QString& path : paths) args << config << path;
    QByteArray text;
    if (!run(program("oiiotool"), args, &text)) return {};
    std::vector<Values> all;
    int width = 0, full = 255;
    for (const QByteArray& line : text.split('\n')) {
        int w = 0, h = 0, x = 0, y = 0, s[4] = {0, 0, 0, 0};
        char type[16] = {};
        if (std::sscanf(line.constData(), "%*s : %d x %d, %*d channel, %15s", &w, &h, type) == 3) {
            width = w;
            full = QByteArray(type) == "uint16" ? 65535 : 255;
            all.emplace_back(size_t(w) * size_t(h) * 4);
        } else if (const int n = std::sscanf(line.constData(), " Pixel (%d, %d): %d %d %d %d", &x, &y, &s[0],
                                             &s[1], &s[2], &s[3]);
                   n >= 3 && !all.empty()) {
            int* px = all.back().data() + 4 * (size_t(y) * size_t(width) + size_t(x));
            for (int c = 0; c < 4; ++c) px[c] = n == 3 ? (c < 3 ? s[0] : full) : c < n - 2 ? s[c] : full;
        }
    }
    return all;
}

// A TIFF of r, g, b, a samples (the first `channels` of each pixel kept),
// with the given kind of alpha (associated: nothing converts the samples).
inline void writeTiff(const QString& path, const Values& v, int w, int h, int bits, int channels,
                      uint16_t extra = EXTRASAMPLE_ASSOCALPHA) {
    TIFF* tif = TIFFOpen(QFile::encodeName(path).constData(), "w");
    ASSERT_TRUE(tif);
    const uint32_t tags[] = {TIFFTAG_IMAGEWIDTH,      TIFFTAG_IMAGELENGTH, TIFFTAG_BITSPERSAMPLE,
                             TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_PHOTOMETRIC, TIFFTAG_ROWSPERSTRIP};
    const int values[] = {w, h, bits, channels, PHOTOMETRIC_RGB, h};
    for (size_t i = 0; i < std::size(tags); ++i) TIFFSetField(tif, tags[i], values[i]);
    if (channels == 4) TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    const size_t n = size_t(channels);
    std::vector<uint16_t> row(size_t(w) * n);
    std::vector<uint8_t> row8(row.size());
    for (int y = 0; y < h; ++y) {
        for (size_t k = 0; k < row.size(); ++k) {
            row[k] = uint16_t(v[4 * (size_t(y) * size_t(w) + k / n) + k % n]);
            row8[k] = uint8_t(row[k]);
        }
        void* data = bits == 8 ? static_cast<void*>(row8.data()) : row.data();
        ASSERT_GE(TIFFWriteScanline(tif, data, uint32_t(y), 0), 0);
    }
    TIFFClose(tif);
}

} // namespace celtest
