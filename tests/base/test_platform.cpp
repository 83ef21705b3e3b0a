#include <gtest/gtest.h>

#include <thread>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/Mutex.h"
#include "base/Platform.h"
#include "base/QXMaths.h"
#include "support/TestSupport.h"

TEST(Message, PostsToCapturingSinkWithArgs) {
    QXMessage::Capture capture;
    MSG_Scope msg("CELIO_Manager", "unable to read %1 (%2)", 2);
    msg.text().arg(QStringLiteral("a.tga")).arg(7);
    msg.post(10);
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, QStringLiteral("unable to read a.tga (7)"));
    EXPECT_EQ(records[0].translated, QStringLiteral("unable to read a.tga (7)"));
    EXPECT_EQ(records[0].action, 2);
    EXPECT_EQ(records[0].code, 10);
    // A text without placeholders is posted as it stands, line feed included.
    MSG_Scope("qxcelio", "done\n", 0).arg(5).post();
    EXPECT_TRUE(capture.contains(QStringLiteral("done\n")));
}

TEST(Message, NestedCapturesRestoreThePreviousSink) {
    QXMessage::Capture outer;
    {
        QXMessage::Capture inner;
        MSG_Scope("x", "inner", 0).post(1);
        EXPECT_EQ(inner.texts(), QStringList{QStringLiteral("inner")});
    }
    MSG_Scope("x", "outer", 0).post(1);
    EXPECT_EQ(outer.texts(), QStringList{QStringLiteral("outer")});
}

TEST(Platform, RemapAndIdentity) {
    EXPECT_EQ(oswRemapPath::RemapPath2(QStringLiteral("/a/b")), QStringLiteral("/a/b"));
    oswRemapPath::setRemapFunction([](const QString& p) { return QStringLiteral("/mnt") + p; });
    EXPECT_EQ(oswRemapPath::RemapPath2(QStringLiteral("/a/b")), QStringLiteral("/mnt/a/b"));
    oswRemapPath::setRemapFunction({});
    EXPECT_EQ(oswRemapPath::RemapPath2(QStringLiteral("/a/b")), QStringLiteral("/a/b"));
    EXPECT_TRUE(oswUtil::getTempDir().endsWith(QLatin1Char('/')));
}

TEST(Platform, MathsHelpers) {
    EXPECT_EQ(QXMaths::ifloor(-0.5), -1);
    EXPECT_EQ(QXMaths::ifloor(2.0), 2);
    EXPECT_EQ(QXMaths::iceiling(-0.5), 0);
    EXPECT_EQ(QXMaths::iceiling(2.1), 3);
    EXPECT_EQ(QXMaths::clipToRange(1.5, 0.0, 1.0), 1.0);
    EXPECT_EQ(QXMaths::clipToRange(-3, 0, 10), 0);
    QXMaths::srand48(7);
    const long a = QXMaths::lrand48();
    QXMaths::srand48(7);
    EXPECT_EQ(QXMaths::lrand48(), a);
}

TEST(Mutex, RecursiveAndSpinLocks) {
    PL_RecursiveMutex m;
    {
        PL_RecursiveMutex::ScopeLock a(m);
        PL_RecursiveMutex::ScopeLock b(m); // same thread again
    }
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

TEST(FileUtil, SafeReplaceKeepsBackup) {
    celtest::TempDir dir;
    const PL_FileSpec spec(dir.path(QStringLiteral("f.txt")));
    ASSERT_TRUE(celtest::writeFile(spec.path(), "old"));
    EXPECT_TRUE(PL_FileUtil::CanWriteFile(spec));
    EXPECT_TRUE(PL_FileUtil::BackupFile(spec));
    ASSERT_TRUE(celtest::writeFile(PL_FileUtil::NewFileSpec(spec).path(), "new"));
    EXPECT_TRUE(PL_FileUtil::RenameNewFile(spec));
    EXPECT_EQ(celtest::readFile(spec.path()), QByteArray("new"));
    EXPECT_EQ(celtest::readFile(spec.path() + QStringLiteral(".bak")), QByteArray("old"));
    EXPECT_FALSE(PL_FileUtil::RenameNewFile(spec)); // nothing new to rename
    EXPECT_FALSE(PL_FileUtil::CanWriteFile(PL_FileSpec(QStringLiteral("/nonexistent-dir/x"))));
    EXPECT_EQ(UT_Path(QStringLiteral("/a/b.c.TGA")).extension(), QStringLiteral("TGA"));
}
