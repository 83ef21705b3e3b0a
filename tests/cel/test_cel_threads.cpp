// Threads convert and edit cels at once (also run under the thread sanitizer).

#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

using R = CEL_Representation;
using RepPtr = UT_SharedPtr<CEL_Representation>;

static RepPtr picture(int size, int seed) {
    auto* p = new CEL_PixmapRGBA8(size, size);
    for (int i = 0; i < size; ++i) *p->pixel(i, (i * seed) % size) = CEL_PixelRGBA8{uint8_t(i), 10, 20, 255};
    return RepPtr(p);
}

TEST(CelThreads, ConvertEditAndMessageConcurrently) {
    constexpr int kThreads = 6, kRounds = 150;
    const R::CelFormat formats[] = {R::PIXMAP_AREA_RGBA16, R::PIXMAP_RGBA16, R::PIXMAP_MATTE8};
    const UT_DynKey keys[4];
    UT_SharedPtr<CEL_Cel> shared(new CEL_Cel(R::PIXMAP_RGBA8)), edited(new CEL_Cel(R::PIXMAP_RGBA16));
    shared->addRepresentation(picture(48, 7));
    edited->addRepresentation(RepPtr(new CEL_PixmapRGBA16(16, 16)));

    std::vector<std::vector<std::pair<R::CelFormat, const R*>>> seen(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const R::CelFormat f = formats[(i + t) % 3];
                RepPtr rep = shared->convertTo(f);
                if (!rep || rep->getFormat() != f) ++failures[t];
                seen[t].emplace_back(f, rep.get());

                CEL_Cel own(R::PIXMAP_RGBA8);
                own.addRepresentation(picture(16, t + i));
                if (!own.convertTo(R::PIXMAP_AREA_RGBA16) || own.repCount() != 2) ++failures[t];

                edited->addRepresentation(picture(8, i));
                edited->convertTo(R::PIXMAP_AREA_RGBA16);
                edited->findBestPixmapRepresentation();
                if (i % 3 == 0) edited->removeRepresentation(R::PIXMAP_RGBA8);
                if (i % 5 == 0) edited->removeRepresentation(R::PIXMAP_AREA_RGBA16);
                if (i % 17 == 0)
                    UT_SharedPtr<CEL_Cel>(edited->getImpl()->shallowCopy())->convertTo(R::PIXMAP_RGBA8);

                edited->addMessage(keys[i % 4], new CEL_DynMessage);
                edited->findMessage(keys[(i + 1) % 4]);
                if (i % 7 == 0) edited->addMessage(keys[i % 4], nullptr);
                // Both directions at once: must not dead-lock.
                (t % 2 ? shared : edited)->copyMessagesFrom((t % 2 ? edited : shared).get());
                shared->setBlankImage(shared->realFormat() == R::NONE);
            }
        });
    }
    for (auto& th : threads) th.join();

    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        for (auto [f, rep] : seen[t]) ASSERT_EQ(rep, shared->findRepresentation(f).get()) << "thread " << t;
    }
    EXPECT_EQ(shared->repCount(), 4) << "one representation per format";
}
