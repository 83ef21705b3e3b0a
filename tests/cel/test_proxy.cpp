// The render cache: cache path values, held folders, proxies and their bounds, failed writes.
#include <QDir>
#include <QFile>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "CelFakes.h"
#include "ProxyTestUtil.h"
#include "base/Message.h"
#include "cel/Proxy.h"
#include "celio/handlers/RawHandlers.h"
#include "support/TestSupport.h"

namespace {

using R = CEL_Representation;
using Spec = CEL_CachePathSpec;

struct CacheFixture : ::testing::Test {
    celtest::TempDir dir;
    QString a = dir.path(QStringLiteral("A")), b = dir.path(QStringLiteral("B")),
            tmp = dir.path(QStringLiteral("tmp"));
    celtest::TempDirOverride tempOverride{tmp};
    QString prefix = CEL_CacheLocationManager::threadPrefix();
    QString tempCache = tmp + QStringLiteral("/VellumixCelCacheTempDir/") + prefix;

    void SetUp() override {
        for (const QString& d : {a, b, tmp}) ASSERT_TRUE(QDir().mkpath(d));
    }
    static std::vector<std::pair<QString, int>> posted(const QXMessage::Capture& c) {
        std::vector<std::pair<QString, int>> out;
        for (const MSG_Record& r : c.records()) out.emplace_back(r.source, r.action);
        return out;
    }
    static QString errors(const QString& lines) {
        return QStringLiteral("\nError(s) detected while processing QAV_CACHE_PATH environment variable:\n") +
               lines;
    }
    static QString invalid(const QString& value) {
        return QStringLiteral(
                   "Invalid render cache path <%1>, attempting to use application temporary directory\n")
            .arg(value);
    }
};

using CachePath = CacheFixture;
using Proxy = CacheFixture;

} // namespace

TEST_F(CachePath, ValuesAreReadWithoutCreatingAnything) {
    const Spec two =
        CEL_CacheLocationManager::parseCachePath(a + QStringLiteral(" ; 500; ") + b + QStringLiteral(";100"));
    ASSERT_TRUE(two.errors.isEmpty() && two.entries.size() == 2u);
    EXPECT_EQ(std::pair(two.entries[1].path, two.entries[1].megabytes), std::pair(b, 100LL));
    EXPECT_TRUE(QDir(a).isEmpty());

    // Every problem is listed, in order, and no entry is kept; 2^43 - 1 MB is
    // the largest capacity whose byte count fits in 64 bits.
    const Spec bad = CEL_CacheLocationManager::parseCachePath(
        QStringLiteral("/no/such;5;;x;%1;-3;%1;99999999999999999999;%1;8796093022208;%1;8796093022207")
            .arg(a));
    EXPECT_EQ(bad.errors,
              (QStringList{QStringLiteral("Path \"/no/such\" does not exists"),
                           QStringLiteral("Path #2 is missing"), QStringLiteral("Capacity \"x\" is invalid"),
                           QStringLiteral("Capacity \"-3\" is invalid"),
                           QStringLiteral("Capacity \"99999999999999999999\" is invalid"),
                           QStringLiteral("Capacity \"8796093022208\" is invalid")}));
    EXPECT_TRUE(bad.entries.empty());
    EXPECT_EQ(CEL_CacheLocationManager::parseCachePath(a + QStringLiteral(";8796093022207"))
                  .entries.at(0)
                  .megabytes,
              8796093022207LL);
}

TEST_F(CachePath, LocationsMessagesAndTheFallback) {
    {
        QXMessage::Capture messages;
        CEL_CacheLocationManager two(a + QStringLiteral(" ; 500; ") + b + QStringLiteral(";100"));
        ASSERT_TRUE(messages.records().empty() && two.locations().size() == 2u);
        EXPECT_EQ(two.locations()[1]->directory(), b + QLatin1Char('/') + prefix);
        EXPECT_EQ(two.locations()[1]->capacity(), 100LL << 20);
        EXPECT_TRUE(QFile::exists(a + QLatin1Char('/') + prefix + QStringLiteral(".lock")));
        // Reservations go to the first location with room.
        std::unique_ptr<CEL_CacheLocationAccess> first(two.reserve(450LL << 20)),
            second(two.reserve(60LL << 20));
        ASSERT_TRUE(first && second);
        EXPECT_TRUE(first->location() == two.locations()[0].get() &&
                    second->location() == two.locations()[1].get());
        EXPECT_EQ(two.reserve(51LL << 20), nullptr);
        std::unique_ptr<CEL_CacheLocationAccess> rest(two.reserve(50LL << 20));
        EXPECT_TRUE(rest && rest->location() == two.locations()[0].get());
    }
    // The folders and their locks went with the manager.
    EXPECT_EQ(QDir(a).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    const auto fallsBack = [&](const QString& value, const std::vector<std::pair<QString, int>>& want) {
        SCOPED_TRACE(value.toStdString());
        QXMessage::Capture messages;
        CEL_CacheLocationManager m(value);
        EXPECT_EQ(posted(messages), want);
        ASSERT_EQ(m.locations().size(), 1u);
        EXPECT_TRUE(m.locations()[0]->directory() == tempCache && m.locations()[0]->capacity() == 2147483647LL
                                                                                                      << 20);
    };
    fallsBack(a + QStringLiteral(";abc"), {{errors(QStringLiteral("Capacity \"abc\" is invalid")), 5},
                                           {invalid(a + QStringLiteral(";abc")), 0}});
    fallsBack(a, {{errors(QStringLiteral("Capacity #1 is missing")), 5}, {invalid(a), 0}});
    fallsBack(QStringLiteral("ab"), {});
    // A file where a folder should be (root ignores permission bits, files do not).
    const QString file = dir.path(QStringLiteral("plain-file"));
    ASSERT_TRUE(celtest::writeFile(file, "x"));
    fallsBack(
        file + QStringLiteral(";10"),
        {{QStringLiteral(
              "CEL_CacheLocationManager::createCacheLocationFromList : Directory \"%1/%2\" could not be "
              "created")
              .arg(file, prefix),
          5},
         {invalid(file + QStringLiteral(";10")), 0}});

    // Capacity 0 is a location that holds nothing.
    CEL_CacheLocationManager zero(a + QStringLiteral(";0"));
    EXPECT_TRUE(zero.locations().size() == 1u && zero.reserve(1) == nullptr);
}

TEST_F(CachePath, NoUsableTemporaryFolderLeavesNoLocation) {
    const QString file = dir.path(QStringLiteral("not-a-folder"));
    ASSERT_TRUE(celtest::writeFile(file, "x"));
    celtest::TempDirOverride badTemp(file);
    QXMessage::Capture messages;
    CEL_ProxyManager proxies(QStringLiteral("ab"));
    EXPECT_TRUE(proxies.cacheLocationManager().locations().empty());
    EXPECT_EQ(posted(messages),
              (std::vector<std::pair<QString, int>>{
                  {QStringLiteral(
                       "Could not use application temporary directory as render cache. Render caching is not "
                       "functionnal\n"),
                   2}}));
    const auto cel = celtest::areaCel(Math::Box2di(0, 0, 4, 4), Math::Box2di(0, 0, 4, 4), 1);
    EXPECT_FALSE(proxies.toProxy(*cel));
    EXPECT_EQ(cel->repCount(), 1);
}

// A folder left behind is cleared and reused; one whose lock is held (another
// manager's) is left alone and dropped.
TEST_F(CachePath, HeldFoldersAreNeverCleared) {
    const QString folder = a + QLatin1Char('/') + prefix;
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(celtest::writeFile(folder + QStringLiteral("/proxy-1000.dat.part"), "left by a crash"));
    CEL_CacheLocationManager first(a + QStringLiteral(";1"));
    ASSERT_TRUE(first.locations().size() == 1u && celtest::fileNames(folder).isEmpty());
    ASSERT_TRUE(celtest::writeFile(folder + QStringLiteral("/mine"), "x"));

    QXMessage::Capture messages;
    CEL_CacheLocationManager second(a + QStringLiteral(";1")); // same thread, same name
    EXPECT_EQ(posted(messages)[0],
              std::pair(QStringLiteral("\nCould not clear directory: \"%1\"\n").arg(folder), 5));
    EXPECT_TRUE(second.locations().size() == 1u && second.locations()[0]->directory() == tempCache);
    EXPECT_EQ(celtest::fileNames(folder), QStringList{QStringLiteral("mine")});

    // Tools see it as live; only stale folders are cleared.
    const auto seen = CEL_CacheLocationManager::inspect(a);
    EXPECT_TRUE(seen.size() == 1u && seen[0].live && seen[0].files == 1);
    EXPECT_EQ(CEL_CacheLocationManager::clearStale(a, false), 0);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/mine")));
}

TEST_F(Proxy, CelsMoveToFilesAndBack) {
    CEL_ProxyManager proxies(a + QStringLiteral(";10"));
    const QString folder = a + QLatin1Char('/') + prefix;
    const Math::Box2di canvas(-10, -10, 100, 100), allocated(0, 0, 50, 20);
    const auto first = celtest::areaCel(canvas, allocated, 3);
    auto* canvasPixmap = new CEL_PixmapRGBA16(6, 5);
    for (int i = 0; i < 30; ++i) canvasPixmap->data()[i] = celtest::cachePixel(i, 9);
    UT_SharedPtr<CEL_Cel> second(new CEL_Cel(R::PIXMAP_RGBA16));
    second->addRepresentation(UT_SharedPtr<R>(canvasPixmap));
    second->convertTo(R::PIXMAP_RGBA8); // dropped with the move

    ASSERT_TRUE(proxies.toProxy(*first));
    ASSERT_TRUE(proxies.toProxy(*second));
    EXPECT_EQ(celtest::fileNames(folder),
              (QStringList{QStringLiteral("proxy-1000.dat"), QStringLiteral("proxy-1001.dat")}));
    EXPECT_EQ(QFileInfo(folder + QStringLiteral("/proxy-1000.dat")).size(), 56 + 1000 * 8);
    EXPECT_EQ(proxies.cacheLocationManager().locations()[0]->reservedBytes(), 56 + 1000 * 8 + 56 + 30 * 8);

    // Only the proxy stays, holding what it needs to describe the pixmap.
    const auto* proxy = dynamic_cast<const CEL_Proxy*>(first->findRepresentation(R::PROXY).get());
    ASSERT_TRUE(proxy && first->repCount() == 1 && first->realFormat() == R::PROXY);
    EXPECT_EQ(std::tuple(proxy->sourceFormat(), proxy->canvasRect(), proxy->allocatedRect(), proxy->size()),
              std::tuple(R::PIXMAP_AREA_RGBA16, canvas, allocated, Math::Size2di(100, 100)));
    EXPECT_EQ(second->repCount(), 1);

    // Asking for pixels reads the file; the proxy stays.
    EXPECT_TRUE(
        celtest::holdsSeededArea(first->convertTo(R::PIXMAP_AREA_RGBA16).get(), canvas, allocated, 3) &&
        first->repCount() == 2);
    EXPECT_TRUE(second->convertTo(R::PIXMAP_RGBA8)); // through the 16-bit canvas pixmap
    const auto* back16 =
        dynamic_cast<const CEL_PixmapRGBA16*>(second->findRepresentation(R::PIXMAP_RGBA16).get());
    ASSERT_TRUE(back16);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(back16->data()[i], celtest::cachePixel(i, 9)) << i;

    // Proxying again only drops what was loaded; fromProxy loads it once more.
    ASSERT_TRUE(proxies.toProxy(*first) && celtest::fileNames(folder).size() == 2);
    ASSERT_TRUE(proxies.fromProxy(*first));
    EXPECT_TRUE(celtest::holdsSeededArea(first->findRepresentation(R::PIXMAP_AREA_RGBA16).get(), canvas,
                                         allocated, 3));

    // A proxy that dies deletes its file and returns its bytes.
    first->removeRepresentation(R::PROXY);
    EXPECT_EQ(celtest::fileNames(folder), QStringList{QStringLiteral("proxy-1001.dat")});
    EXPECT_EQ(proxies.cacheLocationManager().locations()[0]->reservedBytes(), 56 + 30 * 8);
    EXPECT_FALSE(proxies.fromProxy(*first)); // no proxy any more
}

TEST_F(Proxy, WhatCannotBeProxiedStaysAndVectorCelsKeepTheirDrawing) {
    CEL_ProxyManager proxies(a + QStringLiteral(";1"));
    // 8-bit pixels only, a depth buffer, a blank image: not proxied.
    UT_SharedPtr<CEL_Cel> rgba8(new CEL_Cel(R::PIXMAP_RGBA8));
    rgba8->addRepresentation(UT_SharedPtr<R>(new CEL_PixmapRGBA8(8, 8)));
    EXPECT_TRUE(!proxies.toProxy(*rgba8) && rgba8->repCount() == 1);
    const auto withDepth = celtest::areaCel(Math::Box2di(0, 0, 8, 8), Math::Box2di(0, 0, 8, 8), 1);
    withDepth->addRepresentation(UT_SharedPtr<R>(new CEL_PixmapAreaZ(8, 8)));
    EXPECT_TRUE(!proxies.toProxy(*withDepth) && withDepth->repCount() == 2);

    // The bound is exact: 56 + 8n bytes fit in 1 MiB for n = 131065, not for n + 1.
    const auto exact = celtest::areaCel(Math::Box2di(0, 0, 100, 3000), Math::Box2di(0, 0, 55, 2383), 2);
    const auto oneMore = celtest::areaCel(Math::Box2di(0, 0, 100, 3000), Math::Box2di(0, 0, 131066, 1), 2);
    EXPECT_TRUE(!proxies.toProxy(*oneMore) && oneMore->repCount() == 1) << "pixmaps kept";
    ASSERT_TRUE(proxies.toProxy(*exact));
    EXPECT_TRUE(proxies.cacheLocationManager().locations()[0]->freeBytes() == 0 &&
                celtest::folderBytes(a + QLatin1Char('/') + prefix) == 1 << 20);
    const auto tiny = celtest::areaCel(Math::Box2di(0, 0, 1, 1), Math::Box2di(0, 0, 1, 1), 2);
    EXPECT_FALSE(proxies.toProxy(*tiny));
    EXPECT_TRUE(celtest::holdsSeededArea(exact->convertTo(R::PIXMAP_AREA_RGBA16).get(),
                                         Math::Box2di(0, 0, 100, 3000), Math::Box2di(0, 0, 55, 2383), 2));
    exact->removeRepresentation(R::PROXY);

    // A cel drawn from a vector keeps its drawing beside the proxy.
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(R::VECTOR));
    cel->addRepresentation(UT_SharedPtr<R>(new celtest::FakeRep(R::VECTOR)));
    cel->addRepresentation(
        UT_SharedPtr<R>(celtest::seededArea(Math::Box2di(0, 0, 4, 4), Math::Box2di(0, 0, 4, 4), 5)));
    cel->addRepresentation(UT_SharedPtr<R>(new CEL_PixmapRGBA8(4, 4)));
    ASSERT_TRUE(proxies.toProxy(*cel));
    EXPECT_TRUE(cel->repCount() == 2 && cel->findRepresentation(R::PROXY) && cel->realFormat() == R::VECTOR);
}

// A write that fails (a full disk here) releases the space, leaves no file
// and keeps the cel's pixmaps. Run in a child whose file size is limited.
TEST_F(Proxy, FailedWritesLeaveNothingBehind) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        int failures = 0;
        {
            CEL_ProxyManager proxies(a + QStringLiteral(";10"));
            const QString folder = proxies.cacheLocationManager().locations()[0]->directory();
            const auto cel = celtest::areaCel(Math::Box2di(0, 0, 64, 64), Math::Box2di(0, 0, 64, 64), 4);
            failures += proxies.toProxy(*cel);
            failures += cel->repCount() != 1 || !cel->findRepresentation(R::PIXMAP_AREA_RGBA16);
            failures += !celtest::fileNames(folder).isEmpty();
            failures += proxies.cacheLocationManager().locations()[0]->reservedBytes() != 0;
            // Small files still go through.
            const auto small = celtest::areaCel(Math::Box2di(0, 0, 8, 8), Math::Box2di(0, 0, 8, 8), 4);
            failures += !proxies.toProxy(*small);
        }
        _exit(failures);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
