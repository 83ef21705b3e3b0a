// Limits before allocation: every registered reader meets small files whose
// headers claim huge images (tests/data/limits/<ext>/, one folder per handler,
// written by make_limit_files.py there): 100000 x 100000 where the format can
// say it, 65535 x 65535 at 16 bits, a width whose byte count overflows 32
// bits. Each must be refused with a message, from memory and from a file,
// while the process's heap grows by less than 1 MiB. The message is the
// reader's own where its format reports a refused size, else the manager's
// report of the failed read (formats such as OPT fail silently on a file that
// ends early).
#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

#include "AllocationTracker.h"
#include "FuzzExercise.h"
#include "base/Message.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "pixel/Representation.h"
#include "support/TestSupport.h"

namespace {

constexpr int64_t kBudget = int64_t(1) << 20;

struct Outcome {
    bool read = false;
    int64_t peak = 0;
    bool message = false;
};

template <class Read> Outcome measure(Read&& read) {
    QXMessage::Capture messages;
    const unsigned long long pixmapsBefore = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    celtest::AllocationTracker::resetPeak();
    Outcome o;
    o.read = read();
    o.peak = celtest::AllocationTracker::peakGrowth();
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), pixmapsBefore);
    o.message = !messages.records().empty();
    return o;
}

} // namespace

TEST(ReadLimits, HugeClaimsAreRefusedBeforeAllocating) {
    celfuzz::setUp();
    CEL_Pixmap::setMaxPixmapBytes(0); // the default cap: the claims alone must be refused
    ASSERT_TRUE(celtest::AllocationTracker::active());
    celtest::TempDir dir;
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    QStringList missing;
    for (const CELIO_Handler* handler : celfuzz::handlers()) {
        const QString name = celfuzz::nameOf(*handler);
        const QDir folder(celtest::dataPath(QStringLiteral("limits/") + name));
        const QFileInfoList files = folder.entryInfoList(QDir::Files);
        if (files.isEmpty()) missing << name;
        for (const QFileInfo& file : files) {
            // A format whose frames have one fixed size has no claim to refuse: its
            // folder holds only this note, saying why.
            if (file.fileName() == QLatin1String("no-size-field")) continue;
            SCOPED_TRACE(qPrintable(name + QLatin1Char('/') + file.fileName()));
            const QByteArray bytes = celtest::readFile(file.filePath());
            const QString copy = dir.path(QStringLiteral("claim.") + name);
            ASSERT_TRUE(celtest::writeFile(copy, bytes));
            const CELIO_MemoryFile memory(bytes.constData(), size_t(bytes.size()),
                                          QStringLiteral("claim.") + name);
            // Warm up first: plug-ins and tables loaded once are no cost of the read.
            celfuzz::exerciseRead(*handler, reinterpret_cast<const uint8_t*>(bytes.constData()),
                                  size_t(bytes.size()));

            const Outcome fromMemory = measure([&] {
                CELIO_Info info;
                manager->loadInfo(memory, CEL_Context(), info);
                CELIO_RepresentationList list;
                return manager->read(memory, CEL_Context(), list);
            });
            const Outcome fromFile = measure([&] {
                QDateTime modified;
                CELIO_Info info;
                try {
                    manager->loadInfo(copy, modified, CEL_Context(), info);
                } catch (int) {
                }
                CELIO_RepresentationList list;
                return manager->read(copy, modified, list);
            });
            for (const Outcome& o : {fromMemory, fromFile}) {
                EXPECT_FALSE(o.read);
                EXPECT_TRUE(o.message);
                EXPECT_LT(o.peak, kBudget);
            }
        }
    }
    CEL_Pixmap::setMaxPixmapBytes(celfuzz::PixmapCap);
    EXPECT_TRUE(missing.isEmpty()) << "no claim files under tests/data/limits/ for: "
                                   << missing.join(QStringLiteral(", ")).toStdString();
}
