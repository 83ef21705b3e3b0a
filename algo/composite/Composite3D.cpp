// Depth compositing and the free functions on depth pixmaps.
//
// Parallel rows. Every pixel's result depends only on the source and on the
// destination as it was before the call: the window rows are copies taken
// before their row is composited, and a row only changes its own pixels and
// their lists. So the rows are cut into bands composited in parallel, each by
// its own copy of the compositor. A band cannot append to the destination's
// store while others read it, so it appends to a store of its own, naming its
// samples with indices flagged by kLocal and noting the links outside that
// store (in heads and in old samples) that receive such an index. The rows
// just outside a band belong to its neighbours, which change them: they are
// copied into the band's window before any band starts. At the end the band
// stores are appended to the destination's in band order, i.e. in row order,
// with their indices relocated: the store and the heads are the ones a serial
// run produces.
// oneTBB comes before anything that includes Qt, whose keyword macros clash with it.
#include <tbb/global_control.h>
#include <tbb/task_arena.h>

#include "algo/composite/Composite3D.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <deque>
#include <functional>
#include <new>

#include "algo/composite/CompositeDetail.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapArea3D.h"
#include "pixel/PixmapArea3DDetail.h"

using CEL_Depth3D::isEmpty;
using CEL_Depth3D::isOpaque;
using CelAlgo::AlgoException;
using CelAlgo::detail::kFull;

namespace {

constexpr double kMatchTolerance = 0.1;
constexpr unsigned long long kLocal = 1ull << 63;
constexpr ALGO_Composite3D::ZPixel kEmptyZ{CEL_PixelFloat::Zero, 0u, 0ull};
enum { kUp = 0, kRight = 1, kLeft = 2, kDown = 3 };
// Window columns: still in the destination, copied, or copied as empty.
enum : unsigned char { kInDestination = 0, kSaved = 1, kSavedEmpty = 2 };

// Sample addresses compared as integers: the ranges belong to unrelated arrays.
bool within(const void* p, const void* begin, const void* end) {
    return std::less_equal<const void*>()(begin, p) && std::less<const void*>()(p, end);
}

inline int16_t clamp16(int v) {
    return int16_t(CelAlgo::detail::sat(v));
}

// The premultiplied over of one channel: under beneath a top of alpha topA.
inline int overOne(int under, int top, int topA) {
    return CelAlgo::detail::sat(((under * (kFull - topA) + kFull) >> 15) + top);
}

// B + (F - B) * c in single precision, clamped, truncated.
inline int16_t mix(int f, int b, float c) {
    const float v = float(b) + float(f - b) * c;
    return int16_t(v <= -32767.0f ? -32767 : (v >= 32767.0f ? 32767 : int(v)));
}

// p->realloc(rect, true), except that a failure throws and leaves p as it was.
void reallocKeeping(CEL_PixmapArea3D* p, const Math::Box2di& rect) {
    if (!p->tryRealloc(rect)) throw AlgoException("out of memory");
}

// The thread count a parallel pass would get.
int passThreads() {
    const int arena = tbb::this_task_arena::max_concurrency();
    const auto limit = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return std::max(1, std::min(arena, int(std::min<std::size_t>(limit, 1024))));
}

} // namespace

// What is being laid in.
struct ALGO_Composite3D::Layer {
    enum Kind { Flat, Planar, Depth, Merge };
    Kind kind = Flat;
    const CEL_PixmapAreaRGBA16* colour = nullptr;
    const CEL_PixmapAreaZ* depth = nullptr;
    Math::PlanarDepthBuffer plane;
    float z = 0.0f;
    unsigned id = 0;     // identifier of Flat, Planar and Depth samples
    unsigned offset = 0; // Merge: added to non-zero source identifiers
};

// A band of rows and the store its new samples go to.
struct ALGO_Composite3D::Band {
    std::vector<CEL_Pixel3D>* global = nullptr;
    const CEL_Pixel3D* headsBegin = nullptr;
    const CEL_Pixel3D* headsEnd = nullptr;
    std::deque<CEL_Pixel3D> local; // stable references while it grows
    // Links outside the band store that hold a flagged index: in heads (whose
    // addresses stay), and in old samples, by index (the store moves when it grows at the join).
    std::vector<unsigned long long*> headLinks;
    std::vector<std::size_t> sampleLinks;
    int y1 = 0, y2 = 0;
    ZWindowLine upperEdge, lowerEdge;
    bool haveUpper = false, haveLower = false;
    bool failed = false;

    CEL_Pixel3D& at(unsigned long long i) { return i & kLocal ? local[i & ~kLocal] : (*global)[i]; }
    bool valid(unsigned long long i) const {
        return i & kLocal ? (i & ~kLocal) < local.size() : i < global->size();
    }
    unsigned long long size() const { return global->size() + local.size(); }
    unsigned long long append(const CEL_Pixel3D& s) {
        local.push_back(s);
        return kLocal | (local.size() - 1);
    }
    void setLink(unsigned long long* link, unsigned long long index) {
        *link = index;
        if (!(index & kLocal)) return;
        if (within(link, headsBegin, headsEnd)) {
            headLinks.push_back(link);
        } else if (within(link, global->data(), global->data() + global->size())) {
            const auto bytes =
                reinterpret_cast<const char*>(link) - reinterpret_cast<const char*>(global->data());
            sampleLinks.push_back(std::size_t(bytes) / sizeof(CEL_Pixel3D));
        }
    }
    void link(CEL_Pixel3D& head, unsigned long long prev, unsigned long long index) {
        setLink(prev == 0 ? &head.next : &at(prev).next, index);
    }
};

// ===========================================================================
// ALGO_Composite3D

ALGO_Composite3D::ALGO_Composite3D(CEL_PixmapArea3D* dst)
    : m_dst(dst), m_dstStore(dst ? &dst->pixels() : nullptr) {}

ALGO_Composite3D::ALGO_Composite3D(const ALGO_Composite3D& other)
    : m_dst(other.m_dst), m_dstStore(other.m_dstStore), m_src3D(other.m_src3D),
      m_commonRect(other.m_commonRect), m_layer(other.m_layer) {
    for (int i = 0; i < ZWindowSize; ++i) m_zWindow[i] = other.m_zWindow[i];
}

ALGO_Composite3D::~ALGO_Composite3D() = default;

void ALGO_Composite3D::composite2d(const CEL_PixmapAreaRGBA16* src, float z) {
    CelAlgo::detail::requirePixmaps(m_dst, src);
    Layer layer;
    layer.kind = Layer::Flat;
    layer.colour = src;
    layer.z = z;
    initializeForSrc(src);
    run(layer);
}

void ALGO_Composite3D::composite2d(const CEL_PixmapAreaRGBA16* src, const Math::PlanarDepthBuffer& depth) {
    if (depth.isConstant()) return composite2d(src, float(depth.constant()));
    CelAlgo::detail::requirePixmaps(m_dst, src);
    Layer layer;
    layer.kind = Layer::Planar;
    layer.colour = src;
    layer.plane = depth;
    initializeForSrc(src);
    run(layer);
}

void ALGO_Composite3D::composite3d(const CEL_PixmapAreaRGBA16* src, const CEL_PixmapAreaZ* srcZ) {
    CelAlgo::detail::requirePixmaps(m_dst, src, srcZ);
    // The rectangle initializeForSrc will give, checked before dst changes.
    Math::Box2di target = m_dst->allocatedRect().getUnion(src->allocatedRect());
    target = m_dst->calcPreferredAllocatedRect(target.getIntersection(m_dst->canvasRect()));
    const Math::Box2di common = target.getIntersection(src->allocatedRect());
    if (!common.hasNullArea() &&
        (!srcZ->data() || !srcZ->allocatedRect().isContaining(common) || !src->data()))
        throw AlgoException("incorrect parameters");
    Layer layer;
    layer.kind = Layer::Depth;
    layer.colour = src;
    layer.depth = srcZ;
    initializeForSrc(src);
    layer.id = m_dst->getNextDepthBufferId();
    run(layer);
}

void ALGO_Composite3D::composite3d(const CEL_PixmapArea3D* src) {
    CelAlgo::detail::requirePixmaps(m_dst, src);
    // Merging a pixmap into itself reads a copy.
    std::unique_ptr<CEL_PixmapArea3D> copy;
    if (src == m_dst) {
        copy.reset(src->clone());
        if (!copy) throw AlgoException("out of memory");
        src = copy.get();
    }
    Layer layer;
    layer.kind = Layer::Merge;
    layer.offset = m_dst->currentDepthBufferId();
    initializeForSrc(src);
    run(layer);
    m_dst->incrementDepthBufferId(src->currentDepthBufferId());
}

void ALGO_Composite3D::initializeForSrc(const CEL_PixmapArea* src) {
    // dst->reallocToFitAndClipToCanvas(src, true), leaving dst as it was on failure.
    const Math::Box2di r = m_dst->allocatedRect().getUnion(src->allocatedRect());
    reallocKeeping(m_dst, r.getIntersection(m_dst->canvasRect()));
    m_commonRect = m_dst->commonAllocatedRect(src);
    m_src3D = dynamic_cast<const CEL_PixmapArea3D*>(src);
    m_dstStore = &m_dst->pixels();
}

// --- Bands ---

void ALGO_Composite3D::run(const Layer& layer) {
    const Math::Box2di r = m_commonRect;
    if (r.hasNullArea() || !m_dst->data()) return;
    m_layer = &layer;
    const int rows = r.h();
    const int threads = passThreads();
    const int count = threads == 1 ? 1 : std::min(rows, threads * 4);

    std::vector<std::unique_ptr<ALGO_Composite3D>> bands;
    try {
        bands.reserve(std::size_t(count));
        const CEL_Pixel3D* heads = m_dst->data();
        for (int k = 0; k < count; ++k) {
            auto band = std::make_unique<ALGO_Composite3D>(*this);
            band->m_band = std::make_unique<Band>();
            Band& b = *band->m_band;
            b.global = m_dstStore;
            b.headsBegin = heads;
            b.headsEnd = heads + m_dst->allocatedArea();
            b.y1 = r.y1() + int((long long)rows * k / count);
            b.y2 = r.y1() + int((long long)rows * (k + 1) / count);
            // The neighbours' rows, before anyone changes them.
            band->readLine(b.upperEdge, b.y1 - 1);
            band->readLine(b.lowerEdge, b.y2);
            b.haveUpper = b.haveLower = true;
            bands.push_back(std::move(band));
        }
    } catch (const std::bad_alloc&) {
        throw AlgoException("out of memory");
    }

    const long long bandPixels = (long long)r.w() * (rows / count + 1);
    CelAlgo::detail::parallelRows(0, count, 1, bandPixels, [&bands](int b0, int b1) {
        for (int k = b0; k < b1; ++k) bands[std::size_t(k)]->runBand();
    });

    // Join in band order, relocating the flagged indices.
    unsigned long long total = m_dstStore->size();
    bool failed = false;
    for (const auto& band : bands) {
        failed = failed || band->m_band->failed;
        total += band->m_band->local.size();
    }
    unsigned long long bytes = 0;
    failed = failed ||
             !CEL_PixelBuffer::byteSize((long long)std::min<unsigned long long>(total, LLONG_MAX),
                                        sizeof(CEL_Pixel3D), bytes) ||
             !CEL_PixelBuffer::withinLimit(bytes);
    if (!failed) {
        try {
            m_dstStore->reserve(std::size_t(total));
        } catch (const std::exception&) {
            failed = true;
        }
    }
    if (failed) {
        // The band samples are lost: cut every link to them, so that each
        // list ends where the band's additions began.
        for (const auto& band : bands) {
            for (unsigned long long* link : band->m_band->headLinks)
                if (*link & kLocal) *link = 0;
            for (std::size_t i : band->m_band->sampleLinks)
                if ((*m_dstStore)[i].next & kLocal) (*m_dstStore)[i].next = 0;
        }
        throw AlgoException("out of memory");
    }
    for (const auto& band : bands) {
        Band& b = *band->m_band;
        const unsigned long long base = m_dstStore->size();
        auto relocate = [base](unsigned long long& v) {
            if (v & kLocal) v = base + (v & ~kLocal);
        };
        for (unsigned long long* link : b.headLinks) relocate(*link);
        for (std::size_t i : b.sampleLinks) relocate((*m_dstStore)[i].next);
        for (CEL_Pixel3D& s : b.local) relocate(s.next);
        m_dstStore->insert(m_dstStore->end(), b.local.begin(), b.local.end());
    }
}

void ALGO_Composite3D::runBand() {
    Band& b = *m_band;
    try {
        initializeDstZWindow();
        for (int y = b.y1; y < b.y2; ++y) {
            if (y > b.y1) shiftDstZWindow(y);
            if (m_layer->kind == Layer::Merge)
                mergeRow(y);
            else
                compositeColourRow(y);
        }
    } catch (const std::bad_alloc&) {
        // Appends come before links: every list is still whole.
        b.failed = true;
    }
}

// --- The window ---
//
// A pixel's neighbours are read as they were before the call. Below the row
// and to the right nothing has changed yet, so those are read from the
// destination itself. A pixel is copied into the window (saved) just before
// its head or list first changes, so the left neighbour and the row above are
// found there when they changed, else in the destination. Colour-only changes
// (the crossing mix) need no copy: the window holds depths and identifiers.
// The rows beside a band are other bands' rows: they are copied whole (full
// lines) before any band starts.

void ALGO_Composite3D::initializeDstZWindow() {
    const int y = m_band ? m_band->y1 : m_commonRect.y1();
    readDstZWindowLine(0, y - ZWindowHalfSize);
    readDstZWindowLine(1, y);
    readDstZWindowLine(2, y + ZWindowHalfSize);
}

void ALGO_Composite3D::shiftDstZWindow(int y) {
    std::swap(m_zWindow[0], m_zWindow[1]);
    std::swap(m_zWindow[1], m_zWindow[2]);
    readDstZWindowLine(2, y + ZWindowHalfSize);
}

void ALGO_Composite3D::readDstZWindowLine(int row, int y) {
    ZWindowLine& line = m_zWindow[row];
    if (m_band && m_band->haveUpper && y == m_band->y1 - 1) {
        std::swap(line, m_band->upperEdge);
        m_band->haveUpper = false;
    } else if (m_band && m_band->haveLower && y == m_band->y2) {
        std::swap(line, m_band->lowerEdge);
        m_band->haveLower = false;
    } else {
        // Nothing copied yet: the destination still holds the whole row.
        const std::size_t n = std::size_t(m_commonRect.w() + 2 * ZWindowHalfSize);
        line.heads.resize(n);
        line.saved.assign(n, kInDestination);
        line.list.assign(1, kEmptyZ);
        line.full = false;
        line.y = y;
    }
}

void ALGO_Composite3D::readLine(ZWindowLine& line, int y) {
    const int x0 = m_commonRect.x1() - ZWindowHalfSize;
    const int n = m_commonRect.w() + 2 * ZWindowHalfSize;
    line.heads.resize(std::size_t(n));
    line.saved.assign(std::size_t(n), kSaved);
    line.list.assign(1, kEmptyZ);
    line.full = true;
    line.y = y;
    for (int i = 0; i < n; ++i)
        readDstZPixel(&line.heads[std::size_t(i)], line.list, m_dst->pixel(x0 + i, y));
}

void ALGO_Composite3D::saveOriginal(int x, const CEL_Pixel3D& head) {
    ZWindowLine& line = m_zWindow[1];
    const std::size_t i = std::size_t(x - m_commonRect.x1() + ZWindowHalfSize);
    if (line.saved[i]) return;
    if (isEmpty(head)) {
        line.saved[i] = kSavedEmpty;
        return;
    }
    readDstZPixel(&line.heads[i], line.list, &head);
    line.saved[i] = kSaved;
}

void ALGO_Composite3D::readDstZPixel(ZPixel* out, std::vector<ZPixel>& list, const CEL_Pixel3D* head) {
    if (!head || isEmpty(*head)) {
        *out = kEmptyZ;
        return;
    }
    *out = ZPixel{head->z, head->depthBufferId, 0ull};
    unsigned long long cur = head->next;
    if (cur == 0) return;
    // Only samples from before the call are in lists not yet saved.
    const std::vector<CEL_Pixel3D>& store = *m_dstStore;
    const std::size_t size = store.size();
    std::size_t prev = 0;
    for (std::size_t steps = 0; cur != 0 && cur < size && steps < size; ++steps) {
        const CEL_Pixel3D& e = store[cur];
        list.push_back(ZPixel{e.z, e.depthBufferId, 0ull});
        // The previous link may live in the vector that just grew.
        (prev == 0 ? out->next : list[prev].next) = list.size() - 1;
        prev = list.size() - 1;
        cur = e.next;
    }
}

// --- Surfaces and coverage ---

float ALGO_Composite3D::findMatchingDstPixelZ(const CEL_Pixel3D* d, const ZPixel* neighbour,
                                              const std::vector<ZPixel>& list) const {
    float best = d->z;
    double bestDiff = HUGE_VAL;
    for (const ZPixel* p = neighbour;; p = &list[p->next]) {
        if (p->depthBufferId == d->depthBufferId) {
            const double diff = std::fabs(double(p->z) - double(d->z));
            if (diff < bestDiff) {
                bestDiff = diff;
                best = p->z;
            }
        }
        if (p->next == 0 || p->next >= list.size()) break;
    }
    return bestDiff < kMatchTolerance ? best : d->z;
}

// The same rule over a head and list that are still in the destination.
float ALGO_Composite3D::matchInDestination(const CEL_Pixel3D& d, const CEL_Pixel3D* head) const {
    if (!head || isEmpty(*head)) return d.z;
    const std::vector<CEL_Pixel3D>& store = *m_dstStore;
    float best = d.z;
    double bestDiff = HUGE_VAL;
    const CEL_Pixel3D* p = head;
    for (std::size_t steps = 0; steps <= store.size(); ++steps) {
        if (p->depthBufferId == d.depthBufferId) {
            const double diff = std::fabs(double(p->z) - double(d.z));
            if (diff < bestDiff) {
                bestDiff = diff;
                best = p->z;
            }
        }
        if (p->next == 0 || p->next >= store.size()) break;
        p = &store[p->next];
    }
    return bestDiff < kMatchTolerance ? best : d.z;
}

float ALGO_Composite3D::neighbourZ(const CEL_Pixel3D& d, int row, int x) const {
    const ZWindowLine& line = m_zWindow[row];
    const std::size_t i = std::size_t(x - m_commonRect.x1() + ZWindowHalfSize);
    if (line.saved[i] == kSavedEmpty) return d.z;
    if (line.saved[i]) return findMatchingDstPixelZ(&d, &line.heads[i], line.list);
    return matchInDestination(d, m_dst->pixel(x, line.y));
}

const CEL_Pixel3D* ALGO_Composite3D::findMatchingSrcPixel(const CEL_Pixel3D* s,
                                                          const CEL_Pixel3D* neighbour) const {
    if (!neighbour || isEmpty(*neighbour) || !m_src3D) return nullptr;
    const std::vector<CEL_Pixel3D>& store = m_src3D->pixels();
    const CEL_Pixel3D* best = nullptr;
    double bestDiff = HUGE_VAL;
    const CEL_Pixel3D* p = neighbour;
    for (std::size_t steps = 0; steps <= store.size(); ++steps) {
        if (p->depthBufferId == s->depthBufferId) {
            const double diff = std::fabs(double(p->z) - double(s->z));
            if (diff < bestDiff) {
                bestDiff = diff;
                best = p;
            }
        }
        if (p->next == 0 || p->next >= store.size()) break;
        p = &store[p->next];
    }
    return bestDiff < kMatchTolerance ? best : nullptr;
}

void ALGO_Composite3D::getDstPixelPlane(PixelPlane& plane, const CEL_Pixel3D& d, int x, int) const {
    if (d.depthBufferId == 0) {
        plane = PixelPlane{d.z, d.z, d.z, d.z, true};
        return;
    }
    plane.up = neighbourZ(d, 0, x);
    plane.right = neighbourZ(d, 1, x + 1);
    plane.left = neighbourZ(d, 1, x - 1);
    plane.down = neighbourZ(d, 2, x);
    plane.flat = false;
}

void ALGO_Composite3D::getSrcPixelPlane(PixelPlane& plane, const CEL_Pixel3D& s, int x, int y) const {
    const Layer::Kind kind = m_layer ? m_layer->kind : Layer::Flat;
    switch (kind) {
    case Layer::Planar: {
        const Math::PlanarDepthBuffer& p = m_layer->plane;
        plane = PixelPlane{float(p.getZ(x + 0.5, y - 0.5)), float(p.getZ(x + 1.5, y + 0.5)),
                           float(p.getZ(x - 0.5, y + 0.5)), float(p.getZ(x + 0.5, y + 1.5)), false};
        return;
    }
    case Layer::Depth: {
        // Inside the common rectangle the neighbours' depths; at its edges the pixel's own.
        const CEL_PixmapAreaZ* z = m_layer->depth;
        const Math::Box2di& r = m_commonRect;
        auto at = [&](int px, int py) { return r.isContaining(px, py) ? z->pixel(px, py)->value : s.z; };
        plane = PixelPlane{at(x, y - 1), at(x + 1, y), at(x - 1, y), at(x, y + 1), false};
        return;
    }
    case Layer::Merge: {
        if (s.depthBufferId == 0) break;
        auto at = [&](int px, int py) {
            const CEL_Pixel3D* m = findMatchingSrcPixel(&s, m_src3D->pixel(px, py));
            return m ? m->z : s.z;
        };
        plane = PixelPlane{at(x, y - 1), at(x + 1, y), at(x - 1, y), at(x, y + 1), false};
        return;
    }
    case Layer::Flat:
        break;
    }
    plane = PixelPlane{s.z, s.z, s.z, s.z, true};
}

float ALGO_Composite3D::getSrcCoverage(const PixelPlane& dstPlane, const PixelPlane& srcPlane) const {
    if (dstPlane.flat && srcPlane.flat) return srcPlane.up >= dstPlane.up ? 1.0f : 0.0f;
    // Single precision throughout, as the mixing that uses it.
    const float dz[4] = {dstPlane.up, dstPlane.right, dstPlane.left, dstPlane.down};
    const float sz[4] = {srcPlane.up, srcPlane.right, srcPlane.left, srcPlane.down};
    bool behind[4];
    int count = 0;
    for (int i = 0; i < 4; ++i) count += (behind[i] = dz[i] > sz[i]) ? 1 : 0;
    if (count == 0) return 1.0f;
    if (count == 4) return 0.0f;
    float d[4];
    bool large = false;
    for (int i = 0; i < 4; ++i) {
        d[i] = std::fabs(sz[i] - dz[i]);
        large = large || !(d[i] <= FLT_MAX * 0.25f);
    }
    if (large) {
        // Depths far apart (CEL_PixelFloat::Zero against a real depth): the
        // differences and their sums would overflow to infinity and the ratios
        // to NaN. A quarter of each depth keeps the same ratios in range.
        for (int i = 0; i < 4; ++i) d[i] = std::fabs(sz[i] * 0.25f - dz[i] * 0.25f);
    }
    auto share = [](float p, float q) { return p / (p + q); };
    float c;
    if (count == 1 || count == 3) {
        // The corner triangle of the one position that differs from the other three.
        int i = 0;
        while (behind[i] != (count == 1)) ++i;
        const int a = i == kUp || i == kDown ? kLeft : kDown;
        const int b = i == kUp || i == kDown ? kRight : kUp;
        const float A = 0.5f * share(d[i], d[a]) * share(d[i], d[b]);
        c = behind[i] ? 1.0f - A : A;
    } else if (behind[kUp] == behind[kRight]) {
        const float A = 0.5f * (share(d[kRight], d[kDown]) + share(d[kUp], d[kLeft]));
        c = behind[kUp] ? 1.0f - A : A;
    } else if (behind[kUp] == behind[kLeft]) {
        const float A = 0.5f * (share(d[kLeft], d[kDown]) + share(d[kUp], d[kRight]));
        c = behind[kUp] ? 1.0f - A : A;
    } else {
        c = 0.5f;
    }
    return c == c ? c : 0.0f; // NaN depths: behind
}

float ALGO_Composite3D::getSrcCoverage(const PixelPlane& dstPlane, float z) const {
    if (dstPlane.flat) return z >= dstPlane.up ? 1.0f : 0.0f;
    return getSrcCoverage(dstPlane, PixelPlane{z, z, z, z, true});
}

float ALGO_Composite3D::getSrcCoverage(const CEL_Pixel3D& d, int x, int y, const PixelPlane& srcPlane) const {
    const float lo = std::min(std::min(srcPlane.up, srcPlane.right), std::min(srcPlane.left, srcPlane.down));
    const float hi = std::max(std::max(srcPlane.up, srcPlane.right), std::max(srcPlane.left, srcPlane.down));
    const bool nan = srcPlane.up != srcPlane.up || srcPlane.right != srcPlane.right ||
                     srcPlane.left != srcPlane.left || srcPlane.down != srcPlane.down;
    if (!nan) {
        if (const float c = clearCoverage(d, lo, hi); c >= 0.0f) return c;
    }
    PixelPlane plane;
    getDstPixelPlane(plane, d, x, y);
    return getSrcCoverage(plane, srcPlane);
}

// The coverage when the source surface, known to lie within [lo, hi], is in
// front of or behind d's whole surface; -1 when they may cross. A flat d's
// surface is d.z; another's neighbours are within the match tolerance of d.z
// or d.z itself, so its surface lies within d.z -+ 0.125. This spares the
// window for all but the pixels near a crossing and gives what the full
// computation gives (no position behind: 1; all four behind: 0).
float ALGO_Composite3D::clearCoverage(const CEL_Pixel3D& d, double lo, double hi) {
    const double margin = d.depthBufferId == 0 ? 0.0 : 0.125;
    if (lo >= double(d.z) + margin) return 1.0f;
    if (hi < double(d.z) - margin) return 0.0f;
    return -1.0f;
}

// --- Changing the destination ---

void ALGO_Composite3D::applyAntialiazingOnDst(CEL_Pixel3D& d, const CEL_PixelRGBA16& s, float c) {
    const CEL_PixelRGBA16 dc = d.colour;
    auto one = [&](int dv, int sv) {
        const int f = overOne(dv, sv, s.a);  // s over d
        const int b = overOne(sv, dv, dc.a); // d over s
        return mix(f, b, c);
    };
    d.colour.r = one(dc.r, s.r);
    d.colour.g = one(dc.g, s.g);
    d.colour.b = one(dc.b, s.b);
    d.colour.a = one(dc.a, s.a);
}

void ALGO_Composite3D::insertPixel(int x, int y, unsigned long long* link, CEL_Pixel3D& s,
                                   const PixelPlane& srcPlane) {
    Band& b = *m_band;
    unsigned long long* prev = link;
    unsigned long long cur = *link;
    for (unsigned long long steps = 0, limit = b.size(); cur != 0 && b.valid(cur) && steps < limit; ++steps) {
        CEL_Pixel3D& e = b.at(cur);
        bool before;
        if (e.depthBufferId != s.depthBufferId) {
            const float c = getSrcCoverage(e, x, y, srcPlane);
            if (c > 0.0f && c < 1.0f) {
                applyAntialiazingOnDst(e, s.colour, c);
                return;
            }
            before = c >= 1.0f;
        } else {
            before = !(e.z > s.z);
        }
        if (before) {
            s.next = isOpaque(s) ? 0 : cur;
            b.setLink(prev, b.append(s));
            return;
        }
        if (isOpaque(e)) return;
        prev = &e.next;
        cur = e.next;
    }
    s.next = 0;
    b.setLink(prev, b.append(s));
}

void ALGO_Composite3D::place(int x, int y, CEL_Pixel3D& d, CEL_Pixel3D& s, const PixelPlane& srcPlane,
                             float c) {
    if (c > 0.0f && c < 1.0f) {
        applyAntialiazingOnDst(d, s.colour, c);
        return;
    }
    if (c <= 0.0f && isOpaque(d)) return;
    saveOriginal(x, d);
    if (c <= 0.0f) {
        insertPixel(x, y, &d.next, s, srcPlane);
    } else if (isOpaque(s)) {
        d = s;
        d.next = 0;
    } else {
        const unsigned long long old = m_band->append(d);
        d = s;
        m_band->setLink(&d.next, old);
    }
}

void ALGO_Composite3D::compositeColourRow(int y) {
    const Layer& L = *m_layer;
    const Math::Box2di& r = m_commonRect;
    const int x1 = r.x1(), w = r.w();
    const CEL_PixelRGBA16* src = L.colour->pixel(x1, y);
    CEL_Pixel3D* dst = m_dst->pixel(x1, y);
    // Depth rows of the source around y; at the edges of the common rectangle
    // a neighbour's depth is the pixel's own.
    const CEL_PixelFloat* zMid = L.kind == Layer::Depth ? L.depth->pixel(x1, y) : nullptr;
    const CEL_PixelFloat* zUp = zMid && y > r.y1() ? L.depth->pixel(x1, y - 1) : nullptr;
    const CEL_PixelFloat* zDown = zMid && y + 1 < r.y2() ? L.depth->pixel(x1, y + 1) : nullptr;
    for (int i = 0; i < w; ++i) {
        if (src[i].isBlack()) continue;
        const int x = x1 + i;
        CEL_Pixel3D& d = dst[i];
        CEL_Pixel3D s;
        s.colour = src[i];
        s.z = zMid ? zMid[i].value : L.kind == Layer::Flat ? L.z : float(L.plane.getZ(x + 0.5, y + 0.5));
        s.depthBufferId = L.id;
        s.next = 0;
        if (isEmpty(d)) {
            saveOriginal(x, d);
            d = s;
            continue;
        }
        PixelPlane plane;
        if (zMid) {
            const float z = s.z;
            plane = PixelPlane{zUp ? zUp[i].value : z, i + 1 < w ? zMid[i + 1].value : z,
                               i > 0 ? zMid[i - 1].value : z, zDown ? zDown[i].value : z, false};
        } else if (L.kind == Layer::Flat) {
            plane = PixelPlane{L.z, L.z, L.z, L.z, true};
        } else {
            getSrcPixelPlane(plane, s, x, y);
        }
        place(x, y, d, s, plane, getSrcCoverage(d, x, y, plane));
    }
}

void ALGO_Composite3D::mergeRow(int y) {
    const Layer& L = *m_layer;
    const std::vector<CEL_Pixel3D>& from = m_src3D->pixels();
    const int x1 = m_commonRect.x1(), w = m_commonRect.w();
    const CEL_Pixel3D* src = m_src3D->pixel(x1, y);
    CEL_Pixel3D* dst = m_dst->pixel(x1, y);
    for (int i = 0; i < w; ++i) {
        if (isEmpty(src[i])) continue;
        const int x = x1 + i;
        CEL_Pixel3D& d = dst[i];
        if (isEmpty(d)) {
            saveOriginal(x, d);
            CEL_Depth3D::insertList(d, src[i], from, L.offset, *m_band);
            continue;
        }
        const CEL_Pixel3D* raw = &src[i];
        for (std::size_t steps = 0; raw && steps <= from.size(); ++steps) {
            const CEL_Pixel3D r = *raw; // the source's own identifier finds its neighbours
            raw = r.next != 0 && r.next < from.size() ? &from[r.next] : nullptr;
            CEL_Pixel3D s = r;
            s.depthBufferId = CEL_Depth3D::offsetId(r.depthBufferId, L.offset);
            s.next = 0;
            if (isEmpty(s)) continue;
            if (isEmpty(d)) {
                saveOriginal(x, d);
                CEL_Depth3D::insertSample(d, s, *m_band);
                continue;
            }
            // The source surface lies within its own match tolerance of s.z:
            // its neighbours are looked up only when that does not decide.
            PixelPlane plane{s.z, s.z, s.z, s.z, true};
            bool planeKnown = r.depthBufferId == 0;
            float c;
            if (s.depthBufferId == d.depthBufferId) {
                c = d.z > s.z ? 0.0f : 1.0f;
            } else {
                const double margin = planeKnown ? 0.0 : 0.125;
                c = clearCoverage(d, double(s.z) - margin, double(s.z) + margin);
                if (c < 0.0f) {
                    getSrcPixelPlane(plane, r, x, y);
                    planeKnown = true;
                    c = getSrcCoverage(d, x, y, plane);
                }
            }
            if (c <= 0.0f && !isOpaque(d) && !planeKnown) getSrcPixelPlane(plane, r, x, y);
            place(x, y, d, s, plane, c);
        }
    }
}

// ===========================================================================
// ALGO_3D

void ALGO_3D::applyMask(CEL_PixmapArea3D* dst, const CEL_PixmapAreaRGBA16* mask, bool maskInside) {
    CelAlgo::detail::requirePixmaps(dst);
    Math::Box2di r = mask ? dst->allocatedRect().getIntersection(mask->allocatedRect()) : Math::Box2di();
    if (maskInside) {
        reallocKeeping(dst, r);
        r = r.getIntersection(dst->allocatedRect());
    }
    if (r.hasNullArea() || !dst->data() || !mask->data()) return;
    std::vector<CEL_Pixel3D>& store = dst->pixels();
    // Each pixel changes only its own list: rows are independent.
    CelAlgo::detail::parallelRows(
        r.y1(), r.y2(), CelAlgo::detail::rowGrain(r.h()), r.w(), [&](int y1, int y2) {
            for (int y = y1; y < y2; ++y) {
                const CEL_PixelRGBA16* m = mask->pixel(r.x1(), y);
                CEL_Pixel3D* heads = dst->pixel(r.x1(), y);
                for (int i = 0; i < r.w(); ++i) {
                    const int a = m[i].a;
                    const int w = maskInside ? a : kFull - a;
                    CEL_Pixel3D& head = heads[i];
                    if (w <= 0) {
                        head.colour = CEL_PixelRGBA16{0, 0, 0, 0};
                        head.next = 0;
                        continue;
                    }
                    if (maskInside && a == kFull) continue;
                    // P: the alpha already given to nearer samples, before rounding.
                    double P = 0.0;
                    CEL_Pixel3D* s = &head;
                    for (std::size_t steps = 0; s && steps <= store.size(); ++steps) {
                        const double room = kFull - P;
                        const double factor = room > 0.0 ? (w - P) / room : 0.0;
                        auto scale = [factor](int16_t& c) {
                            c = clamp16(CelAlgo::detail::roundHalfUp(c * factor));
                        };
                        const double alpha = s->colour.a * factor;
                        scale(s->colour.r);
                        scale(s->colour.g);
                        scale(s->colour.b);
                        scale(s->colour.a);
                        P = alpha;
                        s = s->next != 0 && s->next < store.size() ? &store[s->next] : nullptr;
                    }
                }
            }
        });
}

CEL_PixmapAreaZ* ALGO_3D::copyExpandDepthBuffer(const CEL_PixmapAreaRGBA16* colour,
                                                const CEL_PixmapAreaZ* depth) {
    if (!colour || !depth) return nullptr;
    std::unique_ptr<CEL_PixmapAreaZ> r(depth->clone());
    if (!r) return nullptr;
    r->realloc(colour->allocatedRect(), true);
    if (!r->data() || !colour->data()) return r.release();
    const Math::Box2di R = r->allocatedRect();
    const Math::Box2di I = R.getIntersection(colour->allocatedRect());
    // Without any depth every hole would search the whole rectangle in vain.
    const CEL_PixelFloat* all = r->data();
    if (std::all_of(all, all + R.area(), [](const CEL_PixelFloat& v) { return v.isZero(); }))
        return r.release();

    const long long side = 2 * ((long long)R.w() + R.h());
    const long long limit = side > 3037000499LL ? LLONG_MAX : side * side;
    struct Candidate {
        bool valid = false;
        int x = 0, y = 0;
        float z = 0.0f;
    } candidate;
    for (int y = I.y1(); y < I.y2(); ++y) {
        const CEL_PixelRGBA16* c = colour->pixel(I.x1(), y);
        CEL_PixelFloat* z = r->pixel(I.x1(), y);
        for (int i = 0; i < I.w(); ++i) {
            if (c[i].isBlack()) continue;
            const int x = I.x1() + i;
            if (!z[i].isZero()) {
                candidate = Candidate{true, x, y, z[i].value};
                continue;
            }
            CEL_PixelFloat& hole = z[i];
            long long best = limit;
            if (candidate.valid) {
                const long long dx = candidate.x - x, dy = candidate.y - y;
                const long long d = dx * dx + dy * dy;
                if (d < best) {
                    hole = candidate.z;
                    best = d;
                }
            }
            // One row at vertical distance dy: rightwards, then leftwards.
            auto scanRow = [&](int row, long long dy) {
                const CEL_PixelFloat* line = r->pixel(R.x1(), row);
                auto scan = [&](int col) {
                    const long long dx = col - x;
                    const CEL_PixelFloat v = line[col - R.x1()];
                    if (!v.isZero()) {
                        const long long d = dy * dy + dx * dx;
                        if (d < best) {
                            hole = v.value;
                            best = d;
                            candidate = Candidate{true, col, row, v.value};
                            return true;
                        }
                    }
                    return best > dx * dx;
                };
                for (int col = x + 1; col < R.x2() && scan(col); ++col) {
                }
                for (int col = x - 1; col >= R.x1() && scan(col); --col) {
                }
            };
            for (long long dy = 0; y + dy >= R.y1() && best > dy * dy; --dy) scanRow(int(y + dy), dy);
            for (long long dy = 1; y + dy < R.y2() && best > dy * dy; ++dy) scanRow(int(y + dy), dy);
        }
    }
    return r.release();
}

CEL_PixmapAreaRGBA16* ALGO_3D::depthBufferToGrayScale(const CEL_PixmapAreaZ* depth, double upper,
                                                      double lower) {
    if (!depth || !depth->data() || depth->allocatedRect().hasNullArea()) return nullptr;
    constexpr double kMax = 3.4028234663852886e38;
    // NaN limits count as no limit.
    if (!(upper <= kMax)) upper = kMax;
    if (!(lower >= -kMax)) lower = -kMax;
    const CEL_PixelFloat* v = depth->data();
    const long long n = depth->allocatedArea();
    double vMin = HUGE_VAL, vMax = -HUGE_VAL;
    for (long long i = 0; i < n; ++i) {
        const double d = v[i].value;
        if (lower < d && d < upper) {
            vMin = std::min(vMin, d);
            vMax = std::max(vMax, d);
        }
    }
    if (vMin > vMax) vMin = vMax = 0.0;

    auto out = std::make_unique<CEL_PixmapAreaRGBA16>(depth->size(), depth->canvasRect());
    if (!out->realloc(depth->canvasRect(), false)) throw AlgoException("out of memory");
    if (!out->data()) return out.release();
    constexpr CEL_PixelRGBA16 kNoDepth{0, 0, 16383, 32767};
    const Math::Box2di common = depth->allocatedRect().getIntersection(out->allocatedRect());
    if (common != out->allocatedRect()) std::fill_n(out->data(), out->allocatedArea(), kNoDepth);
    const double range = vMax - vMin;
    const double scale = range > 0.0 ? 32767.0 / range : 0.0;
    for (int y = common.y1(); y < common.y2(); ++y) {
        const CEL_PixelFloat* z = depth->pixel(common.x1(), y);
        CEL_PixelRGBA16* p = out->pixel(common.x1(), y);
        for (int i = 0; i < common.w(); ++i) {
            const double d = z[i].value;
            if (!(d > lower)) {
                p[i] = kNoDepth;
                continue;
            }
            const double g = (d - vMin) * scale; // NaN (an infinite depth times 0) gives black
            const int16_t grey = int16_t(g >= 32767.0 ? 32767 : (g > 0.0 ? int(g) : 0));
            p[i] = CEL_PixelRGBA16{grey, grey, grey, 32767};
        }
    }
    return out.release();
}
