// The PSD writer: the header, the layer-and-mask section built from a layer
// tree, and the composite image; PSB with the large-document option.
//
// Records are built before the output is opened: 8-bit channels are encoded
// into memory then (the record needs their lengths), 16-bit channels are raw
// and written from their images when their turn comes. Rows are encoded in
// blocks on several threads, each block into its own buffer, and the buffers
// are joined in row order, so the bytes never depend on the thread count.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "celio/ByteIO.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

using namespace psd_detail;

namespace {

using Handler = CELIO_PsdHandler;
using Layer = Handler::Layer;
using ChannelInfo = Handler::ChannelInfo;

constexpr char kContext[] = "qxcelio";
constexpr int kWriteFailedCode = 20;
constexpr uint32_t k8BIM = Handler::fourCC("8BIM");
constexpr uint32_t kNorm = Handler::fourCC("norm");
constexpr uint32_t kPass = Handler::fourCC("pass");
constexpr int kMaxRecords = 32767; // the layer count is a signed 16-bit field
constexpr char kGroupEndName[] = "</Layer Set>";
constexpr char kDocumentName[] = "Composite";

// The document an option code asks for.
struct CodeShape {
    int channels = 3;
    int depth = 8;
    uint16_t mode = Handler::RGB;
};

bool shapeOfCode(const QString& code, CodeShape& s) {
    const QString c = code.toUpper();
    if (c.isEmpty() || c == QLatin1String("PSD") || c == QLatin1String("PSD3"))
        s = {3, 8, Handler::RGB};
    else if (c == QLatin1String("PSD4"))
        s = {4, 8, Handler::RGB};
    else if (c == QLatin1String("PSD1"))
        s = {1, 8, Handler::Grayscale};
    else if (c == QLatin1String("PSDDP3"))
        s = {3, 16, Handler::RGB};
    else if (c == QLatin1String("PSDDP4"))
        s = {4, 16, Handler::RGB};
    else
        return false;
    return true;
}

// A warning after which the write goes on.
void warn(const char* text, const QString& name, const QString& what = QString()) {
    MSG_Scope msg(kContext, text, 0);
    msg.arg(name);
    if (!what.isNull()) msg.arg(what);
    msg.post();
}

// The largest run-length row of n samples. A literal ends at the second of
// two equal samples, so "A B B C C ..." codes two samples in three bytes; a
// sample left alone at the end takes two.
constexpr uint64_t maxPackedRow(uint64_t n) {
    return n + n / 2 + 2;
}

// A 16-bit sample as the file stores it: v * 65535 / 32767 truncated, negatives 0.
inline uint16_t fileSample(int16_t v) {
    return v <= 0 ? uint16_t(0) : uint16_t(uint32_t(v) * 65535u / 32767u);
}

// The name as stored: UTF-8 cut at a character boundary to 255 bytes.
QByteArray storedName(const QString& name) {
    QByteArray utf8 = name.toUtf8();
    if (utf8.size() <= 255) return utf8;
    qsizetype cut = 255;
    while (cut > 0 && (uint8_t(utf8[cut]) & 0xC0) == 0x80)
        --cut; // utf8[cut] starts the first character left out
    utf8.truncate(cut);
    return utf8;
}

// Bytes of the "luni" block's data: a count, then UTF-16 code units, padded to 4.
uint32_t unicodeNameBytes(const QString& name) {
    return (4 + 2 * uint32_t(name.size()) + 3) & ~3u;
}

inline uint64_t load8(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v; // little-endian: byte k of memory is bits 8k..8k+7
}

// The index of the first zero byte of x (8 when none).
inline int firstZeroByte(uint64_t x) {
    const uint64_t z = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
    return z ? __builtin_ctzll(z) >> 3 : 8; // the lowest flag is exact
}

// One row of `count` contiguous samples, run-length coded into dst (at least
// maxPackedRow(count) bytes); returns the bytes written. From sample p: a
// last sample alone is a literal of one; 2 to 128 equal samples are a run
// (header 257 - n); otherwise a literal of p, the next sample and every
// further one that differs from the one before it, up to 128 (header n - 1):
// P Q R R R codes as 2 P Q R, 0xFF R. Runs and literals are scanned eight
// samples at a time.
uint32_t compressLine(uint8_t* dst, const uint8_t* row, int count) {
    uint8_t* o = dst;
    int i = 0;
    while (i < count) {
        const uint8_t v = row[i];
        if (i == count - 1) {
            *o++ = 0;
            *o++ = v;
            break;
        }
        const int limit = std::min(count, i + 128);
        const uint64_t splat = 0x0101010101010101ull * v;
        int j = i + 1;
        for (;;) {
            if (j + 8 <= limit) {
                const uint64_t diff = load8(row + j) ^ splat;
                if (!diff) {
                    j += 8;
                    continue;
                }
                j += __builtin_ctzll(diff) >> 3;
                break;
            }
            while (j < limit && row[j] == v) ++j;
            break;
        }
        if (j - i >= 2) {
            *o++ = uint8_t(257 - (j - i));
            *o++ = v;
            i = j;
            continue;
        }
        // A literal: it stops at the first sample equal to the one before it.
        int k = i + 2;
        for (;;) {
            if (k + 8 <= limit) {
                const int z = firstZeroByte(load8(row + k) ^ load8(row + k - 1));
                k += z;
                if (z == 8) continue;
                break;
            }
            while (k < limit && row[k] != row[k - 1]) ++k;
            break;
        }
        *o++ = uint8_t(k - i - 1);
        std::memcpy(o, row + i, size_t(k - i));
        o += k - i;
        i = k;
    }
    return uint32_t(o - dst);
}

// ------------------------------------------------------------ images

struct Image {
    enum Kind { RGBA8, RGBA16, Matte8 };
    Kind kind = RGBA8;
    const uint8_t* data = nullptr;           // the pixels of `stored`, rows of stored.w() pixels
    Math::Box2di stored;                     // the document rectangle the buffer covers
    Math::Box2di rect;                       // the rectangle written; what `stored` lacks is 0
    UT_SharedPtr<CEL_Representation> holder; // keeps the pixels alive

    int width() const { return rect.w(); }
    int height() const { return rect.h(); }
    int pixelBytes() const { return kind == RGBA8 ? 4 : kind == RGBA16 ? 8 : 1; }

    // Row y of the rectangle when it lies wholly in the stored pixels, else null.
    const uint8_t* storedRow(int y) const {
        const int docY = rect.y1() + y;
        if (!data || docY < stored.y1() || docY >= stored.y2() || rect.x1() < stored.x1() ||
            rect.x2() > stored.x2())
            return nullptr;
        return data + (size_t(docY - stored.y1()) * size_t(stored.w()) + size_t(rect.x1() - stored.x1())) *
                          size_t(pixelBytes());
    }

    // Row y of one component (0..3; a matte gives its value in all four).
    // sample(src pixel) writes one output sample.
    template <class Out, class F8, class F16>
    void row(int component, int y, Out* out, F8 from8, F16 from16) const {
        const int w = width();
        const int docY = rect.y1() + y;
        const int x1 = std::max(rect.x1(), stored.x1()), x2 = std::min(rect.x2(), stored.x2());
        if (!data || docY < stored.y1() || docY >= stored.y2() || x1 >= x2) {
            std::fill(out, out + w, Out(0));
            return;
        }
        std::fill(out, out + (x1 - rect.x1()), Out(0));
        std::fill(out + (x2 - rect.x1()), out + w, Out(0));
        Out* o = out + (x1 - rect.x1());
        const size_t first = size_t(docY - stored.y1()) * size_t(stored.w()) + size_t(x1 - stored.x1());
        const int n = x2 - x1;
        switch (kind) {
        case RGBA8: {
            const uint8_t* s = data + first * 4 + size_t(component);
            for (int x = 0; x < n; ++x) o[x] = from8(s[size_t(x) * 4]);
            break;
        }
        case RGBA16: {
            const auto* s = reinterpret_cast<const int16_t*>(data) + first * 4 + size_t(component);
            for (int x = 0; x < n; ++x) o[x] = from16(s[size_t(x) * 4]);
            break;
        }
        case Matte8: {
            const uint8_t* s = data + first;
            for (int x = 0; x < n; ++x) o[x] = from8(s[x]);
            break;
        }
        }
    }

    // 8-bit samples of a row, by the 16 -> 8 rule from 16-bit pixels.
    void row8(int component, int y, uint8_t* out) const {
        row(
            component, y, out, [](uint8_t v) { return v; }, [](int16_t v) { return CEL_PixelRule::to8(v); });
    }
    // Big-endian 16-bit file samples of a row, 8-bit pixels by the 8 -> 16 rule first.
    void row16(int component, int y, uint8_t* out) const {
        auto* o = reinterpret_cast<uint16_t*>(out);
        row(
            component, y, o,
            [](uint8_t v) {
                const uint16_t s = fileSample(CEL_PixelRule::from8(v));
                return uint16_t(s << 8 | s >> 8);
            },
            [](int16_t v) {
                const uint16_t s = fileSample(v);
                return uint16_t(s << 8 | s >> 8);
            });
    }
};

using R = CEL_Representation;

// The pixels of a representation as the writer reads them: 8/16-bit RGBA and
// 8-bit mattes (spread to all four channels) as they are, an area pixmap at
// its canvas (0, 0)-(width, height) or, atAllocated, at its allocated
// rectangle; anything else through the representation's conversion to the
// document's depth. grey: the one channel of a grey document (colour by its
// luma, through the conversion). False when there are no such pixels.
bool imageOf(const UT_SharedPtr<R>& rep, int depth, bool grey, bool atAllocated, Image& img, int hops = 0) {
    if (!rep || hops > 2) return false;
    img.holder = rep;
    const R* r = rep.get();
    const auto canvas = [&img](Image::Kind kind, const CEL_Pixmap* p, const void* data) {
        img.kind = kind;
        img.data = static_cast<const uint8_t*>(data);
        img.stored = img.rect = Math::Box2di(0, 0, p->width(), p->height());
        return data != nullptr || int64_t(p->width()) * p->height() == 0;
    };
    if (const auto* m = dynamic_cast<const CEL_PixmapMatte8*>(r)) return canvas(Image::Matte8, m, m->data());
    if (grey) {
        const UT_SharedPtr<R> converted(r->convertTo(R::PIXMAP_MATTE8));
        return dynamic_cast<const CEL_PixmapMatte8*>(converted.get()) &&
               imageOf(converted, depth, grey, atAllocated, img, hops + 1);
    }
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(r)) return canvas(Image::RGBA8, p, p->data());
    if (const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(r)) return canvas(Image::RGBA16, p, p->data());
    if (const auto* a = dynamic_cast<const CEL_PixmapAreaRGBA16*>(r)) {
        img.kind = Image::RGBA16;
        img.data = reinterpret_cast<const uint8_t*>(a->data());
        img.stored = a->data() ? a->allocatedRect() : Math::Box2di();
        img.rect = atAllocated ? img.stored : Math::Box2di(0, 0, a->width(), a->height());
        return true;
    }
    const UT_SharedPtr<R> converted(r->convertTo(depth == 16 ? R::PIXMAP_RGBA16 : R::PIXMAP_RGBA8));
    if (!dynamic_cast<const CEL_PixmapRGBA8*>(converted.get()) &&
        !dynamic_cast<const CEL_PixmapRGBA16*>(converted.get()))
        return false;
    return imageOf(converted, depth, grey, atAllocated, img, hops + 1);
}

// Rows of one component run-length coded, in blocks encoded in parallel.
// An allocator that leaves bytes uninitialised when a vector grows.
struct NoInit : std::allocator<uint8_t> {
    template <class U> struct rebind { using other = NoInit; };
    void construct(uint8_t* p) { (void)p; }
    template <class... A> void construct(uint8_t* p, A&&... a) { ::new (p) uint8_t(std::forward<A>(a)...); }
};

struct PackedRows {
    std::vector<std::vector<uint8_t, NoInit>> blocks; // in row order
    std::vector<uint32_t> counts;                     // per row
    uint64_t bytes = 0;
};

// Rows y0..y1 of the components first .. first + n - 1 (a matte: its value),
// into out[0 .. n-1], in blocks encoded in parallel. Each row is split into
// its components once.
void packRows(const Image& img, int first, int n, int y0, int y1, PackedRows* out) {
    const int w = img.width();
    const int rows = std::max(y1 - y0, 0);
    const int perBlock = int(std::clamp<uint64_t>((uint64_t(1) << 18) / std::max<uint64_t>(uint64_t(w), 1), 1,
                                                  uint64_t(std::max(rows, 1))));
    const int blocks = (rows + perBlock - 1) / perBlock;
    for (int c = 0; c < n; ++c) {
        out[c].counts.assign(size_t(rows), 0);
        out[c].blocks.assign(size_t(blocks), {});
        out[c].bytes = 0;
    }
    if (rows == 0) return;
    const uint64_t rowMax = maxPackedRow(uint64_t(w));
    CelAlgo::detail::parallelRows(0, blocks, 1, int64_t(perBlock) * w * n, [&](int b1, int b2) {
        std::vector<uint8_t> scratch(size_t(w) * size_t(n));
        for (int b = b1; b < b2; ++b) {
            const int r1 = y0 + b * perBlock, r2 = std::min(y1, r1 + perBlock);
            uint8_t* o[4];
            for (int c = 0; c < n; ++c) {
                // Not cleared: every byte kept is written first.
                auto& blk = out[c].blocks[size_t(b)];
                blk = std::vector<uint8_t, NoInit>(size_t(rowMax * uint64_t(r2 - r1)));
                o[c] = blk.data();
            }
            for (int y = r1; y < r2; ++y) {
                const uint8_t* src = img.kind == Image::RGBA16 ? nullptr : img.storedRow(y);
                const uint8_t* rowOf[4];
                for (int c = 0; c < n; ++c) {
                    uint8_t* d = scratch.data() + size_t(c) * size_t(w);
                    if (src && img.kind == Image::Matte8) {
                        rowOf[c] = src;
                        continue;
                    }
                    if (src) { // RGBA8: the component gathered into a row of its own
                        const uint8_t* s = src + first + c;
                        for (int x = 0; x < w; ++x) d[x] = s[size_t(x) * 4];
                    } else {
                        img.row8(first + c, y, d);
                    }
                    rowOf[c] = d;
                }
                for (int c = 0; c < n; ++c) {
                    const uint32_t len = compressLine(o[c], rowOf[c], w);
                    out[c].counts[size_t(y - y0)] = len;
                    o[c] += len;
                }
            }
            for (int c = 0; c < n; ++c)
                out[c].blocks[size_t(b)].resize(size_t(o[c] - out[c].blocks[size_t(b)].data()));
        }
    });
    for (int c = 0; c < n; ++c)
        for (const auto& blk : out[c].blocks) out[c].bytes += blk.size();
}

// Rows of one component as raw big-endian 16-bit samples, converted a band at
// a time in parallel and handed to sink(bytes, n).
template <class Sink> void rawRows16(const Image& img, int component, Sink sink) {
    const int w = img.width(), h = img.height();
    if (w <= 0 || h <= 0) return;
    const uint64_t rowBytes = uint64_t(w) * 2;
    const int band = int(std::clamp<uint64_t>((uint64_t(4) << 20) / rowBytes, 1, uint64_t(h)));
    std::vector<uint8_t> buffer(size_t(rowBytes * uint64_t(band)));
    for (int y0 = 0; y0 < h; y0 += band) {
        const int y1 = std::min(h, y0 + band);
        CelAlgo::detail::parallelRows(y0, y1, CelAlgo::detail::rowGrain(y1 - y0), w, [&](int a, int b) {
            for (int y = a; y < b; ++y) img.row16(component, y, buffer.data() + rowBytes * uint64_t(y - y0));
        });
        sink(buffer.data(), size_t(rowBytes * uint64_t(y1 - y0)));
    }
}

void putCount(uint8_t* p, uint32_t v, bool psb) {
    if (psb) {
        p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
    } else {
        p[0] = uint8_t(v >> 8), p[1] = uint8_t(v);
    }
}

void putLength(obuf& out, uint64_t v, bool psb) {
    if (psb)
        out.put64BE(v);
    else
        out.put32BE(uint32_t(v));
}

// ------------------------------------------------------------ the write job

struct WriteJob {
    CodeShape shape;
    CELIO_PsdWriteExtras extras;
    bool psb = false;
    // Per record: the image its raw channels are written from (16-bit documents).
    std::vector<std::shared_ptr<const Image>> images;

    int compression() const { return shape.depth == 16 ? 0 : 1; }
    int64_t maxSide() const { return psb ? Handler::kMaxPsbSide : Handler::kMaxPsdSide; }
    bool keep() const { return extras.keepLayerProperties; }

    // Name padding, extra data length and record size, from the channels and name.
    void finish(Layer& l) const {
        const QByteArray name = storedName(l.name);
        l.name = QString::fromUtf8(name);
        const int64_t n = name.size();
        l.namePadding = int32_t((4 - (n + 1) % 4) % 4);
        int64_t extra = 4 + 4 + 1 + n + l.namePadding;
        if (l.groupEnd) extra += 16;
        if (l.groupStart) extra += 24;
        if (extras.peerCompatible) extra += 12 + unicodeNameBytes(l.name);
        l.extraDataLength = int32_t(extra);
        int64_t size = extra + 34;
        for (const ChannelInfo& c : l.channels) size += (psb ? 10 : 6) + int64_t(c.length);
        l.recordSize = size;
    }

    // A record without pixels: a group's end marker or folder.
    Layer divider(const QString& name, bool start, uint32_t key, uint8_t opacity, bool hidden) {
        Layer l;
        l.blendSignature = k8BIM;
        l.blendKey = key;
        l.opacity = opacity;
        l.flags = hidden ? 2 : 0;
        l.name = name;
        l.groupStart = start;
        l.groupEnd = !start;
        // Other programs refuse records without channels.
        if (extras.peerCompatible)
            for (const int16_t id : {0, 1, 2, -1}) l.channels.push_back(ChannelInfo{id, 2, {}});
        finish(l);
        images.push_back(nullptr);
        return l;
    }

    // The key written for a blend code; -1 and codes outside the table give
    // "norm" with a warning.
    static uint32_t keyOf(int code, const QString& name) {
        const uint32_t key = Handler::blendKeyOfCode(code);
        if (key) return key;
        warn(QT_TRANSLATE_NOOP("qxcelio",
                               "PSD: \"%1\" has blend mode %2, which has no key; written as normal"),
             name, QString::number(code));
        return kNorm;
    }
    static uint8_t opacityByte(float opacity) {
        return uint8_t(std::clamp(std::lround(double(opacity) * 255.0), 0L, 255L));
    }
};

// ------------------------------------------------------------ records

// The four channels of an image run-length coded (each: the row counts, then
// the rows), in one pass over the pixels.
void getLayerChannelData(const Image& image, const WriteJob& job, ChannelInfo* out) {
    const bool psb = job.psb;
    PackedRows packed[4];
    packRows(image, 0, 4, 0, image.height(), packed);
    for (int k = 0; k < 4; ++k) {
        const size_t table = packed[k].counts.size() * (psb ? 4 : 2);
        out[k].data.resize(table + size_t(packed[k].bytes));
        for (size_t y = 0; y < packed[k].counts.size(); ++y)
            putCount(out[k].data.data() + y * (psb ? 4 : 2), packed[k].counts[y], psb);
        uint8_t* o = out[k].data.data() + table;
        for (auto& b : packed[k].blocks) {
            if (!b.empty()) std::memcpy(o, b.data(), b.size());
            o += b.size();
            std::vector<uint8_t, NoInit>().swap(b);
        }
        out[k].length = out[k].data.size() + 2;
    }
}

bool buildLayerData(const CELIO_LayerGroup& group, std::vector<Layer>& records, WriteJob& job,
                    bool root = false);

bool buildLayerData(const CELIO_Layer& layer, std::vector<Layer>& records, WriteJob& job) {
    auto img = std::make_shared<Image>();
    if (!imageOf(layer.representation, job.shape.depth, false, job.keep(), *img)) {
        warn(QT_TRANSLATE_NOOP("qxcelio",
                               "PSD: layer \"%1\" has no image that converts to pixels; not written"),
             layer.name);
        return false;
    }
    if (img->width() > job.maxSide() || img->height() > job.maxSide()) {
        warn(QT_TRANSLATE_NOOP("qxcelio",
                               "PSD: layer \"%1\" of %2 pixels is too large for the file; not written"),
             layer.name, QStringLiteral("%1 x %2").arg(img->width()).arg(img->height()));
        return false;
    }
    Layer r;
    r.top = img->rect.y1();
    r.left = img->rect.x1();
    r.bottom = img->rect.y2();
    r.right = img->rect.x2();
    r.channels.resize(4);
    for (int k = 0; k < 4; ++k) {
        r.channels[size_t(k)].id = int16_t(k == 3 ? -1 : k);
        r.channels[size_t(k)].length = 2 + uint64_t(img->width()) * uint64_t(img->height()) * 2;
    }
    if (job.compression() == 1) getLayerChannelData(*img, job, r.channels.data());
    r.blendSignature = k8BIM;
    r.blendKey = job.keep() ? WriteJob::keyOf(layer.blendMode, layer.name) : kNorm;
    r.opacity = job.keep() ? WriteJob::opacityByte(layer.opacity) : 255;
    r.flags = layer.visible ? 0 : 2;
    r.name = layer.name;
    job.finish(r);
    records.push_back(std::move(r));
    // 16-bit channels are written from the image later; 8-bit ones are done with it.
    job.images.push_back(job.compression() == 0 ? std::shared_ptr<const Image>(std::move(img)) : nullptr);
    return true;
}

bool buildLayerData(const CELIO_LayerGroup& group, std::vector<Layer>& records, WriteJob& job, bool root) {
    bool all = true;
    const bool keep = job.keep();
    if (!root) {
        records.push_back(job.divider(QLatin1String(kGroupEndName), false, kNorm, 255, false));
    }
    if (keep) {
        // As read: layers and groups interleaved by record index.
        for (const LayerItem& item : orderedItems(group))
            all &= item.layer ? buildLayerData(*item.layer, records, job)
                              : buildLayerData(*item.group, records, job);
    } else if (!root || !group.layers.empty()) {
        for (const CELIO_Layer& l : group.layers) all &= buildLayerData(l, records, job);
        // A root group with layers is written with its layers only.
        if (!root || group.layers.empty())
            for (const CELIO_LayerGroup& g : group.groups) all &= buildLayerData(g, records, job);
    } else {
        for (const CELIO_LayerGroup& g : group.groups) all &= buildLayerData(g, records, job);
    }
    if (!root) {
        const uint32_t key = keep ? WriteJob::keyOf(group.blendMode, group.name) : kPass;
        records.push_back(job.divider(group.name, true, key,
                                      keep ? WriteJob::opacityByte(group.opacity) : 255, !group.visible));
    }
    return all;
}

// ------------------------------------------------------------ sections

void writeLayerData(const std::vector<Layer>& records, obuf& out, const WriteJob& job) {
    const bool psb = job.psb;
    if (records.empty()) {
        putLength(out, 0, psb);
        return;
    }
    uint64_t s = 0;
    for (const Layer& l : records) s += uint64_t(l.recordSize);
    // The layer information, then the global layer mask length (4 bytes).
    putLength(out, s + 2 + (psb ? 8 : 4) + 4, psb);
    putLength(out, s + 2, psb);
    const int count = int(records.size());
    out.put16BE(uint16_t(job.extras.peerCompatible && job.shape.channels == 4 ? -count : count));
    for (const Layer& l : records) {
        out.put32BE(uint32_t(l.top));
        out.put32BE(uint32_t(l.left));
        out.put32BE(uint32_t(l.bottom));
        out.put32BE(uint32_t(l.right));
        out.put16BE(uint16_t(l.channels.size()));
        for (const ChannelInfo& c : l.channels) {
            out.put16BE(uint16_t(c.id));
            putLength(out, c.length, psb);
        }
        out.put32BE(l.blendSignature);
        out.put32BE(l.blendKey);
        out.putByte(l.opacity);
        out.putByte(l.clipping);
        out.putByte(l.flags);
        out.putByte(0);
        out.put32BE(uint32_t(l.extraDataLength));
        out.put32BE(0); // layer mask data
        out.put32BE(0); // blending ranges
        const QByteArray name = l.name.toUtf8();
        out.putByte(uint8_t(name.size()));
        out.write(name.constData(), size_t(name.size()));
        for (int i = 0; i < l.namePadding; ++i) out.putByte(0);
        if (l.groupStart) {
            out.put32BE(k8BIM);
            out.put32BE(Handler::fourCC("lsct"));
            out.put32BE(12);
            out.put32BE(1);
            out.put32BE(k8BIM);
            out.put32BE(l.blendKey);
        } else if (l.groupEnd) {
            out.put32BE(k8BIM);
            out.put32BE(Handler::fourCC("lsct"));
            out.put32BE(4);
            out.put32BE(3);
        }
        if (job.extras.peerCompatible) {
            const uint32_t n = unicodeNameBytes(l.name);
            out.put32BE(k8BIM);
            out.put32BE(Handler::fourCC("luni"));
            out.put32BE(n);
            out.put32BE(uint32_t(l.name.size()));
            for (const QChar c : l.name) out.put16BE(c.unicode());
            for (uint32_t i = 4 + 2 * uint32_t(l.name.size()); i < n; ++i) out.putByte(0);
        }
    }
    for (size_t r = 0; r < records.size(); ++r) {
        const Layer& l = records[r];
        for (size_t k = 0; k < l.channels.size(); ++k) {
            const ChannelInfo& c = l.channels[k];
            const Image* img = job.images[r].get();
            if (img) {
                // A raw 16-bit channel, written from its image.
                out.put16BE(0);
                rawRows16(*img, int(k), [&out](const uint8_t* p, size_t n) { out.write(p, n); });
            } else {
                // Group records carry empty raw channels.
                out.put16BE(l.groupStart || l.groupEnd ? 0 : uint16_t(job.compression()));
                out.write(c.data.data(), c.data.size());
            }
        }
    }
    out.put32BE(0); // global layer mask
}

void writeCompressed(obuf& out, const Image& image, const WriteJob& job) {
    const bool psb = job.psb;
    const int channels = job.shape.channels, rows = image.height();
    const size_t countBytes = psb ? 4 : 2;
    out.put16BE(1);
    const uint64_t table = out.tell();
    std::vector<uint8_t> counts(size_t(channels) * size_t(rows) * countBytes, 0);
    out.write(counts.data(), counts.size());
    // A band of rows at a time: encoded in parallel, written, its counts kept
    // for the table, which is filled in at the end.
    const int band =
        int(std::clamp<uint64_t>((uint64_t(8) << 20) / std::max<uint64_t>(uint64_t(image.width()), 1), 1,
                                 uint64_t(std::max(rows, 1))));
    PackedRows packed;
    for (int c = 0; c < channels; ++c)
        for (int y0 = 0; y0 < rows; y0 += band) {
            const int y1 = std::min(rows, y0 + band);
            packRows(image, c, 1, y0, y1, &packed);
            for (const auto& b : packed.blocks) out.write(b.data(), b.size());
            for (int y = y0; y < y1; ++y)
                putCount(counts.data() + (size_t(c) * size_t(rows) + size_t(y)) * countBytes,
                         packed.counts[size_t(y - y0)], psb);
        }
    const uint64_t end = out.tell();
    out.seek(table);
    out.write(counts.data(), counts.size());
    out.seek(end);
}

void writeUncompressed(obuf& out, const Image& image, int component, const WriteJob&) {
    rawRows16(image, component, [&out](const uint8_t* p, size_t n) { out.write(p, n); });
}

} // namespace

// ------------------------------------------------------------ slots

QStringList CELIO_PsdHandler::getWriteExtensions() const {
    return {QStringLiteral("PSD")};
}

QStringList CELIO_PsdHandler::getWriteOptionCodes() const {
    return {QStringLiteral("PSD"),  QStringLiteral("PSD4"),   QStringLiteral("PSD3"),
            QStringLiteral("PSD1"), QStringLiteral("PSDDP4"), QStringLiteral("PSDDP3")};
}

void CELIO_PsdHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.singleChannel = true;
    options.alpha = true;
    options.deepPixels = true;
}

QString CELIO_PsdHandler::getWriteOptionsCode(const CELIO_WriteOptions& o) const {
    if (o.alpha) return o.deepPixels ? QStringLiteral("PSDDP4") : QStringLiteral("PSD4");
    if (o.singleChannel) return QStringLiteral("PSD1");
    return o.deepPixels ? QStringLiteral("PSDDP3") : QStringLiteral("PSD");
}

bool CELIO_PsdHandler::canWriteMultiLayer() const {
    return true;
}

bool CELIO_PsdHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    return write(cel, path, code, CELIO_PsdWriteExtras());
}

bool CELIO_PsdHandler::writeWithLayers(CELIO_LayerInfo& layers, const QString& path,
                                       const QString& code) const {
    return writeWithLayers(layers, path, code, CELIO_PsdWriteExtras());
}

bool CELIO_PsdHandler::write(CEL_Cel* cel, const QString& path, const QString& code,
                             const CELIO_PsdWriteExtras& extras) const {
    if (!canWriteMultiLayer() || !cel) return false;
    const UT_SharedPtr<CEL_Representation> best = cel->findBestRepresentation();
    if (!best) return false;
    CELIO_LayerInfo info;
    CELIO_Layer& document = info.getComposite();
    document.visible = true;
    document.representation = best;
    const Math::Box2di box = best->canvasRect();
    document.width = box.w();
    document.height = box.h();
    document.name = QLatin1String(kDocumentName);
    CodeShape shape;
    // Other programs ignore the composite's alpha in a file without layers.
    if (extras.peerCompatible && shapeOfCode(code, shape) && shape.channels == 4) {
        info.getBaseGroup().layers.push_back(document);
        info.update();
    }
    return writeWithLayers(info, path, code, extras);
}

bool CELIO_PsdHandler::writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code,
                                       const CELIO_PsdWriteExtras& extras) const {
    if (!canWriteMultiLayer()) return false;
    WriteJob job;
    job.extras = extras;
    job.psb = extras.largeDocument;
    if (!shapeOfCode(code, job.shape)) {
        MSG_Scope(kContext, "Unknown PSD option code \"%1\" (codes: %2)\n", 2)
            .arg(code)
            .arg(getWriteOptionCodes().join(QStringLiteral(", ")))
            .post(kWriteFailedCode);
        return false;
    }
    try {
        // The composite in the document's pixel type; its size is the document's.
        Image document;
        if (!imageOf(layers.getComposite().representation, job.shape.depth, job.shape.channels == 1, false,
                     document))
            return false;
        const int64_t w = document.width(), h = document.height();
        const char* format = job.psb ? "PSB" : "PSD";
        if (w > job.maxSide() || h > job.maxSide() || w <= 0 || h <= 0) {
            if (w <= 0 || h <= 0)
                MSG_Scope(kContext, "Image of %1 x %2 pixels cannot be written as a %3 file\n", 2)
                    .arg((long long)w)
                    .arg((long long)h)
                    .arg(format)
                    .post(kWriteFailedCode);
            else if (job.psb)
                MSG_Scope(kContext, "Image of %1 x %2 pixels too large for a PSB file (at most %3 x %3)\n", 2)
                    .arg((long long)w)
                    .arg((long long)h)
                    .arg((long long)kMaxPsbSide)
                    .post(kWriteFailedCode);
            else
                MSG_Scope(kContext,
                          "Image of %1 x %2 pixels too large for a PSD file (at most %3 x %3; the "
                          "large-document option writes PSB, up to %4 x %4)\n",
                          2)
                    .arg((long long)w)
                    .arg((long long)h)
                    .arg((long long)kMaxPsdSide)
                    .arg((long long)kMaxPsbSide)
                    .post(kWriteFailedCode);
            return false;
        }

        std::vector<Layer> records;
        buildLayerData(layers.getBaseGroup(), records, job, true);
        uint64_t section = 0;
        for (const Layer& l : records) section += uint64_t(l.recordSize);
        if (records.size() > size_t(kMaxRecords)) {
            MSG_Scope(kContext, "%1 layer records are too many for a %2 file (at most %3)\n", 2)
                .arg((long long)records.size())
                .arg(format)
                .arg(kMaxRecords)
                .post(kWriteFailedCode);
            return false;
        }
        if (!job.psb && section + 16 > 0xffffffffu) {
            MSG_Scope(kContext,
                      "Layers of %1 bytes too large for a PSD file (at most 4 GiB; the large-document option "
                      "writes PSB)\n",
                      2)
                .arg((long long)section)
                .post(kWriteFailedCode);
            return false;
        }

        obuf out(path);
        if (!out.isOpen()) return false;
        out.write("8BPS", 4);
        out.put16BE(job.psb ? 2 : 1);
        for (int i = 0; i < 6; ++i) out.putByte(0);
        out.put16BE(uint16_t(job.shape.channels));
        out.put32BE(uint32_t(h));
        out.put32BE(uint32_t(w));
        out.put16BE(uint16_t(job.shape.depth));
        out.put16BE(job.shape.mode);
        out.put32BE(0); // colour mode data
        out.put32BE(0); // image resources
        writeLayerData(records, out, job);
        records.clear();
        job.images.clear();
        if (job.shape.depth == 16) {
            out.put16BE(0);
            for (int c = 0; c < job.shape.channels; ++c) writeUncompressed(out, document, c, job);
        } else {
            writeCompressed(out, document, job);
        }
        out.close();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
