// The render cache under load: threads sharing one cache, processes sharing one
// path, one killed mid-write (the threaded test also runs under the thread sanitizer).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ProxyTestUtil.h"
#include "cel/Proxy.h"
#include "celio/handlers/RawHandlers.h"
#include "support/TestSupport.h"

using R = CEL_Representation;

TEST(ProxyThreads, EightThreadsShareASmallCache) {
    celtest::TempDir dir;
    CEL_ProxyManager proxies(dir.root() + QStringLiteral(";1"));
    const QString folder = proxies.cacheLocationManager().locations()[0]->directory();
    constexpr int kThreads = 8, kCels = 200, kRounds = 3;
    const Math::Box2di canvas(-3, -2, 64, 64), allocated(0, 0, 48, 48); // 18 KiB a file: about 55 fit
    std::vector<UT_SharedPtr<CEL_Cel>> cels;
    for (int i = 0; i < kCels; ++i) cels.push_back(celtest::areaCel(canvas, allocated, i));
    const auto shared = celtest::areaCel(canvas, allocated, 1000);

    std::atomic<int> proxied{0}, refused{0}, overCapacity{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                for (int i = t; i < kCels; i += kThreads) {
                    CEL_Cel& cel = *cels[size_t(i)];
                    if (proxies.toProxy(cel)) {
                        ++proxied;
                        if (celtest::folderBytes(folder) > (1 << 20)) ++overCapacity;
                        if (cel.repCount() != 1) ++wrong;
                    } else {
                        ++refused;
                    }
                    // Every other cel comes back and gives up its file; the rest keep theirs.
                    if ((i + round) % 2 == 0) {
                        if (cel.findRepresentation(R::PROXY) && !proxies.fromProxy(cel)) ++wrong;
                        if (!celtest::holdsSeededArea(cel.convertTo(R::PIXMAP_AREA_RGBA16).get(), canvas,
                                                      allocated, i))
                            ++wrong;
                        cel.removeRepresentation(R::PROXY);
                    }
                    // One cel moved to disk and back by everyone at once.
                    if (i % 3 == 0 ? !proxies.toProxy(*shared) : !proxies.fromProxy(*shared)) continue;
                    const UT_SharedPtr<R> back = shared->convertTo(R::PIXMAP_AREA_RGBA16);
                    if (back && !celtest::holdsSeededArea(back.get(), canvas, allocated, 1000)) ++wrong;
                }
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load() + overCapacity.load(), 0);
    EXPECT_TRUE(proxied.load() > 0 && refused.load() > 0) << "the cache was full at times";

    // Every cel still restores exactly, and freeing the proxies empties the folder.
    for (int i = 0; i < kCels; ++i) {
        EXPECT_TRUE(celtest::holdsSeededArea(cels[size_t(i)]->convertTo(R::PIXMAP_AREA_RGBA16).get(), canvas,
                                             allocated, i));
        cels[size_t(i)]->removeRepresentation(R::PROXY);
    }
    shared->removeRepresentation(R::PROXY);
    EXPECT_TRUE(celtest::fileNames(folder).isEmpty() &&
                proxies.cacheLocationManager().locations()[0]->reservedBytes() == 0);
}

// Processes on one cache path each keep to their own folder (named by its
// process); one killed mid-write leaves no proxy file that reads wrong, and
// clearing the path removes its folder and nothing else.
TEST(ProxyProcesses, SharedPathAndAKilledWriter) {
    celtest::TempDir dir;
    const QString path = dir.root();
    CEL_ProxyManager mine(path + QStringLiteral(";100"));
    const QString myFolder = mine.cacheLocationManager().locations()[0]->directory();
    const Math::Box2di canvas(0, 0, 32, 32);
    const auto kept = celtest::areaCel(canvas, canvas, 77);
    ASSERT_TRUE(mine.toProxy(*kept));

    int status = 0;
    // A child that writes large files until it is killed.
    const pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        CEL_ProxyManager theirs(path + QStringLiteral(";100"));
        const Math::Box2di big(0, 0, 1024, 1024);
        std::vector<UT_SharedPtr<CEL_Cel>> held;
        for (int i = 0;; ++i) {
            held.push_back(celtest::areaCel(big, big, i));
            theirs.toProxy(*held.back());
            if (held.size() > 3) held.erase(held.begin());
        }
    }
    const QString folder = path + QStringLiteral("/CelCache-%1").arg(writer);
    bool sawPart = false;
    for (int i = 0; i < 20000 && !sawPart; ++i) {
        for (const QString& name : celtest::fileNames(folder))
            sawPart = sawPart || name.endsWith(QStringLiteral(".part"));
        if (!sawPart) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(writer, SIGKILL);
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    ASSERT_TRUE(sawPart);

    // Whatever carries a proxy's name is whole.
    const CELIO_UioRawPixMapHandler dat;
    for (const QString& name : celtest::fileNames(folder)) {
        if (!name.endsWith(QStringLiteral(".dat"))) continue;
        SCOPED_TRACE(name.toStdString());
        UT_SharedPtr<R> rep;
        ASSERT_TRUE(dat.read(rep, folder + QLatin1Char('/') + name));
        const int seed = name.mid(6, 4).toInt() - 1000;
        EXPECT_TRUE(celtest::holdsSeededArea(rep.get(), Math::Box2di(0, 0, 1024, 1024),
                                             Math::Box2di(0, 0, 1024, 1024), seed));
    }

    // Only the dead writer's folder is stale; clearing removes it and its lock.
    const auto folders = CEL_CacheLocationManager::inspect(path);
    ASSERT_EQ(folders.size(), 2u);
    long long staleBytes = -1;
    for (const auto& f : folders) {
        EXPECT_EQ(f.live, f.path == myFolder);
        if (!f.live) staleBytes = f.bytes;
    }
    std::vector<CEL_CacheLocationManager::FolderInfo> removed;
    EXPECT_EQ(CEL_CacheLocationManager::clearStale(path, true, &removed), staleBytes);
    EXPECT_TRUE(QFileInfo::exists(folder)) << "a dry run";
    EXPECT_EQ(CEL_CacheLocationManager::clearStale(path, false), staleBytes);
    EXPECT_FALSE(QFileInfo::exists(folder) || QFileInfo::exists(folder + QStringLiteral(".lock")));
    EXPECT_TRUE(celtest::holdsSeededArea(kept->convertTo(R::PIXMAP_AREA_RGBA16).get(), canvas, canvas, 77));
}
