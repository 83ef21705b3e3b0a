// Every input that ever crashed, hung or leaked a reader, kept under
// tests/data/fuzz-regressions/<ext>/, replayed from memory and from a file:
// no crash, and no allocation beyond what the harness's pixmap cap allows.
#include <QDir>
#include <gtest/gtest.h>

#include "AllocationTracker.h"
#include "FuzzExercise.h"
#include "celio/Handler.h"
#include "support/TestSupport.h"

TEST(FuzzRegressions, EveryKeptInputReadsOrFailsCleanly) {
    celfuzz::setUp();
    celtest::TempDir dir;
    const QDir root(celtest::dataPath(QStringLiteral("fuzz-regressions")));
    int replayed = 0;
    for (const QString& folder : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const CELIO_Handler* handler = celfuzz::handlerFor(folder);
        // A folder must name a registered handler, or its files would never run.
        ASSERT_NE(handler, nullptr) << "no handler for tests/data/fuzz-regressions/" << folder.toStdString();
        for (const QFileInfo& file : QDir(root.filePath(folder)).entryInfoList(QDir::Files)) {
            SCOPED_TRACE(qPrintable(folder + QLatin1Char('/') + file.fileName()));
            const QByteArray bytes = celtest::readFile(file.filePath());
            const QString copy = dir.path(QStringLiteral("replay.") + folder);
            ASSERT_TRUE(celtest::writeFile(copy, bytes));
            celtest::AllocationTracker::resetPeak();
            celfuzz::exerciseRead(*handler, reinterpret_cast<const uint8_t*>(bytes.constData()),
                                  size_t(bytes.size()));
            celfuzz::exerciseReadFile(*handler, copy);
            EXPECT_LT(celtest::AllocationTracker::peakGrowth(), int64_t(4 * celfuzz::PixmapCap));
            ++replayed;
        }
    }
    EXPECT_GT(replayed, 0);
}
