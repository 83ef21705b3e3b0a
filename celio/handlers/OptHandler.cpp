// OPT files: the plane decoder, the plane encoder and the handler.
// oneTBB's headers come before Qt's, whose emit macro they would trip over.
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <vector>

#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "celio/ByteIO.h"
#include "celio/MemoryFile.h"
#include "celio/handlers/OptHandler.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapCanvas.h"

namespace {

using Header = QXCelUioOptHandler::Header;

constexpr size_t kMaxPacket = 32767; // values in a packet the encoder writes
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// ------------------------------------------------------------------ input

// Follows one plane through the input with a window of its own, so that the
// planes of an image can be decoded side by side in one pass over the pixmap.
// Positional reads leave the ibuf's own position alone.
class Cursor {
public:
    static constexpr size_t kWindow = 131072;

    Cursor(ibuf& in, uint64_t position) : m_in(&in), m_next(position), m_buffer(new uint8_t[kWindow]) {
        m_cur = m_end = m_buffer.get();
    }

    // n (at most kWindow) bytes contiguous at the returned pointer; throws
    // ibuf::EndOfData when the data ends first.
    const uint8_t* need(size_t n) {
        if (size_t(m_end - m_cur) < n) refill(n);
        return m_cur;
    }
    // Between 1 and n bytes contiguous at data(); returns how many. Throws at the end.
    size_t some(size_t n) {
        if (m_cur == m_end) refill(1);
        return std::min(n, size_t(m_end - m_cur));
    }
    const uint8_t* data() const { return m_cur; }
    void advance(size_t n) { m_cur += n; }
    // Moves on n bytes without reading those beyond the window.
    void skip(uint64_t n) {
        const size_t have = size_t(m_end - m_cur);
        if (n <= have) {
            m_cur += n;
            return;
        }
        m_next += n - have;
        m_cur = m_end = m_buffer.get();
    }
    uint64_t position() const { return m_next - uint64_t(m_end - m_cur); }

private:
    void refill(size_t n) {
        const size_t have = size_t(m_end - m_cur);
        if (have && m_cur != m_buffer.get()) std::memmove(m_buffer.get(), m_cur, have);
        m_cur = m_buffer.get();
        const size_t got = m_in->readAt(m_next, m_buffer.get() + have, kWindow - have);
        m_next += got;
        m_end = m_cur + have + got;
        if (have + got < n) throw ibuf::EndOfData;
    }

    ibuf* m_in;
    uint64_t m_next; // input position of m_end
    std::unique_ptr<uint8_t[]> m_buffer;
    const uint8_t* m_cur;
    const uint8_t* m_end;
};

// The packet a plane is in: values left, and whether they repeat one value.
struct Packet {
    uint32_t left = 0;
    bool run = false;
    uint8_t value = 0;
};

// Reads the next packet header (and a run's value).
inline void startPacket(Cursor& in, Packet& pk) {
    const uint8_t* p = in.need(2);
    const int count = int16_t(uint16_t((p[0] << 8) | p[1]));
    in.advance(2);
    if (count < 0) {
        pk.left = uint32_t(-count);
        pk.run = false;
    } else {
        pk.value = *in.need(1);
        in.advance(1);
        pk.left = uint32_t(count);
        pk.run = true;
    }
}

// A plane being decoded: where its bytes come from and the packet it is in.
// A verbatim plane is one literal packet as long as the plane.
struct PlaneSource {
    Cursor in;
    Packet packet;
};

// The end of a plane: the rest of a packet that ran past it is passed over.
inline void finishPlane(PlaneSource& s) {
    if (s.packet.left && !s.packet.run) s.in.skip(s.packet.left);
    s.packet.left = 0;
}

// The input position where a compressed plane of count values that starts at
// `in` ends, reading packet headers only.
uint64_t planeEnd(Cursor& in, size_t count) {
    size_t made = 0;
    while (made < count) {
        const uint8_t* p = in.need(2);
        const int c = int16_t(uint16_t((p[0] << 8) | p[1]));
        in.advance(2);
        in.skip(c < 0 ? uint64_t(-c) : 1);
        made += size_t(c < 0 ? -c : c);
    }
    return in.position();
}

inline void store32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, 4);
}

// The next n values of a plane into dst, a value every stride bytes; the
// packet the plane is in carries over to the next call.
void fillPlane(PlaneSource& s, uint8_t* dst, size_t n, size_t stride) {
    Packet& pk = s.packet;
    for (size_t i = 0; i < n;) {
        if (pk.left == 0) {
            startPacket(s.in, pk);
            continue;
        }
        size_t k = std::min(size_t(pk.left), n - i);
        uint8_t* d = dst + i * stride;
        if (pk.run) {
            if (stride == 1)
                std::memset(d, pk.value, k);
            else
                for (size_t j = 0; j < k; ++j) d[j * stride] = pk.value;
        } else {
            k = s.in.some(k);
            const uint8_t* v = s.in.data();
            if (stride == 1)
                std::memcpy(d, v, k);
            else
                for (size_t j = 0; j < k; ++j) d[j * stride] = v[j];
            s.in.advance(k);
        }
        pk.left -= uint32_t(k);
        i += k;
    }
}

// One whole plane into dst.
void decodePlane(PlaneSource& s, uint8_t* dst, size_t count, size_t stride) {
    fillPlane(s, dst, count, stride);
    finishPlane(s);
}

// Values a block of the side-by-side decoder takes from each plane.
constexpr size_t kBlock = 4096;

// Three or four planes side by side into RGBA8 pixels, in one pass over the
// pixmap, a block at a time: where every plane repeats one value over the
// whole block the pixels are filled as words; otherwise each plane's values
// are taken straight from its window (a literal that covers the block) or
// decoded into a small buffer, and the planes interleaved. Without an alpha
// plane alpha is 255.
void decodePixels(PlaneSource* planes, int channels, uint8_t* dst, size_t count) {
    std::unique_ptr<uint8_t[]> buffers(new uint8_t[4 * kBlock]);
    std::memset(buffers.get() + 3 * kBlock, 255, kBlock); // alpha of three-channel images
    for (size_t i = 0; i < count;) {
        const size_t n = std::min(kBlock, count - i);
        bool allRuns = true;
        for (int c = 0; c < channels; ++c) {
            Packet& pk = planes[c].packet;
            while (pk.left == 0) startPacket(planes[c].in, pk);
            allRuns = allRuns && pk.run && pk.left >= n;
        }
        uint8_t* d = dst + 4 * i;
        if (allRuns) {
            const uint8_t a = channels == 4 ? planes[3].packet.value : 255;
            const uint32_t word =
                kLittleEndian
                    ? uint32_t(planes[0].packet.value) | uint32_t(planes[1].packet.value) << 8 |
                          uint32_t(planes[2].packet.value) << 16 | uint32_t(a) << 24
                    : uint32_t(planes[0].packet.value) << 24 | uint32_t(planes[1].packet.value) << 16 |
                          uint32_t(planes[2].packet.value) << 8 | a;
            for (size_t j = 0; j < n; ++j) store32(d + 4 * j, word);
            for (int c = 0; c < channels; ++c) planes[c].packet.left -= uint32_t(n);
            i += n;
            continue;
        }
        const uint8_t* src[4] = {nullptr, nullptr, nullptr, buffers.get() + 3 * kBlock};
        for (int c = 0; c < channels; ++c) {
            PlaneSource& p = planes[c];
            uint8_t* own = buffers.get() + size_t(c) * kBlock;
            if (!p.packet.run && p.packet.left >= n && p.in.some(n) == n) {
                src[c] = p.in.data(); // read in place; advanced after the interleave
            } else {
                fillPlane(p, own, n, 1);
                src[c] = own;
            }
        }
        const uint8_t* __restrict r = src[0], * __restrict g = src[1], * __restrict b = src[2], * __restrict a = src[3];
        if constexpr (kLittleEndian) {
            for (size_t j = 0; j < n; ++j)
                store32(d + 4 * j,
                        uint32_t(r[j]) | uint32_t(g[j]) << 8 | uint32_t(b[j]) << 16 | uint32_t(a[j]) << 24);
        } else {
            for (size_t j = 0; j < n; ++j)
                d[4 * j] = r[j], d[4 * j + 1] = g[j], d[4 * j + 2] = b[j], d[4 * j + 3] = a[j];
        }
        for (int c = 0; c < channels; ++c)
            if (src[c] != buffers.get() + size_t(c) * kBlock) {
                planes[c].in.advance(n);
                planes[c].packet.left -= uint32_t(n);
            }
        i += n;
    }
    for (int c = 0; c < channels; ++c) finishPlane(planes[c]);
}

// Whether the bytes left can hold the planes: verbatim, every value;
// compressed, at least one 3-byte run packet per 32767 values of each plane
// (no packet yields more values per byte).
bool fits(ibuf& in, int channels, uint64_t count, bool compressed) {
    const uint64_t size = in.size(), at = in.tell();
    const uint64_t left = size > at ? size - at : 0;
    const uint64_t perPlane = compressed ? (count + kMaxPacket - 1) / kMaxPacket * 3 : count;
    return perPlane <= left / uint64_t(channels);
}

// Decodes the planes that start at the input's position into a new pixmap;
// the input is left after them.
CEL_Representation* decodeImage(ibuf& in, int channels, int width, int height, bool compressed) {
    if ((channels != 1 && channels != 3 && channels != 4) || width < 0 || height < 0) return nullptr;
    const size_t count = size_t(width) * size_t(height);
    if (!fits(in, channels, count, compressed)) return nullptr;
    std::unique_ptr<CEL_Pixmap> pixmap;
    uint8_t* dst = nullptr;
    if (channels == 1) {
        uint8_t* data = count ? CEL_PixelBuffer::allocate<uint8_t>((long long)count, false) : nullptr;
        if (count && !data) {
            CEL_PixelBuffer::postOutOfMemory(width, height, "PixmapMatte8");
            return nullptr;
        }
        pixmap.reset(new CEL_PixmapMatte8(width, height, data));
        dst = data;
    } else {
        auto* rgba = new CEL_PixmapRGBA8(Math::Size2di(width, height), CEL_PixmapRGBA8::DoNotMemset{});
        pixmap.reset(rgba);
        dst = reinterpret_cast<uint8_t*>(rgba->data());
        if (count && !dst) return nullptr; // the pixmap has reported it
    }
    if (count == 0) return pixmap.release();
    if (channels == 1 && !compressed) {
        in.read(dst, count);
        return pixmap.release();
    }

    // Each plane gets its own cursor. Verbatim planes lie at known places and
    // are each one literal "packet" (a side is at most 65535, so the count
    // fits); a compressed plane starts where the packets of the one before end.
    std::vector<PlaneSource> planes;
    planes.reserve(size_t(channels));
    uint64_t at = in.tell();
    for (int c = 0; c < channels; ++c) {
        planes.push_back(PlaneSource{Cursor(in, at), Packet{}});
        if (!compressed) {
            planes.back().packet = Packet{uint32_t(count), false, 0};
            at += count;
        } else if (c + 1 < channels) {
            Cursor scan(in, at);
            at = planeEnd(scan, count);
        }
    }
    if (channels == 1)
        decodePlane(planes[0], dst, count, 1);
    else
        decodePixels(planes.data(), channels, dst, count);
    in.seek(int64_t(planes.back().in.position()));
    return pixmap.release();
}

// ------------------------------------------------------------------ encoding

// A growing byte buffer that is never cleared before it is written.
class Bytes {
public:
    // Room for n more bytes at the returned pointer; commit() what was used.
    uint8_t* room(size_t n) {
        if (m_size + n > m_capacity) grow(m_size + n);
        return m_data.get() + m_size;
    }
    void commit(const uint8_t* end) { m_size = size_t(end - m_data.get()); }
    const uint8_t* data() const { return m_data.get(); }
    size_t size() const { return m_size; }
    void clear() { m_size = 0; }
    void release() {
        m_data.reset();
        m_size = m_capacity = 0;
    }

private:
    void grow(size_t need) {
        const size_t capacity = std::max(need, m_capacity + m_capacity / 2);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[capacity]);
        if (m_size) std::memcpy(grown.get(), m_data.get(), m_size);
        m_data = std::move(grown);
        m_capacity = capacity;
    }

    std::unique_ptr<uint8_t[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// How many values from p on equal s[p] (at least one); p < n.
size_t runLength(const uint8_t* s, size_t p, size_t n) {
    const uint8_t v = s[p];
    size_t q = p + 1;
    if constexpr (kLittleEndian) {
        const uint64_t all = kOnes * v;
        for (; q + 8 <= n; q += 8)
            if (const uint64_t d = load64(s + q) ^ all) return q + size_t(std::countr_zero(d)) / 8 - p;
    }
    while (q < n && s[q] == v) ++q;
    return q - p;
}

// The first i >= p with s[i] == s[i + 1] == s[i + 2] (i + 2 < n), or n.
size_t findTriple(const uint8_t* s, size_t p, size_t n) {
    size_t i = p;
    if constexpr (kLittleEndian) {
        // Byte j of `pairs` is zero when s[i + j] == s[i + j + 1]; of `triples`
        // when that holds for j + 1 too (bytes 0 to 6; byte 7 is masked off).
        for (; i + 9 <= n; i += 7) {
            const uint64_t pairs = load64(s + i) ^ load64(s + i + 1);
            const uint64_t triples = pairs | (pairs >> 8) | 0xff00000000000000ull;
            if (const uint64_t zero = (triples - kOnes) & ~triples & kHighs)
                return i + size_t(std::countr_zero(zero)) / 8;
        }
    }
    for (; i + 2 < n; ++i)
        if (s[i] == s[i + 1] && s[i] == s[i + 2]) return i;
    return n;
}

uint8_t* putRun(uint8_t* o, size_t run, uint8_t v) {
    for (; run >= kMaxPacket; run -= kMaxPacket, o += 3) o[0] = 0x7f, o[1] = 0xff, o[2] = v;
    if (run) o[0] = uint8_t(run >> 8), o[1] = uint8_t(run), o[2] = v, o += 3;
    return o;
}

// A span of k x 32767 values takes k full packets and no empty one after them:
// a count of 0 would read back as a run that eats a byte.
uint8_t* putLiteral(uint8_t* o, const uint8_t* s, size_t n) {
    for (; n >= kMaxPacket; n -= kMaxPacket, s += kMaxPacket, o += 2 + kMaxPacket) {
        o[0] = 0x80, o[1] = 0x01;
        std::memcpy(o + 2, s, kMaxPacket);
    }
    if (n) {
        const uint16_t c = uint16_t(-int(n));
        o[0] = uint8_t(c >> 8), o[1] = uint8_t(c);
        std::memcpy(o + 2, s, n);
        o += 2 + n;
    }
    return o;
}

// The plane encoder, fed a plane in pieces. At a position it counts the run
// of equal values: 3 or more are run packets; otherwise a literal span goes
// up to where three equal values begin. The output is the same however the
// plane is cut: a piece is encoded only as far as its end cannot change the
// decision (full packets of a run or span still going on are written early:
// cutting a run or a span after 32767 values is what the whole plane would
// give too; a run cut so keeps being a run up to its end).
class PlaneEncoder {
public:
    // Encodes s[0..n) as far as it is decided and returns how many values
    // that took; the caller puts the rest in front of the next piece. With
    // last, everything is encoded.
    size_t encode(const uint8_t* s, size_t n, bool last, Bytes& out) {
        // At most 3 bytes for every 2 values: a lone literal value before a
        // run of three is the worst; a run's rest carried in may add one packet.
        uint8_t* o = out.room(n + n / 2 + 16);
        size_t p = 0;
        while (p < n) {
            if (m_inRun && s[p] != m_value) m_inRun = false;
            const size_t run = runLength(s, p, n);
            if (p + run == n && !last) {
                // The run may go on in the next piece.
                if (m_inRun || (run >= 3 && run >= kMaxPacket)) {
                    const size_t whole = run / kMaxPacket * kMaxPacket;
                    o = putRun(o, whole, s[p]);
                    p += whole;
                    m_inRun = true;
                    m_value = s[n - 1];
                }
                break;
            }
            if (m_inRun || run >= 3) {
                o = putRun(o, run, s[p]);
                p += run;
                m_inRun = false;
                continue;
            }
            size_t t = findTriple(s, p, n);
            if (t == n && !last) {
                // No triple yet: the values before the last two are literal for sure.
                const size_t sure = n - std::min<size_t>(n, 2);
                if (sure > p) {
                    const size_t whole = (sure - p) / kMaxPacket * kMaxPacket;
                    o = putLiteral(o, s + p, whole);
                    p += whole;
                }
                break;
            }
            o = putLiteral(o, s + p, t - p);
            p = t;
        }
        out.commit(o);
        return p;
    }

private:
    bool m_inRun = false; // continuing a run whose full packets are written
    uint8_t m_value = 0;
};

// Values per piece when planes are gathered from RGBA pixels.
constexpr size_t kPiece = 32768;

// One plane being encoded from interleaved pixels: its encoder, the piece
// window (the values the encoder left, then the next piece) and its output.
struct PlaneJob {
    int channel = 0;
    PlaneEncoder encoder;
    std::unique_ptr<uint8_t[]> window;
    size_t carry = 0;
    Bytes held;
    bool direct = false; // written to the output as it comes
    size_t resumeAt = 0; // first value not gathered yet; a job paused before the end goes on later
};

// Channels first .. first + k - 1 (k at most 4) of n RGBA8 pixels, each into its own array.
// Constant strides, so that the compiler vectorises the loops.
void gather(const uint8_t* px, size_t n, int first, size_t k, uint8_t* const* out) {
    px += first;
    uint8_t* __restrict o0 = out[0];
    switch (k) {
    case 4: {
        uint8_t* __restrict o1 = out[1], * __restrict o2 = out[2], * __restrict o3 = out[3];
        for (size_t i = 0; i < n; ++i)
            o0[i] = px[4 * i], o1[i] = px[4 * i + 1], o2[i] = px[4 * i + 2], o3[i] = px[4 * i + 3];
        break;
    }
    case 3: {
        uint8_t* __restrict o1 = out[1], * __restrict o2 = out[2];
        for (size_t i = 0; i < n; ++i) o0[i] = px[4 * i], o1[i] = px[4 * i + 1], o2[i] = px[4 * i + 2];
        break;
    }
    case 2: {
        uint8_t* __restrict o1 = out[1];
        for (size_t i = 0; i < n; ++i) o0[i] = px[4 * i], o1[i] = px[4 * i + 1];
        break;
    }
    default:
        for (size_t i = 0; i < n; ++i) o0[i] = px[4 * i];
    }
}

// Encoded bytes a pass holds back before it pauses planes. Cel content stays
// far below it and is encoded in one pass over the pixmap; planes that hardly
// compress are paused early and go on in passes of their own, which costs less
// than holding their bytes in fresh memory.
constexpr size_t kHeldBytes = size_t(8) << 20;

// A pass over the pixels for the given jobs (channels next to each other in
// the pixel, all at the same resumeAt). A direct job
// goes to out as it is encoded; the others are held. With a cap, held jobs
// are paused (the last first) while they hold more than kHeldBytes together;
// a paused job keeps its encoder and window and records where it stopped.
void encodePass(const uint8_t* px, size_t stride, size_t count, PlaneJob* jobs, size_t nJobs, obuf* out,
                bool capped) {
    Bytes scratch;
    const auto flush = [&](PlaneJob& job) {
        if (!job.direct) return;
        out->write(scratch.data(), scratch.size());
        scratch.clear();
    };
    if (stride == 1) {
        // A matte: the values are the plane, encoded a piece at a time in place
        // (each piece is longer than anything the encoder leaves over).
        PlaneJob& job = jobs[0];
        for (size_t at = 0; at < count;) {
            const size_t n = std::min(count - at, 32 * kPiece);
            at += job.encoder.encode(px + at, n, at + n == count, job.direct ? scratch : job.held);
            flush(job);
        }
        return;
    }
    uint8_t* targets[4] = {};
    for (size_t j = 0; j < nJobs; ++j)
        if (!jobs[j].window) jobs[j].window.reset(new uint8_t[kPiece + kMaxPacket + 2]);
    size_t held = 0, active = nJobs; // jobs [0, active) go on in this pass
    for (size_t at = jobs[0].resumeAt; at < count && active; at += kPiece) {
        const size_t n = std::min(kPiece, count - at);
        const bool last = at + n == count;
        for (size_t j = 0; j < active; ++j) targets[j] = jobs[j].window.get() + jobs[j].carry;
        if (stride == 4) {
            gather(px + at * 4, n, jobs[0].channel, active, targets);
        } else { // a caller's plane at another stride
            const uint8_t* src = px + at * stride + size_t(jobs[0].channel);
            for (size_t i = 0; i < n; ++i) targets[0][i] = src[i * stride];
        }
        for (size_t j = 0; j < active; ++j) {
            PlaneJob& job = jobs[j];
            uint8_t* w = job.window.get();
            const size_t total = job.carry + n;
            const size_t before = job.held.size();
            const size_t used = job.encoder.encode(w, total, last, job.direct ? scratch : job.held);
            flush(job);
            held += job.held.size() - before;
            job.carry = total - used;
            if (job.carry) std::memmove(w, w + used, job.carry);
            job.resumeAt = at + n;
        }
        while (capped && held > kHeldBytes && active > 0 && !jobs[active - 1].direct)
            held -= jobs[--active].held.size();
    }
    for (size_t j = 0; j < nJobs; ++j)
        if (jobs[j].resumeAt == count) jobs[j].window.reset();
}

// Threads the planes may be spread over.
int encodeThreads() {
    const int arena = tbb::this_task_arena::max_concurrency();
    const int allowed = int(tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism));
    return std::max(1, std::min(arena, allowed));
}

void encodePlanes(obuf& out, const uint8_t* px, size_t count, int channels, size_t stride) {
    std::vector<PlaneJob> jobs(static_cast<size_t>(channels));
    for (int c = 0; c < channels; ++c) jobs[size_t(c)].channel = c;
    const int groups = std::min(channels, encodeThreads());
    if (groups > 1 && uint64_t(count) >= 65536 && !CelAlgo::detail::isSerialForTesting()) {
        // Each group of planes is a pass of its own over the pixels, its
        // planes held up to the cap (planes that hardly compress pause early
        // and go on below, one pass each).
        const auto body = [&](int g1, int g2) {
            for (int g = g1; g < g2; ++g) {
                const size_t first = size_t(channels) * size_t(g) / size_t(groups);
                const size_t end = size_t(channels) * size_t(g + 1) / size_t(groups);
                encodePass(px, stride, count, jobs.data() + first, end - first, nullptr, true);
            }
        };
        CelAlgo::detail::parallelRows(0, groups, 1, int64_t(count), body);
    } else {
        // Serial: plane 0 goes out as it comes, the others are held up to the cap.
        jobs[0].direct = true;
        encodePass(px, stride, count, jobs.data(), jobs.size(), &out, true);
    }
    // In file order: a plane's held bytes, then, when it was paused, the rest
    // of it from where it stopped.
    for (size_t j = jobs[0].direct ? 1 : 0; j < jobs.size(); ++j) {
        out.write(jobs[j].held.data(), jobs[j].held.size());
        jobs[j].held.release();
        if (jobs[j].resumeAt < count) {
            jobs[j].direct = true;
            encodePass(px, stride, count, &jobs[j], 1, &out, false);
        }
    }
}

// What a write code asks for.
struct Shape {
    uint32_t type;
    int channels;
    CEL_Representation::CelFormat format;
};

bool shapeFor(const QString& code, Shape& shape) {
    const QString c = code.toUpper();
    if (c == QLatin1String("OPT4"))
        shape = {5, 4, CEL_Representation::PIXMAP_RGBA8};
    else if (c == QLatin1String("OPT") || c == QLatin1String("OPT3"))
        shape = {4, 3, CEL_Representation::PIXMAP_RGBA8};
    else if (c == QLatin1String("OPT1"))
        shape = {6, 1, CEL_Representation::PIXMAP_MATTE8};
    else
        return false;
    return true;
}

// The cel's pixels in the shape's format and their bytes (null without
// pixels); false when the cel does not convert, or (with the writers' message)
// when a side exceeds the header's 65535.
bool pixelsFor(CEL_Cel* cel, CEL_Representation::CelFormat format, UT_SharedPtr<CEL_Representation>& rep,
               const uint8_t*& bytes, int& width, int& height) {
    if (!cel || !cel->convertibleTo(format)) return false;
    rep = cel->convertTo(format);
    const CEL_Pixmap* pixmap = nullptr;
    bytes = nullptr;
    if (format == CEL_Representation::PIXMAP_MATTE8) {
        if (const auto* m = dynamic_cast<const CEL_PixmapMatte8*>(rep.get())) pixmap = m, bytes = m->data();
    } else if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get())) {
        pixmap = p, bytes = reinterpret_cast<const uint8_t*>(p->data());
    }
    if (!pixmap) return false;
    width = pixmap->width();
    height = pixmap->height();
    if (width < 0 || height < 0 || !celio_detail::fitsHeader("qxcelio", "OPT", width, height, 65535, 65535))
        return false;
    return bytes || size_t(width) * size_t(height) == 0;
}

bool readHeader(ibuf& in, Header& h) {
    uint8_t b[Header::Size];
    if (in.readSome(b, sizeof b) != sizeof b) return false;
    h.type = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    h.width = uint16_t(b[4] << 8 | b[5]);
    h.height = uint16_t(b[6] << 8 | b[7]);
    h.channels = b[12];
    h.scale = uint32_t(b[16]) << 24 | uint32_t(b[17]) << 16 | uint32_t(b[18]) << 8 | b[19];
    return true;
}

} // namespace

bool QXCelUioOptHandler::typeInfo(uint32_t type, TypeInfo& info) {
    switch (type) {
    case 1:
    case 7:
        info = {3, false, nullptr};
        return true;
    case 2:
        info = {4, false, nullptr};
        return true;
    case 3:
    case 9:
        info = {3, false, "Grayscale"};
        return true;
    case 4:
        info = {3, true, "RLE encoded"};
        return true;
    case 5:
        info = {4, true, "RLE encoded"};
        return true;
    case 6:
        info = {1, true, "RLE encoded"};
        return true;
    default:
        return false;
    }
}

QStringList QXCelUioOptHandler::getExtensions() const {
    return {QStringLiteral("OPT")};
}

QStringList QXCelUioOptHandler::getWriteOptionCodes() const {
    return {QStringLiteral("OPT"), QStringLiteral("OPT4"), QStringLiteral("OPT3"), QStringLiteral("OPT1")};
}

void QXCelUioOptHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.singleChannel = true;
    options.alpha = true;
}

QString QXCelUioOptHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    if (options.alpha) return QStringLiteral("OPT4");
    if (options.singleChannel) return QStringLiteral("OPT1");
    return QStringLiteral("OPT");
}

UT_DynKey QXCelUioOptHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

bool QXCelUioOptHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    ibuf in(path);
    return readFrom(in, list);
}

CELIO_State QXCelUioOptHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                           CELIO_RepresentationList& list) const {
    ibuf in(file.data(), file.size());
    return readFrom(in, list) ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

bool QXCelUioOptHandler::readFrom(ibuf& in, CELIO_RepresentationList& list) const {
    try {
        if (!in.isOpen()) return false;
        Header h;
        if (!readHeader(in, h)) return false;
        TypeInfo t;
        if (!typeInfo(h.type, t)) {
            // No message code is fixed for it; 10 is the one of failed reads.
            MSG_Scope("qxcelio", "unknown opt type %1", 6).arg(QString::number(h.type)).post(10);
            return false;
        }
        CEL_Representation* rep = t.compressed ? readCompressed(in, t.channels, h.width, h.height)
                                               : readUncompressed(in, t.channels, h.width, h.height);
        if (!rep) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(rep));
        return true;
    } catch (...) { // data that ends early
        return false;
    }
}

CELIO_State QXCelUioOptHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    ibuf in(path);
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioOptHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    ibuf in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioOptHandler::readInfoFrom(ibuf& in, CELIO_Info& info) const {
    try {
        if (!in.isOpen()) return CELIO_STATE_FAILED;
        Header h;
        TypeInfo t;
        if (!readHeader(in, h) || !typeInfo(h.type, t)) return CELIO_STATE_FAILED;
        info.width = h.width;
        info.height = h.height;
        info.channels = uint32_t(t.channels);
        info.bytesPerChannel = 1;
        info.optionCode = t.channels == 4   ? QStringLiteral("OPT4")
                          : t.channels == 3 ? QStringLiteral("OPT3")
                                            : QStringLiteral("OPT");
        info.description = t.description ? QString::fromLatin1(t.description) : QString();
        return CELIO_STATE_OK;
    } catch (...) {
        return CELIO_STATE_FAILED;
    }
}

void QXCelUioOptHandler::writeHeader(obuf& out, const Header& header) {
    uint8_t b[Header::Size] = {};
    b[0] = uint8_t(header.type >> 24), b[1] = uint8_t(header.type >> 16);
    b[2] = uint8_t(header.type >> 8), b[3] = uint8_t(header.type);
    b[4] = uint8_t(header.width >> 8), b[5] = uint8_t(header.width);
    b[6] = uint8_t(header.height >> 8), b[7] = uint8_t(header.height);
    b[12] = header.channels;
    b[16] = uint8_t(header.scale >> 24), b[17] = uint8_t(header.scale >> 16);
    b[18] = uint8_t(header.scale >> 8), b[19] = uint8_t(header.scale);
    out.write(b, sizeof b);
}

bool QXCelUioOptHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    Shape shape;
    UT_SharedPtr<CEL_Representation> rep;
    const uint8_t* pixels = nullptr;
    int width = 0, height = 0;
    if (!shapeFor(code, shape) || !pixelsFor(cel, shape.format, rep, pixels, width, height)) return false;
    obuf out(path);
    if (!out.isOpen()) return false;
    Header h;
    h.type = shape.type;
    h.width = uint16_t(width);
    h.height = uint16_t(height);
    h.channels = uint8_t(shape.channels);
    h.scale = 0x3F800000u; // 1.0f
    writeHeader(out, h);
    writeCompressedPlanes(out, pixels, size_t(width) * size_t(height), shape.channels);
    out.close(); // a failure is reported by the output; the write still counts as done
    return true;
}

CEL_Representation* QXCelUioOptHandler::readCompressed(ibuf& in, int channels, int width, int height) const {
    return decodeImage(in, channels, width, height, true);
}

CEL_Representation* QXCelUioOptHandler::readUncompressed(ibuf& in, int channels, int width,
                                                         int height) const {
    return decodeImage(in, channels, width, height, false);
}

void QXCelUioOptHandler::readCompressed(ibuf& in, uint8_t* dst, size_t count, size_t stride) const {
    PlaneSource plane{Cursor(in, in.tell()), Packet{}};
    decodePlane(plane, dst, count, std::max<size_t>(stride, 1));
    in.seek(int64_t(plane.in.position()));
}

void QXCelUioOptHandler::writeCompressedChannel(obuf& out, const uint8_t* src, size_t count,
                                                size_t stride) const {
    if (count == 0) return;
    encodePlanes(out, src, count, 1, std::max<size_t>(stride, 1));
}

void QXCelUioOptHandler::writeCompressedPlanes(obuf& out, const uint8_t* pixels, size_t count,
                                               int channels) const {
    if (count == 0 || !pixels) return;
    encodePlanes(out, pixels, count, channels, channels == 1 ? 1 : 4);
}
