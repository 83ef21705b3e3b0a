// The background loader. Every test starts worker threads, so the suite's name
// says so (the thread-sanitizer stage runs these).
#include <gtest/gtest.h>

#include <QFileInfo>
#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "CelioTestHandlers.h"
#include "base/Framework.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/ManagerAsync.h"
#include "celio/handlers/HandlerTestUtil.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

namespace Async = CELIO_ManagerAsync;

QString S(const char* s) {
    return QString::fromUtf8(s);
}

// Files named *.gate: read() counts itself in, waits while the gate is shut,
// and gives a 64 x 64 pixmap; a name containing "throw" throws.
class GateHandler final : public StubHandler {
public:
    GateHandler() : StubHandler({S("GATE")}) {}
    bool read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const override {
        if (path.contains(S("throw"))) throw -1;
        {
            std::unique_lock lock(m_mutex);
            ++m_entered;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_open; });
        }
        list.push_back(UT_SharedPtr<CEL_Representation>(new CEL_PixmapRGBA8(64, 64)));
        return true;
    }

    void setOpen(bool open) {
        std::lock_guard lock(m_mutex);
        m_open = open, m_changed.notify_all();
    }
    void awaitEntered(int n) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_entered >= n; });
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    mutable int m_entered = 0;
    bool m_open = true;
};

// Records the set-up of each worker thread (read once the workers are stopped).
class CountingFramework final : public B3D_Framework {
public:
    void initThread() override {
        B3D_Framework::initThread();
        std::lock_guard lock(mutex);
        threads.push_back(std::this_thread::get_id());
    }
    std::mutex mutex;
    std::vector<std::thread::id> threads;
};

struct Answer {
    Async::CallbackData data;
    std::thread::id thread;
};

// What the functors received, by request number.
class Answers {
public:
    void add(int id, const Answer& a) {
        std::lock_guard lock(m_mutex);
        m_answers.emplace(id, a);
        m_changed.notify_all();
    }
    // At most a minute, so a broken loader fails instead of hanging.
    bool await(size_t n) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::minutes(1), [&] { return m_answers.size() >= n; });
    }
    // Hands the answers over (the test then holds the only copies of their pixmaps).
    std::multimap<int, Answer> all() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_answers, {});
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::multimap<int, Answer> m_answers;
};

std::atomic<int> g_liveFunctors{0};
std::atomic<int> g_destroyedFunctors{0};

// Records each answer it gets; counts itself, so that a functor kept or freed twice shows.
struct Recorder final : Async::CallbackFunctor {
    Recorder(Answers& a, int i, bool t) : answers(a), id(i), throws(t) { ++g_liveFunctors; }
    ~Recorder() override { --g_liveFunctors, ++g_destroyedFunctors; }
    void operator()(Async::CallbackData& data) override {
        answers.add(id, Answer{data, std::this_thread::get_id()});
        if (throws) throw std::runtime_error("a functor that fails");
    }
    Answers& answers;
    const int id;
    const bool throws;
};

UT_SharedPtr<Async::CallbackFunctor> recorder(Answers& answers, int id, bool throws = false) {
    return UT_SharedPtr<Async::CallbackFunctor>(new Recorder(answers, id, throws));
}

void expectEmpty(const Async::CallbackData& d) {
    EXPECT_TRUE(d.path.isNull() && d.formatHint.isNull() && d.modified.isNull() && d.infoString.isNull() &&
                d.representations.empty() && d.context.layerPath().isEmpty());
}

int widthOf(const Async::CallbackData& d) {
    const auto* p = d.representations.empty()
                        ? nullptr
                        : dynamic_cast<const CEL_Pixmap*>(d.representations.front().get());
    return p ? p->width() : -1;
}

class LoaderThreads : public ::testing::Test {
protected:
    void SetUp() override {
        Async::stopService();
        deleteCELIO_ManagerInstance();
        qxCelAddPixmapHandler();
        gate = new GateHandler;
        CELIO_Manager::getInstance()->addHandler(gate);
        previous = B3D_Framework::setInstance(&framework);
        bytesBefore = CEL_PixmapAllocationCounter::allocatedSizeTotal();
        g_liveFunctors = 0;
        g_destroyedFunctors = 0;
    }
    // Every functor is gone and every pixmap freed once the answers are.
    void TearDown() override {
        Async::stopService();
        answers.all();
        EXPECT_EQ(g_liveFunctors.load(), 0);
        EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), bytesBefore);
        B3D_Framework::setInstance(previous);
        deleteCELIO_ManagerInstance();
    }

    // A file of the given width written through the manager: TGA, or SCAN with an information string.
    QString tga(const char* name, int width, const QString& info = {}) {
        const bool scan = !info.isNull();
        const QString path = dir.path(S(name));
        EXPECT_TRUE(CELIO_Manager::getInstance()->write(celtest::celOf(new CEL_PixmapRGBA8(width, 2)).get(),
                                                        path, S(scan ? "SCAN" : "TGA"),
                                                        S(scan ? "SCAN32" : "TGA4"), info));
        return path;
    }
    QString file(const char* name, const QByteArray& bytes = "x") {
        const QString path = dir.path(S(name));
        EXPECT_TRUE(celtest::writeFile(path, bytes));
        return path;
    }

    celtest::TempDir dir;
    GateHandler* gate = nullptr;
    CountingFramework framework;
    B3D_Framework* previous = nullptr;
    unsigned long long bytesBefore = 0;
    Answers answers;
    QXMessage::Capture quiet; // the manager's messages about failed reads
};

} // namespace

TEST_F(LoaderThreads, RefusedRequestsNeverCallBackAndTheServiceRestarts) {
    const QString good = tga("a.tga", 5);
    EXPECT_FALSE(Async::isRunning());
    EXPECT_FALSE(Async::read(good, recorder(answers, 1)));

    Async::startService(0); // running, but no worker takes requests
    EXPECT_TRUE(Async::isRunning());
    EXPECT_FALSE(Async::read(good, recorder(answers, 2)));
    Async::stopService();
    Async::stopService(); // the second does nothing

    Async::startService(2);
    Async::startService(5); // running already: nothing
    EXPECT_FALSE(Async::read(dir.path(S("a.xyz")), recorder(answers, 3)));
    EXPECT_FALSE(Async::read(dir.path(S("a.tga.xyz")), S("NOSUCH"), recorder(answers, 4)));
    EXPECT_FALSE(Async::read(S("noextension"), recorder(answers, 5)));
    EXPECT_TRUE(Async::read(good, recorder(answers, 6)));
    ASSERT_TRUE(answers.await(1));
    Async::stopService();
    EXPECT_FALSE(Async::read(good, recorder(answers, 7)));

    const auto all = answers.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_TRUE(all.begin()->first == 6 && widthOf(all.begin()->second.data) == 5);
    EXPECT_EQ(framework.threads.size(), 2u); // the restart's two workers; startService(0) starts none
}

// Requests from many threads at once, each answered once on a worker thread
// (each worker set up once) with its own file's pixels and string; failed
// reads answer empty; nothing leaks.
TEST_F(LoaderThreads, ManyProducersEachRequestAnsweredOnceOnAWorker) {
    struct Expected {
        QString path;
        int width;      // -1: a failed read
        QString string; // SCAN files only
    };
    std::vector<Expected> kinds;
    for (int i = 0; i < 4; ++i) {
        const QString text = QStringLiteral("take %1 of the scan").arg(i + 1);
        kinds.push_back({tga(QByteArray("s" + QByteArray::number(i) + ".scan").constData(), 10 + i, text),
                         10 + i, text + QChar(0)});
    }
    kinds.push_back({tga("good1.tga", 20), 20, {}});
    kinds.push_back({tga("good2.tga", 21), 21, {}});
    QByteArray corrupt = celtest::readFile(tga("bad.tga", 9));
    corrupt[16] = 7; // an unsupported depth
    kinds.push_back({file("corrupt.tga", corrupt), -1, {}});
    kinds.push_back({dir.path(S("missing.tga")), -1, {}});

    constexpr int kProducers = 8, kEach = 24, kAll = kProducers * kEach;
    Async::startService(3);
    // From this thread: a context that must reach the handler, and a hint the
    // manager ignores (it reads by the extension: there is no DAT handler).
    const CEL_Context layered(false, false, false, nullptr, 3, S("ink/line"), 1.0);
    ASSERT_TRUE(Async::read(kinds[4].path, layered, QString(), recorder(answers, kAll)));
    ASSERT_TRUE(Async::read(file("tga-bytes.dat", celtest::readFile(kinds[4].path)), S("tga"),
                            recorder(answers, kAll + 1)));
    ASSERT_TRUE(Async::read(kinds[4].path, UT_SharedPtr<Async::CallbackFunctor>())); // queued, never read
    std::vector<std::thread> producers;
    std::atomic<int> refused{0};
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&, p] {
            for (int k = 0; k < kEach; ++k) {
                const int id = p * kEach + k;
                if (!Async::read(kinds[id % kinds.size()].path, recorder(answers, id))) ++refused;
            }
        });
    for (auto& t : producers) t.join();
    ASSERT_TRUE(answers.await(kAll + 2));
    Async::stopService();

    EXPECT_EQ(refused.load(), 0);
    auto all = answers.all();
    ASSERT_EQ(all.size(), size_t(kAll + 2));
    std::set<std::thread::id> workers(framework.threads.begin(), framework.threads.end());
    EXPECT_TRUE(framework.threads.size() == 3u && workers.size() == 3u); // each set up once
    for (const auto& [id, a] : all) EXPECT_TRUE(workers.count(a.thread)) << id;
    const Async::CallbackData& ok = all.find(kAll)->second.data;
    EXPECT_TRUE(ok.context.layerPath() == S("ink/line") && ok.context.animationFrame() == 3 &&
                widthOf(ok) == 20);
    EXPECT_EQ(ok.modified, QFileInfo(kinds[4].path).lastModified().toUTC());
    expectEmpty(all.find(kAll + 1)->second.data);
    EXPECT_TRUE(quiet.contains(QStringLiteral("file does not exists (%1)").arg(kinds[7].path)));
    for (int id = 0; id < kAll; ++id) {
        ASSERT_EQ(all.count(id), 1u) << id;
        const Expected& e = kinds[id % kinds.size()];
        const Async::CallbackData& d = all.find(id)->second.data;
        if (e.width < 0) {
            expectEmpty(d);
            continue;
        }
        EXPECT_TRUE(d.path == e.path && widthOf(d) == e.width) << qPrintable(e.path);
        EXPECT_TRUE(d.infoString == e.string && d.infoString.isNull() == e.string.isNull())
            << qPrintable(e.path);
    }
}

TEST_F(LoaderThreads, ReadsRacingStartsAndStopsNeverTouchAStoppedLoader) {
    const QString path = tga("race.tga", 3);
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0}, next{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p)
        producers.emplace_back([&] {
            while (!done) accepted += Async::read(path, recorder(answers, next++));
        });
    for (int round = 0; round < 20; ++round) {
        Async::startService(2);
        while (accepted < 5 * (round + 1)) std::this_thread::yield(); // some requests in each round
        Async::stopService();
    }
    done = true;
    for (auto& t : producers) t.join();

    // Every answer belongs to an accepted request, none twice; every functor is freed once.
    auto all = answers.all();
    EXPECT_LE(all.size(), size_t(accepted.load()));
    for (const auto& [id, a] : all) EXPECT_TRUE(all.count(id) == 1u && widthOf(a.data) == 3) << id;
    EXPECT_EQ(g_destroyedFunctors.load(), next.load());
}

TEST_F(LoaderThreads, ExceptionsFromTheReadOrTheFunctorAreContained) {
    const QString throws = file("throw.gate");
    const QString good = file("fine.gate");
    Async::startService(1); // one worker: it must survive both to answer the last request
    ASSERT_TRUE(Async::read(throws, recorder(answers, 1)));
    ASSERT_TRUE(Async::read(good, recorder(answers, 2, true)));
    ASSERT_TRUE(Async::read(good, recorder(answers, 3)));
    ASSERT_TRUE(answers.await(3));
    Async::stopService();

    const auto all = answers.all();
    expectEmpty(all.find(1)->second.data);
    EXPECT_TRUE(widthOf(all.find(2)->second.data) == 64 && widthOf(all.find(3)->second.data) == 64);
}

TEST_F(LoaderThreads, StopWithRequestsInFlightAndQueued) {
    const QString path = file("frame.gate");
    gate->setOpen(false);
    Async::startService(2);
    constexpr int kRequests = 102;
    for (int id = 0; id < kRequests; ++id) ASSERT_TRUE(Async::read(path, recorder(answers, id)));
    gate->awaitEntered(2); // both workers are inside a read, 100 requests wait

    std::thread stopper([] { Async::stopService(); });
    while (Async::isRunning()) std::this_thread::yield(); // the stop flag is set once it says so
    gate->setOpen(true);
    stopper.join();

    // The two reads in flight answer; each worker may take one more queued
    // request before it sees the stop; the rest die unanswered.
    auto all = answers.all();
    EXPECT_TRUE(all.size() >= 2u && all.size() <= 4u) << all.size();
    for (const auto& [id, a] : all) EXPECT_TRUE(all.count(id) == 1u && widthOf(a.data) == 64) << id;
    EXPECT_EQ(g_destroyedFunctors.load(), kRequests);
}
