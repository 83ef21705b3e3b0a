// The pieces every compositing operation stands on: the fraction table, the
// exception type, the two regions and the parallel row helper.
#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_group.h>

#include "algo/composite/CompositeDetail.h"

// --- AlphaConvTable ---

namespace {

// Evaluated by the compiler: the table is in read-only data before any code
// runs, so no static-initialisation order can observe it half built. Compile-time
// division is correctly rounded, the same as the run-time one.
constexpr AlphaConvTable buildAlphaConvTable() {
    AlphaConvTable t{};
    for (int x = 0; x < AlphaConvTable::kEntries; ++x) {
        t.fraction[x] = x / 32767.0;
        t.inverse[x] = 1.0 - x / 32767.0;
    }
    return t;
}

} // namespace

constinit const AlphaConvTable AlphaConvTable::s_instance = buildAlphaConvTable();

namespace CelAlgo {

// --- AlgoException ---

AlgoException::AlgoException(const QString& message) : m_message(message) {}
AlgoException::AlgoException(const char* message) : m_message(QString::fromLatin1(message)) {}
AlgoException::AlgoException(const AlgoException& other) = default;
AlgoException& AlgoException::operator=(const AlgoException& other) = default;
AlgoException::~AlgoException() = default;

const QString& AlgoException::what() const {
    return m_message;
}

namespace detail {

// --- Regions ---

Math::Box2di growRegion(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    dst->reallocToFitAndClipToCanvas(src, true);
    return dst->commonAllocatedRect(src);
}

Math::Box2di intersectionRegion(const CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src) {
    return dst->commonAllocatedRect(src);
}

// --- Threads ---

namespace {
std::atomic<bool> g_serial{false};
} // namespace

void setSerialForTesting(bool serial) {
    g_serial.store(serial, std::memory_order_relaxed);
}

bool isSerialForTesting() {
    return g_serial.load(std::memory_order_relaxed);
}

void parallelRowsImpl(int y1, int y2, int grain, int64_t width, RowRangeBody body, const void* context) {
    if (y2 <= y1) return;
    const int64_t rows = int64_t(y2) - y1;
    if (rows < 2 || rows * width < kMinParallelPixels || isSerialForTesting()) {
        body(context, y1, y2);
        return;
    }
#if defined(__SANITIZE_THREAD__)
    // The distribution's oneTBB is not built for the thread sanitizer: the waits of its
    // scheduler are invisible to it, so every pass would report races inside TBB and
    // bury any in the bodies. Under the sanitizer the rows go to plain threads, whose
    // start and join it follows; the bodies see the same kind of row ranges.
    (void)grain;
    const int parts = int(std::min<int64_t>(rows, 4));
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(parts));
    std::vector<std::thread> threads;
    for (int k = 0; k < parts; ++k)
        threads.emplace_back([&, k] {
            try {
                body(context, int(y1 + rows * k / parts), int(y1 + rows * (k + 1) / parts));
            } catch (...) {
                errors[std::size_t(k)] = std::current_exception();
            }
        });
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
#else
    // Own context: a caller's cancelled group must not cut a pass short, and an
    // exception in one body cancels only this pass.
    tbb::task_group_context group;
    tbb::parallel_for(
        tbb::blocked_range<int>(y1, y2, std::size_t(std::max(grain, 1))),
        [body, context](const tbb::blocked_range<int>& r) { body(context, r.begin(), r.end()); },
        tbb::auto_partitioner(), group);
#endif
}

} // namespace detail
} // namespace CelAlgo
