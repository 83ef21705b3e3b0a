// One manager, eight threads reading files of every format and code, from
// files and memory: every read gives exactly the pixels of a lone read.
#include <QDateTime>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "FuzzExercise.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

// The pixel bytes of a canvas pixmap (of other kinds, the size).
QByteArray pixelBytes(const CEL_Representation* rep) {
    const auto* pm = dynamic_cast<const CEL_Pixmap*>(rep);
    if (!pm) return {};
    const qsizetype n = qsizetype(pm->width()) * pm->height();
    if (auto* a = dynamic_cast<const CEL_PixmapRGBA8*>(rep)) return QByteArray((const char*)a->data(), 4 * n);
    if (auto* b = dynamic_cast<const CEL_PixmapRGBA16*>(rep))
        return QByteArray((const char*)b->data(), 8 * n);
    if (auto* c = dynamic_cast<const CEL_PixmapMatte8*>(rep)) return QByteArray((const char*)c->data(), n);
    if (auto* d = dynamic_cast<const CEL_PixmapMatte16*>(rep))
        return QByteArray((const char*)d->data(), 2 * n);
    return QByteArray::number(pm->width()) + 'x' + QByteArray::number(pm->height());
}

struct Sample {
    const CELIO_Handler* handler;
    QString path;
    QByteArray file;   // its bytes, for the reads from memory
    QByteArray pixels; // what one thread read
};

} // namespace

TEST(ReadThreads, EightThreadsReadEveryFormatExactly) {
    celfuzz::setUp();
    celtest::TempDir dir;
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    auto* p = new CEL_PixmapRGBA8(23, 14);
    for (int i = 0; i < 23 * 14; ++i)
        p->data()[i] =
            CEL_PixelRGBA8{uint8_t(i * 7), uint8_t(i / 3), uint8_t(255 - i), uint8_t(i % 5 ? 255 : 128)};
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(p->getFormat()));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));

    std::vector<Sample> samples;
    for (const CELIO_Handler* h : celfuzz::handlers()) {
        if (h->getWriteExtensions().isEmpty()) continue;
        QStringList codes = h->getWriteOptionCodes();
        if (codes.isEmpty()) codes << QString();
        for (const QString& code : codes) {
            const QString path =
                dir.path(QStringLiteral("t%1.%2").arg(samples.size()).arg(h->getWriteExtensions().front()));
            QDateTime modified;
            CELIO_RepresentationList list;
            try {
                if (!manager->write(cel.get(), path, h->getExtensions().front(), code) ||
                    !manager->read(path, modified, list))
                    continue;
            } catch (int) {
                continue;
            }
            samples.push_back({h, path, celtest::readFile(path), pixelBytes(list.front().get())});
        }
    }
    ASSERT_GE(samples.size(), celfuzz::handlers().size());

    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 200; ++n) {
                const Sample& s = samples[size_t(n * 8 + t) % samples.size()];
                CELIO_RepresentationList list;
                bool ok;
                if (n % 2) {
                    const CELIO_MemoryFile file(s.file.constData(), size_t(s.file.size()),
                                                QStringLiteral("m.") + celfuzz::nameOf(*s.handler));
                    CELIO_Info info;
                    manager->loadInfo(file, CEL_Context(), info);
                    ok = manager->read(file, CEL_Context(), list);
                } else {
                    QDateTime modified;
                    CELIO_Info info;
                    manager->loadInfo(s.path, modified, CEL_Context(), info);
                    ok = manager->read(s.path, modified, CEL_Context(), list);
                }
                if (!ok || pixelBytes(list.front().get()) != s.pixels) ++mismatches;
            }
        });
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}
