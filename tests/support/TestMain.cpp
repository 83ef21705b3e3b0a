// main() of every test executable: a QCoreApplication exists for Qt's plug-ins
// and translations, as in a real host.
#include <QCoreApplication>
#include <gtest/gtest.h>

#include "base/TsanSuppressionsDetail.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
