// PAL and YUV video frames: the 4:2:2 codec and the one implementation both
// handlers forward to, parameterised by the frame geometry.
// oneTBB's headers (through the parallel row helper) come before Qt's.
#include "algo/composite/CompositeDetail.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "algo/filters/Transform.h"
#include "cel/Cel.h"
#include "celio/ByteIO.h"
#include "celio/handlers/VideoFrameHandler.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapCanvas.h"

#if defined(__x86_64__) && defined(__GNUC__) && !defined(CELCORE_SANITIZED)
#define CELCORE_VIDEO_KERNEL __attribute__((target_clones("avx2", "default")))
#else
#define CELCORE_VIDEO_KERNEL
#endif

namespace {

// ------------------------------------------------------------------ decoding

inline uint8_t clamp8(int v) {
    return uint8_t(v < 0 ? 0 : (v > 255 ? 255 : v));
}

// One pixel from its luma term (76310 Y' + 32768) and its chroma terms. The
// shifts are arithmetic, so negative sums are floored (C++20).
inline CEL_PixelRGBA8 pixelOf(int luma, int r, int g, int b) {
    return CEL_PixelRGBA8{clamp8((luma + r) >> 16), clamp8((luma + g) >> 16), clamp8((luma + b) >> 16), 255};
}

inline int lumaTerm(int y) {
    return 76310 * std::max(y - 16, 0) + 32768;
}

// The even-pixel formulas, for Y' given as its luma term.
inline CEL_PixelRGBA8 evenPixel(int luma, int cb, int cr) {
    return pixelOf(luma, 104635 * cr, -53294 * cr - 25690 * cb, 132278 * cb);
}

// n groups that each have the next group after them: both pixels of each.
CELCORE_VIDEO_KERNEL void decodeGroups(const uint8_t* __restrict g, int n, CEL_PixelRGBA8* __restrict out) {
    for (int k = 0; k < n; ++k) {
        const uint8_t* p = g + 4 * k;
        const int cb = p[0] - 128, cr = p[2] - 128;
        const int sb = cb + p[4] - 128, sr = cr + p[6] - 128;
        out[2 * k] = evenPixel(lumaTerm(p[1]), cb, cr);
        out[2 * k + 1] = pixelOf(lumaTerm(p[3]), 52317 * sr, -26647 * sr - 12845 * sb, 66139 * sb);
    }
}

// One row of `groups` groups of which `present` are in the data: the pairs
// that can be decoded, and transparent black for the rest of the row.
void decodeRow(const uint8_t* g, int groups, int present, CEL_PixelRGBA8* out) {
    int done = 0; // pixels written
    if (present >= groups && groups > 0) {
        decodeGroups(g, groups - 1, out);
        const uint8_t* p = g + 4 * (groups - 1);
        const int cb = p[0] - 128, cr = p[2] - 128;
        out[2 * groups - 2] = evenPixel(lumaTerm(p[1]), cb, cr);
        out[2 * groups - 1] = evenPixel(lumaTerm(p[3]), cb, cr);
        done = 2 * groups;
    } else if (present > 1) {
        decodeGroups(g, present - 1, out);
        done = 2 * (present - 1);
    }
    std::memset(static_cast<void*>(out + done), 0, sizeof(CEL_PixelRGBA8) * size_t(2 * groups - done));
}

// ------------------------------------------------------------------ encoding

inline int chromaB(const CEL_PixelRGBA8& p) {
    return 7191 * p.b - 4764 * p.g - 2427 * p.r;
}
inline int chromaR(const CEL_PixelRGBA8& p) {
    return 7193 * p.r - 6023 * p.g - 1170 * p.b;
}
inline uint8_t lumaByte(const CEL_PixelRGBA8& p) {
    return uint8_t(((16830 * p.r + 33038 * p.g + 6416 * p.b + 32768) >> 16) + 16);
}

// One pair: p0, p1 with the previous odd pixel q.
inline void encodePair(const CEL_PixelRGBA8& q, const CEL_PixelRGBA8& p0, const CEL_PixelRGBA8& p1,
                       uint8_t* o) {
    const int cb = chromaB(p1) + (14382 * p0.b - 9529 * p0.g - 4853 * p0.r) + chromaB(q);
    const int cr = chromaR(p1) + (14386 * p0.r - 12046 * p0.g - 2340 * p0.b) + chromaR(q);
    o[0] = uint8_t(((cb + 32768) >> 16) + 128);
    o[1] = lumaByte(p0);
    o[2] = uint8_t(((cr + 32768) >> 16) + 128);
    o[3] = lumaByte(p1);
}

// Pairs [k0, k1) of the pixels (pair k is pixels 2k and 2k + 1); the previous
// odd pixel of pair 0 is the first pixel.
CELCORE_VIDEO_KERNEL void encodePairs(const CEL_PixelRGBA8* __restrict px, size_t k0, size_t k1,
                                      uint8_t* __restrict out) {
    if (k0 >= k1) return;
    if (k0 == 0) {
        encodePair(px[0], px[0], px[1], out);
        k0 = 1;
    }
    for (size_t k = k0; k < k1; ++k) encodePair(px[2 * k - 1], px[2 * k], px[2 * k + 1], out + 4 * k);
}

int rowGrain(int rows) {
    return std::max(1, rows / 8);
}

// ------------------------------------------------------------------ frames

// What tells the two families apart.
struct Geometry {
    int cols, rows;     // the frame
    int diCols, diRows; // the square-pixel image: read result, write canvas and largest image
    double readCx, readCy, readSx, readSy;     // frame -> square pixels, about the frame centre
    double writeCx, writeCy, writeSx, writeSy; // square pixels -> frame, about the canvas centre
    const char* code;

    size_t bytes() const { return size_t(cols) * size_t(rows) * 2; }
};

constexpr Geometry geometry(int cols, int rows, int diCols, int diRows, double toDiX, double toDiY,
                            double fromDiX, double fromDiY, const char* code) {
    return {cols,  rows,         diCols,       diRows,  cols / 2.0, rows / 2.0, toDiX,
            toDiY, diCols / 2.0, diRows / 2.0, fromDiX, fromDiY,    code};
}

using Pal = QXCelUioPalHandler;
using Ntsc = QXCelUioYuvHandler;

constexpr Geometry kPal = geometry(Pal::PAL_COLS, Pal::PAL_ROWS, Pal::PAL_DI_COLS, Pal::PAL_ROWS,
                                   Pal::PAL_TO_DI_SCALE, 1.0, Pal::DI_TO_PAL_SCALE, 1.0, "PAL");
constexpr Geometry kNtsc = geometry(Ntsc::NTSC_COLS, Ntsc::NTSC_ROWS, Ntsc::NTSC_COLS, Ntsc::NTSC_DI_ROWS,
                                    1.0, Ntsc::NTSC_TO_DI_SCALE, 1.0, Ntsc::DI_TO_NTSC_SCALE, "YUV");
static_assert(Pal::PAL_BYTES == Pal::PAL_COLS * Pal::PAL_ROWS * 2);
static_assert(Ntsc::NTSC_BYTES == Ntsc::NTSC_COLS * Ntsc::NTSC_ROWS * 2);
static_assert(kPal.readCx == 360.0 && kPal.readCy == 288.0 && kPal.writeCx == 384.0 && kPal.writeCy == 288.0);
static_assert(kNtsc.readCy == 243.0 && kNtsc.writeCx == 360.0 && kNtsc.writeCy == 270.0);

using Pixmap = std::unique_ptr<CEL_PixmapRGBA8>;

// The decoded frame only lives while it is resampled. Each thread keeps its
// buffer for its next frame: taking fresh pages for it at every read, and
// giving them back, costs more than the decoding (the allocator returns a
// freed frame and image to the system together).
struct FrameScratch {
    std::unique_ptr<CEL_PixelRGBA8[]> buffer;
    size_t pixels = 0;
};
thread_local FrameScratch t_scratch;

// A pixmap of the frame size over the thread's buffer (or a new one); give
// the buffer back with keepScratch. Its pixels are not cleared.
Pixmap scratchFrame(const Geometry& g) {
    const size_t pixels = size_t(g.cols) * size_t(g.rows);
    CEL_PixelRGBA8* buffer = t_scratch.pixels == pixels ? t_scratch.buffer.release() : nullptr;
    t_scratch.buffer.reset();
    t_scratch.pixels = 0;
    if (!buffer) buffer = CEL_PixelBuffer::allocate<CEL_PixelRGBA8>((long long)pixels, false);
    if (!buffer) return nullptr;
    return Pixmap(new CEL_PixmapRGBA8(g.cols, g.rows, buffer));
}

void keepScratch(CEL_PixmapRGBA8& frame) {
    const size_t pixels = size_t(frame.width()) * size_t(frame.height());
    t_scratch.buffer.reset(frame.releaseData());
    t_scratch.pixels = t_scratch.buffer ? pixels : 0;
}

// The square-pixel image of the frame bytes; null when it cannot be made.
Pixmap squarePixels(const Geometry& g, const uint8_t* data, size_t size) {
    const Pixmap frame = scratchFrame(g);
    if (!frame || !frame->data()) return nullptr;
    CELIO_VideoFrame::decode(data, size, frame->data(), g.cols, g.rows);
    Pixmap image(CelAlgo::scale(frame.get(), unsigned(g.diCols), unsigned(g.diRows), g.readCx, g.readCy,
                                g.readSx, g.readSy));
    keepScratch(*frame);
    if (!image || !image->data() || image->width() != g.diCols || image->height() != g.diRows) return nullptr;
    return image;
}

// The cel's pixels as a CEL_PixmapRGBA8 (kept alive by holder), or null.
const CEL_PixmapRGBA8* rgba8Of(CEL_Cel* cel, UT_SharedPtr<CEL_Representation>& holder) {
    if (!cel || !cel->convertibleTo(CEL_Representation::PIXMAP_RGBA8)) return nullptr;
    holder = cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
    const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(holder.get());
    if (!p || (!p->data() && (long long)p->width() * p->height() > 0)) return nullptr;
    return p;
}

bool fits(const Geometry& g, const CEL_PixmapRGBA8& p) {
    return p.width() <= g.diCols && p.height() <= g.diRows;
}

// The image centred on a cleared canvas of the square-pixel size and
// resampled to the frame; null when a buffer cannot be had.
Pixmap framePicture(const Geometry& g, const CEL_PixmapRGBA8& image) {
    const CEL_PixmapRGBA8* canvas = &image;
    Pixmap own;
    const int w = image.width(), h = image.height();
    if (w != g.diCols || h != g.diRows) { // an image of the canvas size is its own canvas
        own.reset(new CEL_PixmapRGBA8(g.diCols, g.diRows));
        if (!own->data()) return nullptr;
        const int left = (g.diCols - w) / 2, top = (g.diRows - h) / 2;
        for (int y = 0; y < h && w > 0; ++y)
            std::memcpy(static_cast<void*>(own->pixel(left, top + y)), image.pixel(0, y),
                        sizeof(CEL_PixelRGBA8) * size_t(w));
        canvas = own.get();
    }
    Pixmap frame(CelAlgo::scale(canvas, unsigned(g.cols), unsigned(g.rows), g.writeCx, g.writeCy, g.writeSx,
                                g.writeSy));
    if (!frame || !frame->data() || frame->width() != g.cols || frame->height() != g.rows) return nullptr;
    return frame;
}

void encodeInto(const Geometry& g, const CEL_PixmapRGBA8& frame, std::vector<uint8_t>& bytes) {
    bytes.resize(g.bytes());
    CELIO_VideoFrame::encode(frame.data(), g.cols, g.rows, bytes.data());
}

bool encodeCel(const Geometry& g, CEL_Cel* cel, std::vector<uint8_t>& bytes) {
    try {
        UT_SharedPtr<CEL_Representation> holder;
        const CEL_PixmapRGBA8* image = rgba8Of(cel, holder);
        if (!image || !fits(g, *image)) return false;
        const Pixmap frame = framePicture(g, *image);
        if (!frame) return false;
        encodeInto(g, *frame, bytes);
        return true;
    } catch (...) { // out of memory
        return false;
    }
}

bool encodeFields(const Geometry& g, CEL_Cel* first, CEL_Cel* second, bool secondFieldFirst,
                  std::vector<uint8_t>& bytes) {
    try {
        UT_SharedPtr<CEL_Representation> holdA, holdB;
        const CEL_PixmapRGBA8* a = rgba8Of(first, holdA);
        const CEL_PixmapRGBA8* b = rgba8Of(second, holdB);
        if (!a || !b || !fits(g, *a) || a->width() != b->width() || a->height() != b->height()) return false;
        const Pixmap frame = framePicture(g, *a);
        const Pixmap other = frame ? framePicture(g, *b) : nullptr;
        if (!other) return false;
        // The second cel's rows: the even ones (row 0 first) when its field comes first.
        for (int y = secondFieldFirst ? 0 : 1; y < g.rows; y += 2)
            std::memcpy(static_cast<void*>(frame->pixel(0, y)), other->pixel(0, y),
                        sizeof(CEL_PixelRGBA8) * size_t(g.cols));
        encodeInto(g, *frame, bytes);
        return true;
    } catch (...) {
        return false;
    }
}

// The frame bytes into the output (file, or standard output for "-").
bool writeFrame(const QString& path, const std::vector<uint8_t>& bytes) {
    try {
        obuf out(path);
        if (!out.isOpen()) return false;
        out.write(bytes.data(), bytes.size());
        return out.close();
    } catch (int) { // a byte that could not be written: the output is abandoned
        return false;
    }
}

bool readFile(const Geometry& g, const QString& path, CELIO_RepresentationList& list) {
    try {
        ibuf in(path);
        if (!in.isOpen()) return false;
        const size_t want = g.bytes();
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[want]);
        const size_t got = in.readSome(bytes.get(), want);
        Pixmap image = squarePixels(g, bytes.get(), got);
        if (!image) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(image.release()));
        return true;
    } catch (...) {
        return false;
    }
}

CEL_PixmapRGBA8* decodeFrameBytes(const Geometry& g, const void* data, size_t size) {
    try {
        return squarePixels(g, static_cast<const uint8_t*>(data), data ? size : 0).release();
    } catch (...) {
        return nullptr;
    }
}

CELIO_State infoOf(const Geometry& g, const QString& path, CELIO_Info& info) {
    try {
        ibuf in(path);
        if (!in.isOpen()) return CELIO_STATE_FAILED;
    } catch (...) {
        return CELIO_STATE_FAILED;
    }
    info.width = uint32_t(g.cols);
    info.height = uint32_t(g.rows);
    info.channels = 3;
    info.bytesPerChannel = 1;
    info.optionCode = QLatin1String(g.code);
    info.description = QString();
    return CELIO_STATE_OK;
}

} // namespace

// ------------------------------------------------------------------ the codec

void CELIO_VideoFrame::decode(const uint8_t* data, size_t size, CEL_PixelRGBA8* out, int width, int rows) {
    if (!out || width <= 0 || rows <= 0) return;
    if (!data) size = 0;
    const int groups = width / 2;
    const size_t rowBytes = size_t(groups) * 4;
    CelAlgo::detail::parallelRows(0, rows, rowGrain(rows), width, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const size_t start = size_t(y) * rowBytes;
            const size_t left = size > start ? size - start : 0;
            const int present = int(std::min<size_t>(size_t(groups), left / 4));
            decodeRow(data + (present ? start : 0), groups, present, out + size_t(y) * size_t(width));
        }
    });
}

void CELIO_VideoFrame::encode(const CEL_PixelRGBA8* pixels, int width, int rows, uint8_t* out) {
    if (!pixels || !out || width <= 0 || rows <= 0) return;
    const size_t pairsPerRow = size_t(width) / 2;
    CelAlgo::detail::parallelRows(0, rows, rowGrain(rows), width, [&](int y0, int y1) {
        encodePairs(pixels, size_t(y0) * pairsPerRow, size_t(y1) * pairsPerRow, out);
    });
}

// ------------------------------------------------------------------ PAL

QStringList QXCelUioPalHandler::getExtensions() const {
    return {QStringLiteral("PAL")};
}

QStringList QXCelUioPalHandler::getWriteOptionCodes() const {
    return {QStringLiteral("PAL")};
}

QString QXCelUioPalHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("PAL");
}

bool QXCelUioPalHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    return readFile(kPal, path, list);
}

bool QXCelUioPalHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    std::vector<uint8_t> bytes;
    return encodeCel(kPal, cel, bytes) && writeFrame(path, bytes);
}

bool QXCelUioPalHandler::writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString&,
                                       bool secondFieldFirst) const {
    std::vector<uint8_t> bytes;
    return encodeFields(kPal, first, second, secondFieldFirst, bytes) && writeFrame(path, bytes);
}

CELIO_State QXCelUioPalHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    return infoOf(kPal, path, info);
}

UT_DynKey QXCelUioPalHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

CEL_PixmapRGBA8* QXCelUioPalHandler::read(const void* data, size_t size) const {
    return decodeFrameBytes(kPal, data, size);
}

bool QXCelUioPalHandler::encode(CEL_Cel* cel, std::vector<uint8_t>& frame) const {
    return encodeCel(kPal, cel, frame);
}

bool QXCelUioPalHandler::encodeCombined(CEL_Cel* first, CEL_Cel* second, bool secondFieldFirst,
                                        std::vector<uint8_t>& frame) const {
    return encodeFields(kPal, first, second, secondFieldFirst, frame);
}

// ------------------------------------------------------------------ YUV

QStringList QXCelUioYuvHandler::getExtensions() const {
    return {QStringLiteral("YUV")};
}

QStringList QXCelUioYuvHandler::getWriteOptionCodes() const {
    return {QStringLiteral("YUV")};
}

QString QXCelUioYuvHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("YUV");
}

bool QXCelUioYuvHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    return readFile(kNtsc, path, list);
}

bool QXCelUioYuvHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    std::vector<uint8_t> bytes;
    return encodeCel(kNtsc, cel, bytes) && writeFrame(path, bytes);
}

bool QXCelUioYuvHandler::writeCombined(CEL_Cel* first, CEL_Cel* second, const QString& path, const QString&,
                                       bool secondFieldFirst) const {
    std::vector<uint8_t> bytes;
    return encodeFields(kNtsc, first, second, secondFieldFirst, bytes) && writeFrame(path, bytes);
}

CELIO_State QXCelUioYuvHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    return infoOf(kNtsc, path, info);
}

UT_DynKey QXCelUioYuvHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

CEL_PixmapRGBA8* QXCelUioYuvHandler::read(const void* data, size_t size) const {
    return decodeFrameBytes(kNtsc, data, size);
}

bool QXCelUioYuvHandler::encode(CEL_Cel* cel, std::vector<uint8_t>& frame) const {
    return encodeCel(kNtsc, cel, frame);
}

bool QXCelUioYuvHandler::encodeCombined(CEL_Cel* first, CEL_Cel* second, bool secondFieldFirst,
                                        std::vector<uint8_t>& frame) const {
    return encodeFields(kNtsc, first, second, secondFieldFirst, frame);
}
