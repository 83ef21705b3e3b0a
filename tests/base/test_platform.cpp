#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/Mutex.h"
#include "base/Platform.h"
#include "base/QXMaths.h"
#include "base/SharedPtr.h"

// Path remapping is checked where files are opened (byte target, stream handler).
TEST(Platform, RoundingAndLocksAcrossThreads) {
    EXPECT_TRUE(oswUtil::getTempDir().endsWith(QLatin1Char('/')));
    EXPECT_TRUE(QXMaths::ifloor(-0.5) == -1 && QXMaths::iceiling(-0.5) == 0); // not truncation

    PL_RecursiveMutex m;
    PL_RecursiveMutex::ScopeLock a(m), b(m); // the same thread again must not block
    PL_SpinMutex spin;
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                PL_SpinMutex::ScopeLock l(spin);
                ++counter;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 40000);
}

namespace {

std::atomic<int> g_alive{0};

struct Counted : UT_ShareBaseSafe {
    Counted() { ++g_alive; }
    ~Counted() override { --g_alive; }
};

} // namespace

TEST(SharedPtr, CountsAcrossThreadsAndDestroysOnLastRelease) {
    auto* raw = new Counted;
    EXPECT_EQ(raw->refCount(), 0u); // a fresh object is unowned
    UT_SharedPtr<Counted> root(raw), copy = root, moved = std::move(copy);
    EXPECT_TRUE(raw->refCount() == 2u && !copy);
    moved.reset();
    root = root; // self-assignment keeps the object
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([root] {
            for (int i = 0; i < 20000; ++i) UT_SharedPtr<Counted>(UT_SharedPtr<Counted>(root)).reset();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(root->refCount(), 1u);
    root.reset();
    // Many holders released from many threads: exactly one deletes.
    for (int round = 0; round < 50; ++round) {
        std::vector<UT_SharedPtr<Counted>> holders(8, UT_SharedPtr<Counted>(new Counted));
        std::vector<std::thread> ts;
        for (auto& h : holders) ts.emplace_back([&h] { h.reset(); });
        for (auto& t : ts) t.join();
        ASSERT_EQ(g_alive.load(), 0);
    }
}
