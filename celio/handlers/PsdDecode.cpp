// Channel decoders of the PSD reader: raw planes, run-length rows, deflate
// streams with or without prediction, and the assembly of decoded rows into
// the pixmap.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "algo/composite/CompositeDetail.h"
#include "base/Platform.h"
#include "celio/ByteIO.h"
#include "celio/handlers/PsdDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace psd_detail {

void badData() {
    throw int(ibuf::EndOfData);
}

int Layout::bytesPerPixel() const {
    switch (kind) {
    case RGBA8:
        return 4;
    case RGBA16:
        return 8;
    case Matte8:
        return 1;
    case Matte16:
        return 2;
    }
    return 8;
}

uint64_t Layout::rowBytes(int width) const {
    if (bitmap) return (uint64_t(width) + 7) / 8;
    return uint64_t(width) * (deep ? 2 : 1);
}

Layout layoutFor(bool deep, int channels, Handler::Mode mode) {
    Layout l;
    l.deep = deep;
    l.grayAlpha = channels == 2 && mode == Handler::Grayscale;
    // Depth 16 means exactly 16; every other depth is read as bytes, and the
    // Bitmap mode's bytes are packed bits.
    l.bitmap = !deep && mode == Handler::Bitmap;
    if (channels == 1) {
        l.kind = deep ? Layout::Matte16 : Layout::Matte8;
        l.planes = 1;
    } else {
        l.kind = deep ? Layout::RGBA16 : Layout::RGBA8;
        l.planes = std::clamp(channels, 0, 4);
        l.defaultAlpha = channels < 4 && !l.grayAlpha;
    }
    return l;
}

bool fitsPixmap(int64_t width, int64_t height, int bytesPerPixel) {
    if (width < 0 || height < 0 || width > std::numeric_limits<int>::max() ||
        height > std::numeric_limits<int>::max())
        return false;
    const unsigned long long bytes = (unsigned long long)width * (unsigned long long)height;
    if (height != 0 && bytes / (unsigned long long)height != (unsigned long long)width) return false;
    if (bytes > std::numeric_limits<unsigned long long>::max() / unsigned(bytesPerPixel)) return false;
    return bytes * unsigned(bytesPerPixel) <= CEL_Pixmap::maxPixmapBytes();
}

namespace {

// Bytes left in the stream after the current position.
uint64_t remainingBytes(ibuf& in) {
    const uint64_t size = in.size(), here = in.tell();
    return size > here ? size - here : 0;
}

// Products of sizes that have passed fitsPixmap-like bounds still get checked.
uint64_t mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a) badData();
    return a * b;
}

} // namespace

const uint8_t* Planes::readBuffer(ibuf& in, uint64_t n) {
    if (n > remainingBytes(in) || n > uint64_t(std::numeric_limits<size_t>::max())) badData();
    buffers.emplace_back(new uint8_t[size_t(std::max<uint64_t>(n, 1))]);
    uint8_t* b = buffers.back().get();
    in.read(b, size_t(n));
    return b;
}

void gatherRaw(ibuf& in, const Layout& layout, int width, int height, int planeCount, int first,
               Planes& out) {
    const uint64_t planeBytes = mul(layout.rowBytes(width), uint64_t(height));
    const uint64_t all = mul(planeBytes, uint64_t(planeCount));
    if (all > remainingBytes(in)) badData();
    const uint64_t start = in.tell();
    for (int k = 0; k < planeCount; ++k) {
        Plane p;
        p.selector = planeCount == 1 ? first : layout.selectorOfPlane(k);
        p.compression = 0;
        p.fileOffset = start + planeBytes * uint64_t(k);
        out.planes.push_back(p);
    }
    in.skip(int64_t(all));
}

void gatherRunLength(ibuf& in, bool psb, uint64_t dataLength, const Layout& layout, int width, int height,
                     int channelsInTable, int planeCount, int first, Planes& out) {
    const unsigned countBytes = psb ? 4 : 2;
    const uint64_t tableRows = mul(uint64_t(height), uint64_t(channelsInTable));
    const uint64_t tableBytes = mul(tableRows, countBytes);
    if (tableBytes > dataLength) badData();
    const uint8_t* table = out.readBuffer(in, tableBytes);

    const uint64_t wantedRows = uint64_t(height) * uint64_t(planeCount);
    out.counts.emplace_back(size_t(wantedRows));
    out.starts.emplace_back(size_t(wantedRows) + 1);
    std::vector<uint32_t>& counts = out.counts.back();
    std::vector<uint64_t>& starts = out.starts.back();
    uint64_t total = 0;
    for (uint64_t i = 0; i < wantedRows; ++i) {
        const uint8_t* c = table + i * countBytes;
        counts[i] = psb ? uint32_t(c[0]) << 24 | uint32_t(c[1]) << 16 | uint32_t(c[2]) << 8 | c[3]
                        : uint32_t(c[0]) << 8 | c[1];
        starts[i] = total;
        total += counts[i];
    }
    starts[wantedRows] = total;
    if (total > dataLength - tableBytes || total > remainingBytes(in)) badData();
    // A large image must carry enough bytes to code all of its rows.
    const uint64_t rowBytes = layout.rowBytes(width);
    if (mul(rowBytes, wantedRows) > kSmallImageBytes && total < wantedRows * 2 * ((rowBytes + 127) / 128))
        badData();
    const uint64_t rows = in.tell();
    for (int k = 0; k < planeCount; ++k) {
        Plane p;
        p.selector = planeCount == 1 ? first : layout.selectorOfPlane(k);
        p.compression = 1;
        p.rowStart = starts.data() + uint64_t(k) * uint64_t(height);
        p.rowCount = counts.data() + uint64_t(k) * uint64_t(height);
        p.fileOffset = rows + p.rowStart[0];
        out.planes.push_back(p);
    }
    in.skip(int64_t(total));
}

void gatherDeflate(ibuf& in, uint64_t dataLength, uint16_t compression, const Layout& layout, int width,
                   int height, int planeCount, int first, Planes& out) {
    const uint64_t expected = mul(mul(layout.rowBytes(width), uint64_t(height)), uint64_t(planeCount));
    // zlib expands at most about 1032 to 1.
    if (expected > kSmallImageBytes && mul(dataLength, 1032) < expected) badData();
    const uint8_t* stream = out.readBuffer(in, dataLength);
    for (int k = 0; k < planeCount; ++k) {
        Plane p;
        p.selector = planeCount == 1 ? first : layout.selectorOfPlane(k);
        p.compression = compression;
        if (k == 0) {
            p.stream = stream;
            p.streamSize = dataLength;
            p.inflatedBytes = expected;
            p.sharedStream = planeCount > 1;
        }
        out.planes.push_back(p);
    }
}

namespace {

// Inflates into out (zeroed, n bytes); output beyond n is not wanted. False on
// a damaged stream or one that ends before its data is complete.
bool inflateInto(const uint8_t* src, uint64_t srcSize, uint8_t* out, uint64_t n) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    bool ok = true;
    uint64_t inLeft = srcSize, outLeft = n;
    const uint8_t* in = src;
    uint8_t* o = out;
    constexpr uint64_t kChunk = 1u << 30; // zlib counts in 32 bits
    while (true) {
        const uInt inNow = uInt(std::min(inLeft, kChunk)), outNow = uInt(std::min(outLeft, kChunk));
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = inNow;
        z.next_out = o;
        z.avail_out = outNow;
        const int rc = inflate(&z, Z_NO_FLUSH);
        const uInt usedIn = inNow - z.avail_in, madeOut = outNow - z.avail_out;
        in += usedIn;
        inLeft -= usedIn;
        o += madeOut;
        outLeft -= madeOut;
        if (rc == Z_STREAM_END || outLeft == 0) break; // complete, or all that is wanted
        if (rc == Z_OK && (usedIn || madeOut)) continue;
        ok = false; // damaged, or the input ended first
        break;
    }
    inflateEnd(&z);
    return ok;
}

} // namespace

void inflateAll(Planes& planes, const Layout& layout, int width, int height) {
    std::vector<size_t> jobs;
    for (size_t i = 0; i < planes.planes.size(); ++i)
        if (planes.planes[i].stream) jobs.push_back(i);
    if (jobs.empty()) return;
    std::vector<uint8_t*> outputs;
    for (const size_t i : jobs) {
        const uint64_t n = planes.planes[i].inflatedBytes;
        if (n > uint64_t(std::numeric_limits<size_t>::max())) badData();
        planes.buffers.emplace_back(new uint8_t[size_t(std::max<uint64_t>(n, 1))]());
        outputs.push_back(planes.buffers.back().get());
    }
    std::atomic<bool> failed{false};
    const int64_t pixels = int64_t(width) * height;
    CelAlgo::detail::parallelRows(0, int(jobs.size()), 1, pixels, [&](int j1, int j2) {
        for (int j = j1; j < j2; ++j) {
            const Plane& p = planes.planes[jobs[size_t(j)]];
            if (!inflateInto(p.stream, p.streamSize, outputs[size_t(j)], p.inflatedBytes)) failed = true;
        }
    });
    if (failed) badData();
    const uint64_t planeBytes = layout.rowBytes(width) * uint64_t(height);
    for (size_t j = 0; j < jobs.size(); ++j) {
        const size_t first = jobs[j];
        const size_t shared = planes.planes[first].sharedStream ? planes.planes.size() - first : 1;
        for (size_t k = 0; k < shared; ++k) {
            Plane& p = planes.planes[first + k];
            p.samples = outputs[j] + planeBytes * k;
            p.stream = nullptr;
        }
    }
}

namespace {

// Copies and fills in 16-byte blocks: a packet of PackBits is at most 128
// bytes, where a call of memcpy or memset costs more than the bytes.
inline void copyBlocks(uint8_t* dst, const uint8_t* src, uint64_t n) {
    for (uint64_t k = 0; k < n; k += 16) std::memcpy(dst + k, src + k, 16);
}
inline void fillBlocks(uint8_t* dst, uint8_t v, uint64_t n) {
    uint8_t block[16];
    std::memset(block, v, sizeof block);
    for (uint64_t k = 0; k < n; k += 16) std::memcpy(dst + k, block, 16);
}

} // namespace

void unpackRow(const uint8_t* src, uint32_t count, uint8_t* dst, uint64_t capacity, uint8_t blank) {
    uint64_t out = 0;
    uint64_t budget = count;
    while (budget > 0 && out < capacity) {
        const uint8_t h = *src++;
        if (--budget == 0) break;
        if (h < 128) {
            const uint64_t n = std::min<uint64_t>(uint64_t(h) + 1, budget);
            const uint64_t w = std::min(n, capacity - out);
            // Whole blocks may read past the literal while the row still has the bytes.
            if (budget >= ((w + 15) & ~uint64_t(15)))
                copyBlocks(dst + out, src, w);
            else
                std::memcpy(dst + out, src, size_t(w));
            src += n;
            budget -= n;
            out += w;
        } else if (h > 128) {
            const uint8_t v = *src++;
            --budget;
            const uint64_t w = std::min<uint64_t>(257u - h, capacity - out);
            fillBlocks(dst + out, v, w);
            out += w;
        }
    }
    if (out < capacity) std::memset(dst + out, blank, size_t(capacity - out));
}

namespace {

// Where the rows of one plane go: up to three components of a pixel.
struct Target {
    const Plane* plane;
    int comps[3];
    int compCount;
    bool alpha; // the plane feeds alpha (blank rows start opaque under defaultAlpha)
};

void undoDelta8(uint8_t* row, uint64_t n) {
    for (uint64_t x = 1; x < n; ++x) row[x] = uint8_t(row[x] + row[x - 1]);
}

void undoDelta16(uint8_t* row, uint64_t samples) {
    uint16_t prev = uint16_t(row[0] << 8 | row[1]);
    for (uint64_t x = 1; x < samples; ++x) {
        prev = uint16_t(prev + (row[2 * x] << 8 | row[2 * x + 1]));
        row[2 * x] = uint8_t(prev >> 8);
        row[2 * x + 1] = uint8_t(prev);
    }
}

// A 16-bit file sample (0..65535) as v * 32767 / 65535, truncating: half of
// it, one less for an even value above 0 (exact for every v; written so that
// the loops over it vectorise).
inline int16_t deepSample(uint32_t v) {
    return int16_t((v >> 1) - ((v & 1) ^ 1) + uint32_t(v == 0));
}

// An 8-bit sample by the 8 -> 16 rule, v * 32767 / 255: 128 v plus
// 127 v / 255 truncated, which is half of v, one less for an even v above 0.
inline int16_t wideSample(uint32_t v) {
    return int16_t(128 * v + (v >> 1) - ((v & 1) ^ 1) + uint32_t(v == 0));
}

void widen(const uint8_t* src, int16_t* dst, int n) {
    for (int x = 0; x < n; ++x) dst[x] = wideSample(src[x]);
}

// Big-endian 16-bit samples into one component of a matte (stride 1) or of RGBA pixels (stride 4).
void storeDeep(int16_t* dst, int stride, const uint8_t* src, int n) {
    if (stride == 1) {
        for (int x = 0; x < n; ++x) dst[x] = deepSample(uint32_t(src[2 * x]) << 8 | src[2 * x + 1]);
        return;
    }
    for (int x = 0; x < n; ++x) dst[size_t(x) * 4] = deepSample(uint32_t(src[2 * x]) << 8 | src[2 * x + 1]);
}

void expandBits(const uint8_t* packed, uint8_t* dst, int n) {
    for (int x = 0; x < n; ++x) dst[x] = (packed[x >> 3] & (0x80 >> (x & 7))) ? 0 : 255;
}

// Into one component: stride 1 (a matte) or 4 (RGBA pixels).
template <class T> void storeStrided(T* dst, int stride, const T* src, int n) {
    if (stride == 1) {
        std::memcpy(dst, src, size_t(n) * sizeof(T));
        return;
    }
    for (int x = 0; x < n; ++x) dst[size_t(x) * 4] = src[x];
}

// One row of RGBA pixels from four component rows, each pixel written once.
void interleave8(uint8_t* dst, const uint8_t* const s[4], int n) {
    const uint8_t *r = s[0], *g = s[1], *b = s[2], *a = s[3];
    for (int x = 0; x < n; ++x) {
        dst[4 * x] = r[x];
        dst[4 * x + 1] = g[x];
        dst[4 * x + 2] = b[x];
        dst[4 * x + 3] = a[x];
    }
}

// Big-endian 16-bit samples as ours, into a row of their own.
void toSamples(const uint8_t* src, int16_t* dst, int n) {
    for (int x = 0; x < n; ++x) {
        uint16_t v;
        std::memcpy(&v, src + 2 * x, 2);
        dst[x] = deepSample(uint16_t(v << 8 | v >> 8));
    }
}

void interleave16(int16_t* dst, const int16_t* const s[4], int n) {
    const int16_t *r = s[0], *g = s[1], *b = s[2], *a = s[3];
    for (int x = 0; x < n; ++x) {
        dst[4 * x] = r[x];
        dst[4 * x + 1] = g[x];
        dst[4 * x + 2] = b[x];
        dst[4 * x + 3] = a[x];
    }
}

// dst = c * a / 32767 rounded half up, for samples that are never negative:
// x / 32767 as (x + (x >> 15) + 1) >> 15, exact for every such product.
void premultiplyRow(int16_t* dst, const int16_t* c, const int16_t* a, int n) {
    for (int x = 0; x < n; ++x) {
        const uint32_t v = uint32_t(int32_t(c[x]) * a[x] + 16383);
        dst[x] = int16_t((v + (v >> 15) + 1) >> 15);
    }
}

} // namespace

CEL_Pixmap* assemble(const Layout& layout, int width, int height, Planes& planes, CEL_Pixmap* pixmap,
                     ibuf& in) {
    const bool fresh = pixmap == nullptr;
    if (fresh) {
        if (!fitsPixmap(width, height, layout.bytesPerPixel())) return nullptr;
        const Math::Size2di size(width, height);
        switch (layout.kind) {
        case Layout::RGBA8:
            pixmap = new CEL_PixmapRGBA8(size, CEL_PixmapRGBA8::DoNotMemset());
            break;
        case Layout::RGBA16:
            pixmap = new CEL_PixmapRGBA16(size, CEL_PixmapRGBA16::DoNotMemset());
            break;
        case Layout::Matte8:
            pixmap = new CEL_PixmapMatte8(size);
            break;
        case Layout::Matte16:
            pixmap = new CEL_PixmapMatte16(size);
            break;
        }
        if (pixmap->allocatedSize() == 0 && uint64_t(width) * uint64_t(height) != 0) {
            delete pixmap;
            return nullptr;
        }
    }
    if (width == 0 || height == 0) return pixmap;
    // A pixmap made here is deleted when the data ends before it is filled.
    std::unique_ptr<CEL_Pixmap> made(fresh ? pixmap : nullptr);
    uint8_t* base = nullptr;
    if (auto* p = dynamic_cast<CEL_PixmapRGBA8*>(pixmap)) base = reinterpret_cast<uint8_t*>(p->data());
    if (auto* p = dynamic_cast<CEL_PixmapRGBA16*>(pixmap)) base = reinterpret_cast<uint8_t*>(p->data());
    if (auto* p = dynamic_cast<CEL_PixmapMatte8*>(pixmap)) base = p->data();
    if (auto* p = dynamic_cast<CEL_PixmapMatte16*>(pixmap)) base = reinterpret_cast<uint8_t*>(p->data());
    if (!base || pixmap->width() != width || pixmap->height() != height) {
        return nullptr;
    }

    // The components each plane feeds.
    const bool matte = layout.matte();
    const int stride = matte ? 1 : 4;
    std::vector<Target> targets;
    for (const Plane& p : planes.planes) {
        Target t{&p, {0, 0, 0}, 0, false};
        if (matte) {
            t.comps[t.compCount++] = 0;
        } else if (layout.grayAlpha) {
            if (p.selector == 3) {
                t.comps[t.compCount++] = 3;
            } else {
                for (int c = 0; c < 3; ++c) t.comps[t.compCount++] = c;
            }
        } else if (p.selector >= 0 && p.selector <= 3) {
            t.comps[t.compCount++] = p.selector;
        }
        if (t.compCount == 0) continue;
        t.alpha = !matte && t.comps[0] == 3;
        targets.push_back(t);
    }
    const bool deep = layout.deep;
    const uint64_t rowBytes = layout.rowBytes(width);
    const size_t sampleRowBytes = size_t(width) * (deep ? 2 : 1);
    const size_t pixelBytes = size_t(layout.bytesPerPixel());
    // A new RGBA pixmap is written in one pass per row: each component from
    // its plane's row, or from a row of its blank value.
    const bool interleaved = fresh && !matte;
    // Samples become 16-bit before they are interleaved (16-bit files, widened 8-bit ones).
    const bool wide = deep || layout.widen;
    const double opacity = layout.opacity / 255.0;
    int16_t alphaTable[256]; // 8-bit alpha through the opacity, then widened
    for (int a = 0; a < 256; ++a) alphaTable[a] = wideSample(uint8_t(a * opacity));
    const int16_t opaqueWide = layout.widen ? alphaTable[255] : int16_t(32767 * opacity);
    int sourceOf[4] = {-1, -1, -1, -1};
    for (size_t t = 0; t < targets.size(); ++t)
        for (int i = 0; i < targets[t].compCount; ++i) sourceOf[targets[t].comps[i]] = int(t);

    // Bands of rows: the band's coded rows of every plane still in the file are
    // read into one reused buffer, then the rows are decoded in parallel.
    const uint64_t codedPerRow = std::max<uint64_t>(rowBytes * targets.size(), 1);
    const int band = int(std::clamp<uint64_t>((uint64_t(4) << 20) / codedPerRow, 16, uint64_t(height)));
    std::vector<uint8_t> bandBuffer;
    std::vector<uint64_t> bandAt(targets.size()); // where each plane's rows start in the buffer
    for (int b0 = 0; b0 < height; b0 += band) {
        const int b1 = std::min(height, b0 + band);
        uint64_t need = 0;
        for (size_t t = 0; t < targets.size(); ++t) {
            const Plane& p = *targets[t].plane;
            bandAt[t] = need;
            if (p.compression == 0) need += rowBytes * uint64_t(b1 - b0);
            if (p.compression == 1) need += p.rowStart[b1] - p.rowStart[b0];
        }
        if (need > bandBuffer.size()) bandBuffer.resize(size_t(need));
        for (size_t t = 0; t < targets.size(); ++t) {
            const Plane& p = *targets[t].plane;
            if (!p.inFile()) continue;
            const uint64_t from = p.fileOffset + (p.compression == 0 ? rowBytes * uint64_t(b0)
                                                                     : p.rowStart[b0] - p.rowStart[0]);
            const uint64_t n = (t + 1 < targets.size() ? bandAt[t + 1] : need) - bandAt[t];
            in.seek(int64_t(from));
            in.read(bandBuffer.data() + bandAt[t], size_t(n));
        }
        CelAlgo::detail::parallelRows(
            b0, b1, CelAlgo::detail::rowGrain(b1 - b0), int64_t(width) * 4, [&](int y1, int y2) {
                const size_t codedStride = size_t(rowBytes) + kRowSlack;
                std::vector<uint8_t> coded(codedStride * targets.size());
                std::vector<int16_t> samples(wide && interleaved ? size_t(width) * (targets.size() + 2) : 0);
                // 0, then opaque; no pointer into an empty vector (its data() may be null)
                int16_t* blank16 =
                    samples.empty() ? nullptr : samples.data() + size_t(width) * targets.size();
                if (!samples.empty()) {
                    std::fill(blank16, blank16 + width, int16_t(0));
                    std::fill(blank16 + width, blank16 + 2 * size_t(width), opaqueWide);
                }
                std::vector<int16_t> premultiplied(layout.premultiply ? size_t(width) * 3 : 0);
                std::vector<uint8_t> expanded(layout.bitmap ? size_t(width) * targets.size() : 0);
                const std::vector<uint8_t> zeros(sampleRowBytes, 0), ones(sampleRowBytes, 0xFF);
                std::vector<const uint8_t*> decoded(targets.size());
                for (int y = y1; y < y2; ++y) {
                    uint8_t* row = base + size_t(y) * size_t(width) * pixelBytes;
                    for (size_t t = 0; t < targets.size(); ++t) {
                        const Target& target = targets[t];
                        const Plane& p = *target.plane;
                        uint8_t* scratch = coded.data() + codedStride * t;
                        const uint8_t* src = zeros.data();
                        if (p.compression == 1) {
                            const uint8_t* packed =
                                bandBuffer.data() + bandAt[t] + (p.rowStart[y] - p.rowStart[b0]);
                            unpackRow(packed, p.rowCount[y], scratch, rowBytes,
                                      target.alpha && layout.defaultAlpha ? 0xFF : 0);
                            src = scratch;
                        } else if (p.compression == 0) {
                            src = bandBuffer.data() + bandAt[t] + rowBytes * uint64_t(y - b0);
                        } else if (p.samples) {
                            src = p.samples + uint64_t(y) * rowBytes;
                            if (p.compression == 3) {
                                std::memcpy(scratch, src, size_t(rowBytes));
                                if (deep)
                                    undoDelta16(scratch, rowBytes / 2);
                                else
                                    undoDelta8(scratch, rowBytes);
                                src = scratch;
                            }
                        }
                        if (layout.bitmap) {
                            uint8_t* e = expanded.data() + size_t(width) * t;
                            expandBits(src, e, width);
                            src = e;
                        }
                        decoded[t] = src;
                        if (interleaved) {
                            if (!wide) continue; // 8-bit rows are interleaved from `decoded`
                            int16_t* out = samples.data() + size_t(width) * t;
                            if (deep)
                                toSamples(src, out, width);
                            else if (wide)
                                widen(src, out, width);
                            if (wide && target.alpha && layout.opacity != 255) {
                                if (deep)
                                    for (int x = 0; x < width; ++x) out[x] = int16_t(out[x] * opacity);
                                else
                                    for (int x = 0; x < width; ++x) out[x] = alphaTable[src[x]];
                            }
                            continue;
                        }
                        if (deep) {
                            auto* d = reinterpret_cast<int16_t*>(row);
                            for (int i = 0; i < target.compCount; ++i)
                                storeDeep(d + target.comps[i], stride, src, width);
                        } else {
                            for (int i = 0; i < target.compCount; ++i)
                                storeStrided(row + target.comps[i], stride, src, width);
                        }
                    }
                    if (!interleaved) continue;
                    const bool opaque = layout.defaultAlpha;
                    if (wide) {
                        const int16_t* s[4];
                        for (int c = 0; c < 4; ++c)
                            s[c] = sourceOf[c] >= 0 ? samples.data() + size_t(width) * size_t(sourceOf[c])
                                                    : blank16 + (c == 3 && opaque ? width : 0);
                        if (layout.premultiply) {
                            for (int c = 0; c < 3; ++c) {
                                int16_t* out = premultiplied.data() + size_t(width) * size_t(c);
                                premultiplyRow(out, s[c], s[3], width);
                                s[c] = out;
                            }
                        }
                        interleave16(reinterpret_cast<int16_t*>(row), s, width);
                    } else {
                        const uint8_t* s[4];
                        for (int c = 0; c < 4; ++c)
                            s[c] = sourceOf[c] >= 0 ? decoded[size_t(sourceOf[c])]
                                                    : (c == 3 && opaque ? ones.data() : zeros.data());
                        interleave8(row, s, width);
                    }
                }
            });
    }
    made.release();
    return pixmap;
}

namespace {

// Alpha times opacity / 255 (double, truncated).
template <class P, class A> void applyOpacity(P* pixels, size_t n, uint8_t opacity) {
    const double f = opacity / 255.0;
    for (size_t i = 0; i < n; ++i) pixels[i].a = A(pixels[i].a * f);
}

} // namespace

CEL_PixmapAreaRGBA16* toDocumentArea(std::unique_ptr<CEL_Pixmap> decoded, uint8_t opacity,
                                     std::unique_ptr<CEL_PixmapAreaRGBA16> area, const Math::Box2di& rect) {
    const int width = decoded->width(), height = decoded->height();
    const size_t n = size_t(width) * size_t(height);
    std::unique_ptr<CEL_PixmapRGBA16> wide;
    if (auto* p8 = dynamic_cast<CEL_PixmapRGBA8*>(decoded.get())) {
        if (opacity != 255) applyOpacity<CEL_PixelRGBA8, uint8_t>(p8->data(), n, opacity);
        wide = std::make_unique<CEL_PixmapRGBA16>(*p8);
    } else if (auto* p16 = dynamic_cast<CEL_PixmapRGBA16*>(decoded.get())) {
        decoded.release();
        wide.reset(p16);
        if (opacity != 255) applyOpacity<CEL_PixelRGBA16, int16_t>(wide->data(), n, opacity);
    } else {
        // One channel: its value in every channel, as the mattes convert.
        wide =
            std::make_unique<CEL_PixmapRGBA16>(Math::Size2di(width, height), CEL_PixmapRGBA16::DoNotMemset());
        if (CEL_PixelRGBA16* d = wide->data()) {
            if (auto* m8 = dynamic_cast<CEL_PixmapMatte8*>(decoded.get()))
                for (size_t i = 0; i < n; ++i) {
                    const int16_t v = CEL_PixelRule::from8(m8->data()[i]);
                    d[i] = CEL_PixelRGBA16{v, v, v, v};
                }
            else if (auto* m16 = dynamic_cast<CEL_PixmapMatte16*>(decoded.get()))
                for (size_t i = 0; i < n; ++i) {
                    const int16_t v = m16->data()[i];
                    d[i] = CEL_PixelRGBA16{v, v, v, v};
                }
            if (opacity != 255) applyOpacity<CEL_PixelRGBA16, int16_t>(d, n, opacity);
        }
    }
    decoded.reset();
    if (!wide->data()) return nullptr;
    if (!area->alloc(rect, wide->releaseData())) return nullptr;
    area->clipToCanvas();
    return area.release();
}

} // namespace psd_detail
