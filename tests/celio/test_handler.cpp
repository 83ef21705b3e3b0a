#include <gtest/gtest.h>

#include "CelioTestHandlers.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "support/TestSupport.h"

TEST(CelioStreamHandler, ReadsRemappedFilesAndAddsNothingOnFailure) {
    celtest::TempDir dir;
    const TestRawHandler h;
    const CEL_Context context;
    CELIO_RepresentationList list;
    ASSERT_TRUE(
        celtest::writeFile(dir.path(QStringLiteral("real.crw")), QByteArray("CRW1\2\0\1\0\1\x2a\x07", 11)));
    oswRemapPath::setRemapFunction([&](const QString& p) {
        return p.endsWith(QLatin1String("alias.crw")) ? dir.path(QStringLiteral("real.crw")) : p;
    });
    const bool ok = h.read(QStringLiteral("/nowhere/alias.crw"), context, list);
    oswRemapPath::setRemapFunction({});
    ASSERT_TRUE(ok);
    ASSERT_EQ(list.size(), 1u);
    const auto* matte = dynamic_cast<const CEL_PixmapMatte8*>(list.front().get());
    ASSERT_TRUE(matte);
    EXPECT_EQ(matte->data()[1], 0x07);

    EXPECT_FALSE(h.read(dir.path(QStringLiteral("missing.crw")), context, list));
    ASSERT_TRUE(
        celtest::writeFile(dir.path(QStringLiteral("short.crw")), QByteArray("CRW1\2\0\1\0\1\x2a", 10)));
    EXPECT_FALSE(h.read(dir.path(QStringLiteral("short.crw")), context, list));
    EXPECT_EQ(list.size(), 1u);
}
