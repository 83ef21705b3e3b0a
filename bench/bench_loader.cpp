// The background loader against synchronous reads: 200 HD frames of a panning
// cel (32-bit RLE TGA files in the page cache) read through CELIO_Manager one
// after the other on the calling thread, and through CELIO_ManagerAsync with
// one and two workers (each result dropped in the functor). Frames per second
// on the wall clock (the loader's cases wait for the last answer), and the
// CPU time of the whole process: on a loaded machine the wall clock shows the
// scheduler, the CPU time what the loader costs.
#include <benchmark/benchmark.h>

#include <QDateTime>
#include <QStringList>
#include <QTemporaryDir>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "BenchFrames.h"
#include "celio/ManagerAsync.h"

namespace {

constexpr int kFrames = 200;

// The frames, written once for every case of the run.
const QStringList& frames() {
    static QTemporaryDir dir;
    static const QStringList files = [] {
        QStringList f;
        if (!benchframes::writeFrames(dir.path(), kFrames)) return f;
        for (int k = 1; k <= kFrames; ++k)
            f << dir.filePath(QStringLiteral("f.%1.tga").arg(k, 4, 10, QLatin1Char('0')));
        return f;
    }();
    return files;
}

// Counts answers down and wakes the waiting thread at zero.
class Countdown {
public:
    void reset(int n) {
        std::lock_guard lock(m_mutex);
        m_left = n;
        m_failed = 0;
    }
    void done(bool ok) {
        std::lock_guard lock(m_mutex);
        m_failed += !ok;
        if (--m_left == 0) m_zero.notify_one();
    }
    int wait() {
        std::unique_lock lock(m_mutex);
        m_zero.wait(lock, [this] { return m_left == 0; });
        return m_failed;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_zero;
    int m_left = 0, m_failed = 0;
};

class Counted final : public CELIO_ManagerAsync::CallbackFunctor {
public:
    explicit Counted(Countdown& c) : m_countdown(c) {}
    void operator()(CELIO_ManagerAsync::CallbackData& data) override {
        const bool ok = !data.representations.empty();
        data.representations.clear(); // the pixels are freed on the worker
        m_countdown.done(ok);
    }

private:
    Countdown& m_countdown;
};

void setRate(benchmark::State& state) {
    state.counters["frames/s"] =
        benchmark::Counter(double(kFrames), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ReadFramesSynchronous(benchmark::State& state) {
    const QStringList& files = frames();
    if (files.isEmpty()) return state.SkipWithError("frames not written");
    const CELIO_Manager* io = CELIO_Manager::getInstance();
    for (auto _ : state) {
        for (const QString& f : files) {
            CELIO_RepresentationList list;
            QDateTime modified;
            if (!io->read(f, modified, CEL_Context(), list)) return state.SkipWithError("read failed");
            benchmark::DoNotOptimize(list);
        }
    }
    setRate(state);
}
BENCHMARK(BM_ReadFramesSynchronous)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(3);

void BM_ReadFramesLoader(benchmark::State& state) {
    const QStringList& files = frames();
    if (files.isEmpty()) return state.SkipWithError("frames not written");
    CELIO_ManagerAsync::startService(unsigned(state.range(0)));
    Countdown countdown;
    int failed = 0;
    for (auto _ : state) {
        countdown.reset(int(files.size()));
        for (const QString& f : files)
            CELIO_ManagerAsync::read(
                f, UT_SharedPtr<CELIO_ManagerAsync::CallbackFunctor>(new Counted(countdown)));
        failed += countdown.wait();
    }
    CELIO_ManagerAsync::stopService();
    if (failed) state.SkipWithError("a read failed");
    setRate(state);
}
BENCHMARK(BM_ReadFramesLoader)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(3);

} // namespace
