#include "celio/handlers/PngEncodeDetail.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>
#include <zlib.h>

#if !defined(__SANITIZE_THREAD__)
#include <tbb/task_arena.h>
#include <tbb/task_group.h>
#endif

#include "algo/composite/CompositeDetail.h"

namespace celio_detail::png {
namespace {

// ---------------------------------------------------------------------------
// Rows. Every row buffer starts kPad bytes into zeroed storage, so that the
// pixel left of the first one (and the one above-left) reads as zero, as the
// filters define it, without a separate first-pixel loop; kPad more bytes
// after the row let a row source store whole words.

constexpr size_t kPad = 16;

class RowBuffer {
public:
    void resize(size_t bytes) { m_storage.assign(bytes + 2 * kPad, 0); }
    uint8_t* data() { return m_storage.data() + kPad; }
    const uint8_t* data() const { return m_storage.data() + kPad; }
    void clear() { std::fill(m_storage.begin() + kPad, m_storage.end(), uint8_t(0)); }

private:
    std::vector<uint8_t> m_storage;
};

// The size of a residual taken as a signed byte.
inline uint8_t magnitude(uint8_t d) {
    return std::min(d, uint8_t(-d));
}

// Each filter writes the residuals of one row and returns the sum of their
// magnitudes. Plain loops the compiler vectorises: a, b and c (left, above,
// above-left) all come from unfiltered rows.
template <size_t Bpp> uint32_t filterSub(const uint8_t* cur, uint8_t* out, size_t n) {
    const uint8_t* left = cur - Bpp;
    uint32_t cost = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t d = uint8_t(cur[i] - left[i]);
        out[i] = d;
        cost += magnitude(d);
    }
    return cost;
}

inline uint32_t filterUp(const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t n) {
    uint32_t cost = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t d = uint8_t(cur[i] - prev[i]);
        out[i] = d;
        cost += magnitude(d);
    }
    return cost;
}

template <size_t Bpp>
uint32_t filterAverage(const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t n) {
    const uint8_t* left = cur - Bpp;
    uint32_t cost = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t d = uint8_t(cur[i] - ((unsigned(left[i]) + prev[i]) >> 1));
        out[i] = d;
        cost += magnitude(d);
    }
    return cost;
}

template <size_t Bpp> uint32_t filterPaeth(const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t n) {
    const uint8_t* left = cur - Bpp;
    const uint8_t* upLeft = prev - Bpp;
    uint32_t cost = 0;
    for (size_t i = 0; i < n; ++i) {
        const int a = left[i], b = prev[i], c = upLeft[i];
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        const int p = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        const uint8_t d = uint8_t(cur[i] - p);
        out[i] = d;
        cost += magnitude(d);
    }
    return cost;
}

inline uint32_t costNone(const uint8_t* cur, size_t n) {
    uint32_t cost = 0;
    for (size_t i = 0; i < n; ++i) cost += magnitude(cur[i]);
    return cost;
}

// Chooses and applies the filter of one row. The result is a line of n + 1
// bytes (the filter type, then the residuals) in one of the candidate buffers.
class RowFilter {
public:
    // `noisy`: the filters besides Sub and Up that rows of large residuals try
    // (bit f for filter f).
    RowFilter(size_t bpp, size_t n, int forced, unsigned noisy)
        : m_bpp(bpp), m_n(n), m_forced(forced), m_noisy(noisy) {
        for (RowBuffer& b : m_lines) b.resize(n + 1);
    }

    // Of the rows that needed more than Sub or Up, how many each filter won.
    const uint32_t* noisyWins() const { return m_wins; }

    const uint8_t* filter(const uint8_t* cur, const uint8_t* prev) {
        switch (m_bpp) {
        case 3:
            return run<3>(cur, prev);
        case 4:
            return run<4>(cur, prev);
        case 6:
            return run<6>(cur, prev);
        default:
            return run<8>(cur, prev);
        }
    }

private:
    uint8_t* line(int f) { return m_lines[f].data(); }

    const uint8_t* done(int f) {
        uint8_t* l = line(f);
        l[0] = uint8_t(f);
        return l;
    }

    template <size_t Bpp> uint32_t apply(int f, const uint8_t* cur, const uint8_t* prev) {
        uint8_t* out = line(f) + 1;
        switch (f) {
        case FilterNone:
            std::memcpy(out, cur, m_n);
            return costNone(cur, m_n);
        case FilterSub:
            return filterSub<Bpp>(cur, out, m_n);
        case FilterUp:
            return filterUp(cur, prev, out, m_n);
        case FilterAverage:
            return filterAverage<Bpp>(cur, prev, out, m_n);
        default:
            return filterPaeth<Bpp>(cur, prev, out, m_n);
        }
    }

    template <size_t Bpp> const uint8_t* run(const uint8_t* cur, const uint8_t* prev) {
        if (m_forced >= 0) {
            apply<Bpp>(m_forced, cur, prev);
            return done(m_forced);
        }
        // A row like the one above, or a row of runs, needs nothing more: the
        // residuals are (almost) all zero. A quarter of a step per byte on
        // average is the bar: a few antialiased edges across a flat row.
        const uint32_t up = apply<Bpp>(FilterUp, cur, prev);
        if (up == 0) return done(FilterUp);
        const uint32_t sub = apply<Bpp>(FilterSub, cur, prev);
        int best = sub < up ? FilterSub : FilterUp;
        uint32_t bestCost = std::min(sub, up);
        if (bestCost <= m_n / 4) return done(best);
        for (const int f : {int(FilterPaeth), int(FilterAverage), int(FilterNone)}) {
            if ((m_noisy >> f & 1) == 0) continue;
            const uint32_t c = apply<Bpp>(f, cur, prev);
            if (c < bestCost) best = f, bestCost = c;
        }
        ++m_wins[best];
        return done(best);
    }

    size_t m_bpp;
    size_t m_n;
    int m_forced;
    unsigned m_noisy;
    uint32_t m_wins[5] = {};
    RowBuffer m_lines[5];
};

// ---------------------------------------------------------------------------
// Deflate

int levelFlags(int level, int strategy) {
    if (strategy >= Z_HUFFMAN_ONLY || level < 2) return 0;
    return level < 6 ? 1 : level == 6 ? 2 : 3;
}

// Level 6's search, going on until a match of the longest length (258 bytes)
// rather than stopping at 128: on flat artwork's unfiltered rows a run or a
// row like the one above is then one match, not two (5 % smaller, as fast).
void tuneForLongMatches(z_stream* z) {
    deflateTune(z, 8, 16, 258, 128);
}

// The two bytes of a zlib header for a 32 KiB window, as zlib writes them.
void zlibHeader(const Plan& plan, uint8_t out[2]) {
    unsigned header = (0x78u << 8) | unsigned(levelFlags(plan.level, plan.strategy) << 6);
    header += 31 - header % 31;
    out[0] = uint8_t(header >> 8);
    out[1] = uint8_t(header);
}

// One thread's compressor: a deflate stream reset for every band, the rows of
// the band and the filter's buffers.
class BandCoder {
public:
    BandCoder(const Image& image, const Plan& plan)
        : m_image(image), m_n(image.rowBytes()), m_longMatches(plan.longMatches),
          m_filter(image.bytesPerPixel(), image.rowBytes(), plan.filter, plan.noisyFilters) {
        m_cur.resize(m_n);
        m_prev.resize(m_n);
        if (deflateInit2(&m_z, plan.level, Z_DEFLATED, -15, 8, plan.strategy) != Z_OK) throw std::bad_alloc();
        m_init = true;
        const size_t bandRaw = (m_n + 1) * std::min<size_t>(plan.rowsPerBand, image.height);
        // Room for a band of the usual size that does not compress; larger
        // bands (flat artwork) compress well, and the buffer grows if not.
        m_out.resize(size_t(deflateBound(&m_z, uLong(std::min(bandRaw, kBandBytes)))) + 64);
    }
    ~BandCoder() {
        if (m_init) deflateEnd(&m_z);
    }
    BandCoder(const BandCoder&) = delete;
    BandCoder& operator=(const BandCoder&) = delete;

    // Compresses rows [y0, y1); the bytes are in out() until the next call.
    void compress(uint32_t y0, uint32_t y1, bool last) {
        deflateReset(&m_z);
        if (m_longMatches) tuneForLongMatches(&m_z); // a reset brings back the level's settings
        m_z.next_out = m_out.data();
        m_z.avail_out = uInt(m_out.size());
        m_adler = adler32(0, nullptr, 0);
        m_raw = 0;
        if (y0 == 0)
            m_prev.clear();
        else
            m_image.row(m_image.context, y0 - 1, m_prev.data());
        for (uint32_t y = y0; y < y1; ++y) {
            m_image.row(m_image.context, y, m_cur.data());
            const uint8_t* line = m_filter.filter(m_cur.data(), m_prev.data());
            m_adler = adler32(m_adler, line, uInt(m_n + 1));
            m_raw += m_n + 1;
            m_z.next_in = const_cast<Bytef*>(line);
            m_z.avail_in = uInt(m_n + 1);
            while (m_z.avail_in > 0) {
                room();
                deflate(&m_z, Z_NO_FLUSH);
            }
            std::swap(m_cur, m_prev);
        }
        // The last band ends the stream; the others end byte-aligned with the
        // window forgotten, so that the next band's blocks follow directly.
        const int flush = last ? Z_FINISH : Z_FULL_FLUSH;
        for (;;) {
            room();
            const int rc = deflate(&m_z, flush);
            if (last ? rc == Z_STREAM_END : m_z.avail_out > 0) break;
            if (rc != Z_OK && rc != Z_BUF_ERROR) throw std::bad_alloc();
        }
    }

    const uint8_t* out() const { return m_out.data(); }
    size_t outBytes() const { return size_t(m_z.next_out - m_out.data()); }
    uLong adler() const { return m_adler; }
    uint64_t raw() const { return m_raw; }

private:
    void room() {
        if (m_z.avail_out > 0) return;
        const size_t used = outBytes();
        m_out.resize(m_out.size() * 2);
        m_z.next_out = m_out.data() + used;
        m_z.avail_out = uInt(m_out.size() - used);
    }

    const Image& m_image;
    size_t m_n;
    bool m_longMatches;
    RowFilter m_filter;
    RowBuffer m_cur, m_prev;
    z_stream m_z{};
    bool m_init = false;
    std::vector<uint8_t> m_out;
    uLong m_adler = 1;
    uint64_t m_raw = 0;
};

// ---------------------------------------------------------------------------
// The file

void putU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

struct Piece {
    const uint8_t* data;
    size_t size;
};

// Writes the bands as IDAT chunks in band order, whatever order they finish in.
// Without a file yet (bands compressed ahead) every band is kept until attach().
class ChunkWriter {
public:
    ChunkWriter(FILE* file, const Plan& plan, uint32_t bands)
        : m_file(file), m_bands(bands), m_parked(bands), m_ready(bands, 0) {
        zlibHeader(plan, m_header);
    }

    // Band k is done: written now if every band before it is, else kept.
    void finished(uint32_t k, const uint8_t* data, size_t size, uLong adler, uint64_t raw) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_failed) return;
        Parked& p = m_parked[k];
        p.adler = adler, p.raw = raw;
        if (!m_file || k != m_next) {
            p.bytes.assign(data, data + size);
            m_ready[k] = 1;
            return;
        }
        writeBand(k, data, size);
        writeParked();
    }

    // The file arrives: the bands kept so far are written, in order.
    void attach(FILE* file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_file = file;
        writeParked();
    }

    void fail() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failed = true;
    }

    bool complete() const { return !m_failed && m_next == m_bands; }

private:
    struct Parked {
        std::vector<uint8_t> bytes;
        uLong adler = 1;
        uint64_t raw = 0;
    };

    void writeParked() {
        while (!m_failed && m_next < m_bands && m_ready[m_next]) {
            Parked& q = m_parked[m_next];
            writeBand(m_next, q.bytes.data(), q.bytes.size());
            std::vector<uint8_t>().swap(q.bytes);
        }
    }

    void writeBand(uint32_t k, const uint8_t* data, size_t size) {
        m_adler = k == 0 ? m_parked[k].adler
                         : adler32_combine(m_adler, m_parked[k].adler, z_off_t(m_parked[k].raw));
        uint8_t trailer[4];
        putU32(trailer, uint32_t(m_adler));
        const Piece pieces[] = {
            {m_header, k == 0 ? 2u : 0u}, {data, size}, {trailer, k + 1 == m_bands ? 4u : 0u}};
        m_failed = !writeChunk(pieces);
        ++m_next;
    }

    bool write(const void* data, size_t size) {
        return size == 0 || std::fwrite(data, 1, size, m_file) == size;
    }

    bool writeChunk(const Piece (&pieces)[3]) {
        size_t length = 0;
        for (const Piece& p : pieces) length += p.size;
        if (length > 0x7fffffffu) return false;
        static const uint8_t type[4] = {'I', 'D', 'A', 'T'};
        uint8_t head[8];
        putU32(head, uint32_t(length));
        std::memcpy(head + 4, type, 4);
        uLong crc = crc32(0, type, 4);
        bool ok = write(head, 8);
        for (const Piece& p : pieces) {
            if (p.size == 0) continue;
            crc = crc32_z(crc, p.data, p.size);
            ok = ok && write(p.data, p.size);
        }
        uint8_t tail[4];
        putU32(tail, uint32_t(crc));
        return ok && write(tail, 4);
    }

    FILE* m_file;
    uint32_t m_bands;
    uint8_t m_header[2];
    std::mutex m_mutex;
    std::vector<Parked> m_parked;
    std::vector<char> m_ready;
    uint32_t m_next = 0;
    uLong m_adler = 1;
    bool m_failed = false;
};

// Runs loop() on the calling thread and on up to `helpers` more, all taking
// work from the same counter, and returns when every one has returned.
template <class Loop> void onThreads(int helpers, const Loop& loop) {
    if (helpers <= 0) {
        loop();
        return;
    }
#if defined(__SANITIZE_THREAD__)
    // As the library's other parallel passes: plain threads under the thread
    // sanitizer, which does not see oneTBB's waits.
    std::vector<std::thread> threads;
    for (int i = 0; i < helpers; ++i) threads.emplace_back(loop);
    loop();
    for (std::thread& t : threads) t.join();
#else
    tbb::task_group group;
    for (int i = 0; i < helpers; ++i) group.run(loop);
    loop();
    group.wait();
#endif
}

int availableHelpers() {
    if (CelAlgo::detail::isSerialForTesting()) return 0;
#if defined(__SANITIZE_THREAD__)
    return int(std::max(2u, std::thread::hardware_concurrency())) - 1;
#else
    return tbb::this_task_arena::max_concurrency() - 1;
#endif
}

// The bands of one stream, taken in order by whichever thread is free.
class BandRun {
public:
    BandRun(const Image& image, const Plan& plan, FILE* file)
        : m_image(image), m_plan(plan), m_rowsPerBand(std::max<uint32_t>(plan.rowsPerBand, 1)),
          m_bands(uint32_t((uint64_t(image.height) + m_rowsPerBand - 1) / m_rowsPerBand)),
          m_writer(file, plan, m_bands) {}

    uint32_t bands() const { return m_bands; }
    ChunkWriter& writer() { return m_writer; }
    bool complete() const { return m_writer.complete(); }

    // Compresses bands until none is left. `ready(y)` returns once rows
    // [0, y) may be read, or false to stop (the stream is then abandoned).
    template <class Ready> void work(const Ready& ready) {
        try {
            std::unique_ptr<BandCoder> coder;
            for (uint32_t k; (k = m_next.fetch_add(1, std::memory_order_relaxed)) < m_bands;) {
                const uint32_t y0 = k * m_rowsPerBand;
                const uint32_t y1 =
                    uint32_t(std::min<uint64_t>(uint64_t(y0) + m_rowsPerBand, m_image.height));
                if (!ready(y1)) return;
                if (!coder) coder = std::make_unique<BandCoder>(m_image, m_plan);
                coder->compress(y0, y1, k + 1 == m_bands);
                m_writer.finished(k, coder->out(), coder->outBytes(), coder->adler(), coder->raw());
            }
        } catch (...) {
            // Out of memory: the stream cannot be completed. Stop taking bands.
            m_writer.fail();
            m_next.store(m_bands, std::memory_order_relaxed);
        }
    }

private:
    const Image& m_image;
    const Plan& m_plan;
    uint32_t m_rowsPerBand;
    uint32_t m_bands;
    ChunkWriter m_writer;
    std::atomic<uint32_t> m_next{0};
};

int helpersFor(uint32_t bands, int busy) {
    return int(std::min<uint32_t>(uint32_t(std::max(availableHelpers() - busy, 0)), bands - 1));
}

// Rows per band for about `bytes` of filtered rows.
uint32_t bandRows(const Image& image, size_t bytes) {
    return uint32_t(
        std::clamp<size_t>(bytes / (image.rowBytes() + 1), 1, std::max<uint32_t>(image.height, 1)));
}

bool allRowsIn(uint32_t) {
    return true;
}

bool samePlan(const Plan& a, const Plan& b) {
    return a.level == b.level && a.strategy == b.strategy && a.rowsPerBand == b.rowsPerBand &&
           a.filter == b.filter && a.longMatches == b.longMatches && a.noisyFilters == b.noisyFilters;
}

bool sameImage(const Image& a, const Image& b) {
    return a.width == b.width && a.height == b.height && a.bitDepth == b.bitDepth &&
           a.channels == b.channels && a.row == b.row && a.context == b.context;
}

} // namespace

Plan planFor(const Image& image) {
    Plan plan;
    const size_t n = image.rowBytes();
    plan.rowsPerBand = bandRows(image, kBandBytes);
    if (image.width == 0 || image.height == 0) return plan;

    // Groups of four neighbouring rows spread over the picture, `bytes` in all
    // at most, filtered as the bands will be (and, with `asTheyAre`, as they are).
    constexpr uint32_t kGroupRows = 4;
    std::vector<uint8_t> sample, plain;
    RowBuffer cur, prev;
    cur.resize(n);
    prev.resize(n);
    constexpr unsigned kAllNoisy = 1u << FilterNone | 1u << FilterAverage | 1u << FilterPaeth;
    RowFilter filter(image.bytesPerPixel(), n, plan.filter, kAllNoisy);
    const auto takeSample = [&](size_t bytes, bool asTheyAre) {
        const uint32_t rows = uint32_t(std::clamp<size_t>(bytes / (n + 1), 1, image.height));
        const uint32_t groupRows = std::min(rows, kGroupRows);
        const uint32_t groups = rows / groupRows;
        sample.clear();
        plain.clear();
        sample.reserve(size_t(groups) * groupRows * (n + 1));
        if (asTheyAre) plain.reserve(sample.capacity());
        for (uint32_t g = 0; g < groups; ++g) {
            const uint32_t y0 =
                groups == 1 ? 0 : uint32_t(uint64_t(image.height - groupRows) * g / (groups - 1));
            if (y0 == 0)
                prev.clear();
            else
                image.row(image.context, y0 - 1, prev.data());
            for (uint32_t y = y0; y < y0 + groupRows; ++y) {
                image.row(image.context, y, cur.data());
                const uint8_t* line = filter.filter(cur.data(), prev.data());
                sample.insert(sample.end(), line, line + n + 1);
                if (asTheyAre) {
                    plain.push_back(FilterNone);
                    plain.insert(plain.end(), cur.data(), cur.data() + n);
                }
                std::swap(cur, prev);
            }
        }
    };
    takeSample(size_t(1) << 18, false);

    // Rows of large residuals try only the filters that won such rows of the
    // sample more than once in sixteen times.
    const uint32_t* wins = filter.noisyWins();
    const uint32_t noisyRows = wins[0] + wins[1] + wins[2] + wins[3] + wins[4];
    plan.noisyFilters = 0;
    for (const int f : {int(FilterNone), int(FilterAverage), int(FilterPaeth)})
        if (wins[f] > 0 && wins[f] * 16 > noisyRows) plan.noisyFilters |= 1u << f;

    // The size of `bytes` deflated; long matches as tuneForLongMatches.
    const auto deflatedSize = [](std::vector<uint8_t>& bytes, int level, int strategy, bool longMatches) {
        z_stream z{};
        if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return size_t(-1);
        if (longMatches) tuneForLongMatches(&z);
        std::vector<uint8_t> out(deflateBound(&z, uLong(bytes.size())));
        z.next_in = bytes.data();
        z.avail_in = uInt(bytes.size());
        z.next_out = out.data();
        z.avail_out = uInt(out.size());
        const int rc = deflate(&z, Z_FINISH);
        const size_t size = rc == Z_STREAM_END ? size_t(z.total_out) : size_t(-1);
        deflateEnd(&z);
        return size;
    };
    // Run-length matching unless back-references save more than a sixteenth
    // even at a fast level; then level 6 where its longer search saves more
    // than a ninth over level 2 (flat artwork, patterns), else level 2 (deep
    // noisy samples, whose search would cost four times as much for 5%).
    const size_t rle = deflatedSize(sample, 6, Z_RLE, false);
    const size_t fast = deflatedSize(sample, 2, Z_DEFAULT_STRATEGY, false);
    if (rle > fast + fast / 16) {
        const size_t thorough = deflatedSize(sample, 6, Z_DEFAULT_STRATEGY, false);
        plan.strategy = Z_DEFAULT_STRATEGY;
        plan.level = fast > thorough + thorough / 8 ? 6 : 2;
        return plan;
    }
    plan.strategy = Z_RLE;
    plan.level = 6;
    // Flat artwork (run-length matching leaves less than a sixteenth):
    // unfiltered rows and long matches where they save more than a
    // thirty-second (they take about twice the run-length time). A few rows
    // of such a picture deflate to a few hundred bytes, too few to tell: the
    // two are weighed on a sample four times as large.
    if (rle > sample.size() / 16) return plan;
    takeSample(size_t(1) << 20, true);
    const size_t runs = deflatedSize(sample, 6, Z_RLE, false);
    const size_t flat = deflatedSize(plain, 6, Z_DEFAULT_STRATEGY, true);
    if (flat + flat / 32 < runs) {
        plan.strategy = Z_DEFAULT_STRATEGY;
        plan.level = 6;
        plan.filter = FilterNone;
        plan.longMatches = true;
        plan.rowsPerBand = bandRows(image, kFlatBandBytes);
    }
    return plan;
}

bool writeImageData(const Image& image, const Plan& plan, FILE* file) {
    if (image.width == 0 || image.height == 0 || !image.row) return false;
    BandRun run(image, plan, file);
    onThreads(helpersFor(run.bands(), 0), [&run] { run.work(allRowsIn); });
    return run.complete();
}

// ---------------------------------------------------------------------------
// Bands compressed ahead

struct EarlyBands::State {
    uint32_t height = 0;
    Guess guess = nullptr;
    const void* context = nullptr;

    std::mutex mutex;
    std::condition_variable arrived;
    uint32_t rowsIn = 0;
    bool stop = false;
    bool ended = false;   // the helper has returned
    bool guessed = false; // image, plan and run are set (under the mutex)
    bool kept = false;
    Image image;
    Plan plan;
    std::unique_ptr<BandRun> run;

    // A thread of its own rather than a task: it waits for rows most of its
    // life, and a pool's worker might be busy elsewhere when the rows come.
    std::thread thread;

    bool waitRows(uint32_t rows) {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait(lock, [&] { return stop || rowsIn >= rows; });
        return !stop;
    }

    // The helper: a guess from the first eighth of the rows (about the first
    // flat band's worth, where waiting longer would leave it idle longer),
    // then the bands as their rows arrive.
    void help() {
        guessAndCompress();
        {
            std::lock_guard<std::mutex> lock(mutex);
            ended = true;
        }
        arrived.notify_all();
    }

    void guessAndCompress() {
        try {
            const uint32_t first = std::max<uint32_t>(height / 8, 1);
            if (!waitRows(first)) return;
            Image likely;
            if (!guess(context, first, likely)) return;
            likely.height = first;
            Plan p = planFor(likely);
            likely.height = height; // the bands are those of the whole picture
            p.rowsPerBand = bandRows(likely, p.longMatches ? kFlatBandBytes : kBandBytes);
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (stop) return;
                image = likely;
                plan = p;
                run = std::make_unique<BandRun>(image, plan, nullptr);
                guessed = true;
            }
            arrived.notify_all();
            run->work([this](uint32_t rows) { return waitRows(rows); });
        } catch (...) {
            // Out of memory before the first band: nothing is kept.
        }
    }

    void join() {
        if (thread.joinable()) thread.join();
    }
};

EarlyBands::EarlyBands(uint32_t height, Guess guess, const void* context) : m(std::make_unique<State>()) {
    m->height = height;
    m->guess = guess;
    m->context = context;
    if (height == 0 || !guess || availableHelpers() <= 0) return;
    try {
        m->thread = std::thread([s = m.get()] { s->help(); });
    } catch (const std::system_error&) {
        // No thread to be had: the picture is written as without this.
    }
}

EarlyBands::~EarlyBands() {
    abandon();
}

void EarlyBands::publish(uint32_t rowsIn) {
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->rowsIn = std::min(rowsIn, m->height);
    }
    m->arrived.notify_all();
}

void EarlyBands::abandon() {
    {
        std::lock_guard<std::mutex> lock(m->mutex);
        m->stop = true;
    }
    m->arrived.notify_all();
    m->join();
}

bool EarlyBands::finish(const Image& image, const Plan& plan, FILE* file) {
    bool keep = false;
    {
        // A helper that has not guessed yet (it was given no core while the
        // rows came in) does so now, from rows all in: a few milliseconds,
        // against redoing the bands.
        std::unique_lock<std::mutex> lock(m->mutex);
        m->arrived.wait(lock, [&] { return m->guessed || !m->thread.joinable() || m->ended; });
        keep = m->guessed && m->rowsIn == m->height && sameImage(image, m->image) && samePlan(plan, m->plan);
    }
    m->kept = keep;
    if (!keep) {
        abandon();
        return writeImageData(image, plan, file);
    }
    // The helper goes on with the bands; this thread and any other free one join it.
    BandRun& run = *m->run;
    run.writer().attach(file);
    onThreads(helpersFor(run.bands(), 1), [&run] { run.work(allRowsIn); });
    m->join();
    return run.complete();
}

bool EarlyBands::keptBands() const {
    return m->kept;
}

} // namespace celio_detail::png
