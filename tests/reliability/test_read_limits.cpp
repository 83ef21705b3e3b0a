// Limits before allocation: every registered reader meets small files whose
// headers claim huge images (tests/data/limits/<ext>/, written by
// make_limit_files.py there). Each must be refused with a message (the
// reader's own or the manager's), from memory and from a file, while the
// process's heap grows by less than 1 MiB.
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

// Refused, with a message, within the budget, with no pixmap left behind.
template <class Read> void expectRefused(Read&& read) {
    QXMessage::Capture messages;
    const unsigned long long pixmapsBefore = CEL_PixmapAllocationCounter::allocatedSizeTotal();
    celtest::AllocationTracker::resetPeak();
    EXPECT_FALSE(read());
    EXPECT_LT(celtest::AllocationTracker::peakGrowth(), kBudget);
    EXPECT_EQ(CEL_PixmapAllocationCounter::allocatedSizeTotal(), pixmapsBefore);
    EXPECT_FALSE(messages.records().empty());
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
        const QFileInfoList files =
            QDir(celtest::dataPath(QStringLiteral("limits/") + name)).entryInfoList(QDir::Files);
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

            expectRefused([&] {
                CELIO_Info info;
                manager->loadInfo(memory, CEL_Context(), info);
                CELIO_RepresentationList list;
                return manager->read(memory, CEL_Context(), list);
            });
            expectRefused([&] {
                QDateTime modified;
                CELIO_Info info;
                try {
                    manager->loadInfo(copy, modified, CEL_Context(), info);
                } catch (int) {
                }
                CELIO_RepresentationList list;
                return manager->read(copy, modified, list);
            });
        }
    }
    CEL_Pixmap::setMaxPixmapBytes(celfuzz::PixmapCap);
    EXPECT_TRUE(missing.isEmpty()) << "no claim files under tests/data/limits/ for: "
                                   << missing.join(QStringLiteral(", ")).toStdString();
}
