// The render cache against plain file I/O of the same bytes in the same
// folder: moving a 4096 x 4096 16-bit cel to its proxy file (134 217 784
// bytes) and restoring it, against write() + rename() of the pixmap's buffer
// and read() into a fresh buffer; one cel on one thread and two cels on two
// threads. Raw depth files (4096 x 4096 floats) likewise.
//
// Each iteration runs our operation and then the plain one, so that the load
// of a shared machine weighs on both alike; the reported time is ours, with
// the plain time and both ratios (wall and processor time) as counters. Only
// the transfers are timed: deleting files and freeing restored pixmaps happen
// between the timings.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <ctime>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "cel/Cel.h"
#include "cel/Context.h"
#include "cel/Proxy.h"
#include "celio/handlers/RawHandlers.h"
#include "pixel/PixmapArea.h"

namespace {

using R = CEL_Representation;
constexpr int kSide = 4096;
constexpr long long kPixels = (long long)kSide * kSide;

const QString& benchFolder() {
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/celcore-bench-proxy-XXXXXX"));
    static const QString path = dir.path();
    return path;
}

QByteArray name(const QString& file) {
    return QFile::encodeName(benchFolder() + QLatin1Char('/') + file);
}

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Runs f(k) on n threads released together; the wall time until all are done.
// The threads' processor time (user and system) is added to *cpu: on a loaded
// machine it varies less than the wall time.
template <class F> double timed(int n, double* cpu, F f) {
    std::latch start(n + 1);
    std::vector<double> used(size_t(n), 0.0);
    std::vector<std::thread> threads;
    for (int k = 0; k < n; ++k)
        threads.emplace_back([&, k] {
            start.arrive_and_wait();
            const double t0 = threadCpuSeconds();
            f(k);
            used[size_t(k)] = threadCpuSeconds() - t0;
        });
    start.count_down();
    start.wait();
    const auto t0 = std::chrono::steady_clock::now();
    for (std::thread& t : threads) t.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (double u : used) *cpu += u;
    return wall;
}

// The two sides of a comparison, summed over the iterations. They take turns
// to go first, and each side's files and buffers are released before the
// other runs, so neither inherits the other's dirty pages or freed memory.
struct Pair {
    double oursWall = 0, plainWall = 0, oursCpu = 0, plainCpu = 0;
    bool oursFirst = true;

    // Ours is reported as the iteration's time; each side runs on n threads.
    template <class Ours, class OursDone, class Plain, class PlainDone>
    void run(benchmark::State& state, int n, Ours ours, OursDone oursDone, Plain plain, PlainDone plainDone) {
        const auto runOurs = [&] {
            const double t = timed(n, &oursCpu, ours);
            state.SetIterationTime(t);
            oursWall += t;
            oursDone();
        };
        const auto runPlain = [&] {
            plainWall += timed(n, &plainCpu, plain);
            plainDone();
        };
        if (oursFirst) {
            runOurs();
            runPlain();
        } else {
            runPlain();
            runOurs();
        }
        oursFirst = !oursFirst;
    }
    void report(benchmark::State& state, long long bytesPerCel) const {
        const double cels = double(state.iterations() * state.range(0));
        state.SetBytesProcessed(int64_t(double(bytesPerCel) * cels));
        state.counters["plain_ms"] = 1000.0 * plainWall / double(state.iterations());
        state.counters["x_plain_wall"] = oursWall / plainWall;
        state.counters["x_plain_cpu"] = oursCpu / plainCpu;
    }
};

UT_SharedPtr<R> colourPixmap(int seed) {
    auto* p = new CEL_PixmapAreaRGBA16(kSide, kSide);
    p->realloc(Math::Box2di(0, 0, kSide, kSide), false);
    for (long long i = 0; i < kPixels; ++i)
        p->data()[i] = CEL_PixelRGBA16{int16_t(i + seed), int16_t(i >> 7), int16_t(i >> 13), 32767};
    return UT_SharedPtr<R>(p);
}

UT_SharedPtr<R> depthPixmap(int seed) {
    auto* z = new CEL_PixmapAreaZ(kSide, kSide);
    z->realloc(Math::Box2di(0, 0, kSide, kSide), false);
    for (long long i = 0; i < kPixels; ++i) z->data()[i] = float((i + seed) % 100000) * 0.25f;
    return UT_SharedPtr<R>(z);
}

// ------------------------------------------------------------------ plain I/O

bool plainWrite(const QByteArray& path, const void* header, size_t headerBytes, const void* data,
                size_t bytes) {
    const QByteArray part = path + ".part";
    const int fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, header, headerBytes) == ssize_t(headerBytes);
    for (size_t done = 0; ok && done < bytes;) {
        const ssize_t n = ::write(fd, static_cast<const char*>(data) + done, bytes - done);
        ok = n > 0;
        done += ok ? size_t(n) : 0;
    }
    ok = (::close(fd) == 0) && ok;
    return ok && ::rename(part.constData(), path.constData()) == 0;
}

std::unique_ptr<char[]> plainRead(const QByteArray& path, size_t bytes) {
    std::unique_ptr<char[]> buffer(new char[bytes]);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    size_t done = 0;
    while (fd >= 0 && done < bytes) {
        const ssize_t n = ::read(fd, buffer.get() + done, bytes - done);
        if (n <= 0) break;
        done += size_t(n);
    }
    if (fd >= 0) ::close(fd);
    return done == bytes ? std::move(buffer) : nullptr;
}

QByteArray plainName(int k) {
    return name(QStringLiteral("plain-%1").arg(k));
}

const void* pixels(const UT_SharedPtr<R>& p) {
    if (const auto* z = dynamic_cast<const CEL_PixmapAreaZ*>(p.get())) return z->data();
    return static_cast<const CEL_PixmapAreaRGBA16*>(p.get())->data();
}

// ------------------------------------------------------------------ comparisons

void BM_ToProxy(benchmark::State& state) {
    const int n = int(state.range(0));
    CEL_ProxyManager proxies(benchFolder() + QStringLiteral(";1000000"));
    std::vector<UT_SharedPtr<R>> pixmaps;
    std::vector<UT_SharedPtr<CEL_Cel>> cels;
    for (int k = 0; k < n; ++k) {
        pixmaps.push_back(colourPixmap(k)); // held here too, so the move frees no memory
        cels.emplace_back(new CEL_Cel(R::PIXMAP_AREA_RGBA16));
        cels.back()->addRepresentation(pixmaps.back());
    }
    const char header[56] = {};
    Pair pair;
    for (auto _ : state) {
        pair.run(
            state, n,
            [&](int k) {
                if (!proxies.toProxy(*cels[size_t(k)])) state.SkipWithError("toProxy failed");
            },
            [&] {
                for (int k = 0; k < n; ++k) {
                    cels[size_t(k)]->removeRepresentation(R::PROXY); // deletes the file
                    cels[size_t(k)]->setRepresentation(pixmaps[size_t(k)]);
                }
            },
            [&](int k) {
                if (!plainWrite(plainName(k), header, sizeof header, pixels(pixmaps[size_t(k)]),
                                size_t(kPixels) * 8))
                    state.SkipWithError("write failed");
            },
            [&] {
                for (int k = 0; k < n; ++k) ::unlink(plainName(k).constData());
            });
    }
    pair.report(state, 56 + kPixels * 8);
}

void BM_RestoreFromProxy(benchmark::State& state) {
    const int n = int(state.range(0));
    const size_t bytes = 56 + size_t(kPixels) * 8;
    CEL_ProxyManager proxies(benchFolder() + QStringLiteral(";1000000"));
    std::vector<UT_SharedPtr<CEL_Cel>> cels;
    std::vector<QByteArray> files;
    for (int k = 0; k < n; ++k) {
        cels.emplace_back(new CEL_Cel(R::PIXMAP_AREA_RGBA16));
        cels.back()->addRepresentation(colourPixmap(k));
        if (!proxies.toProxy(*cels.back())) state.SkipWithError("toProxy failed");
        const auto* proxy = dynamic_cast<const CEL_Proxy*>(cels.back()->findRepresentation(R::PROXY).get());
        files.push_back(QFile::encodeName(proxy->getCacheLocationAccess()->filePath()));
    }
    Pair pair;
    std::vector<std::unique_ptr<char[]>> buffers(static_cast<size_t>(n));
    for (auto _ : state) {
        pair.run(
            state, n,
            [&](int k) {
                if (!cels[size_t(k)]->convertTo(R::PIXMAP_AREA_RGBA16)) state.SkipWithError("restore failed");
            },
            [&] {
                for (auto& cel : cels) cel->removeRepresentation(R::PIXMAP_AREA_RGBA16);
            },
            [&](int k) {
                buffers[size_t(k)] = plainRead(files[size_t(k)], bytes);
                if (!buffers[size_t(k)]) state.SkipWithError("read failed");
            },
            [&] {
                for (auto& b : buffers) b.reset();
            });
    }
    pair.report(state, (long long)bytes);
}

void BM_RawDepthWrite(benchmark::State& state) {
    const int n = int(state.range(0));
    const CELIO_UioRawFloatHandler raw;
    std::vector<UT_SharedPtr<R>> depths;
    std::vector<UT_SharedPtr<CEL_Cel>> cels;
    for (int k = 0; k < n; ++k) {
        depths.push_back(depthPixmap(k));
        cels.emplace_back(new CEL_Cel(R::PIXMAP_AREA_ZBUF));
        cels.back()->addRepresentation(depths.back());
    }
    const char header[8] = {};
    Pair pair;
    for (auto _ : state) {
        pair.run(
            state, n,
            [&](int k) {
                if (!raw.write(cels[size_t(k)].get(), benchFolder() + QStringLiteral("/depth-%1.raw").arg(k),
                               QStringLiteral("RAW")))
                    state.SkipWithError("write failed");
            },
            [&] {
                for (int k = 0; k < n; ++k) ::unlink(name(QStringLiteral("depth-%1.raw").arg(k)).constData());
            },
            [&](int k) {
                if (!plainWrite(plainName(k), header, sizeof header, pixels(depths[size_t(k)]),
                                size_t(kPixels) * 4))
                    state.SkipWithError("write failed");
            },
            [&] {
                for (int k = 0; k < n; ++k) ::unlink(plainName(k).constData());
            });
    }
    pair.report(state, 8 + kPixels * 4);
}

void BM_RawDepthRead(benchmark::State& state) {
    const int n = int(state.range(0));
    const size_t bytes = 8 + size_t(kPixels) * 4;
    const CELIO_UioRawFloatHandler raw;
    for (int k = 0; k < n; ++k) {
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(R::PIXMAP_AREA_ZBUF));
        cel->addRepresentation(depthPixmap(k));
        raw.write(cel.get(), benchFolder() + QStringLiteral("/depth-read-%1.raw").arg(k),
                  QStringLiteral("RAW"));
    }
    const auto file = [](int k) { return benchFolder() + QStringLiteral("/depth-read-%1.raw").arg(k); };
    Pair pair;
    std::vector<CELIO_RepresentationList> lists(static_cast<size_t>(n));
    std::vector<std::unique_ptr<char[]>> buffers(static_cast<size_t>(n));
    for (auto _ : state) {
        pair.run(
            state, n,
            [&](int k) {
                if (!raw.read(file(k), CEL_Context(), lists[size_t(k)])) state.SkipWithError("read failed");
            },
            [&] {
                for (auto& l : lists) l.clear();
            },
            [&](int k) {
                buffers[size_t(k)] = plainRead(QFile::encodeName(file(k)), bytes);
                if (!buffers[size_t(k)]) state.SkipWithError("read failed");
            },
            [&] {
                for (auto& b : buffers) b.reset();
            });
    }
    for (int k = 0; k < n; ++k) QFile::remove(file(k));
    pair.report(state, (long long)bytes);
}

void configure(benchmark::internal::Benchmark* b) {
    b->Arg(1)->Arg(2)->ArgName("threads")->UseManualTime()->Unit(benchmark::kMillisecond);
}

} // namespace

BENCHMARK(BM_ToProxy)->Apply(configure);
BENCHMARK(BM_RestoreFromProxy)->Apply(configure);
BENCHMARK(BM_RawDepthWrite)->Apply(configure);
BENCHMARK(BM_RawDepthRead)->Apply(configure);
