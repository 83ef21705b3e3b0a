#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <vector>

#include "base/Message.h"
#include "base/Platform.h"
#include "celio/ByteIO.h"
#include "support/TestSupport.h"
#include "tests/celio/ByteTestSupport.h"

using namespace celtest;

TEST(ByteSource, ValuesSeeksEndOfDataAndDecimals) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C};
    ibuf in(bytes, sizeof bytes);
    EXPECT_EQ(in.getByte(), 0x01);
    EXPECT_EQ(in.getU16LE(), 0x0302);
    EXPECT_EQ(in.getU32BE(), 0x04050607u);
    in.seek(0);
    EXPECT_EQ(in.getU64LE(), 0x0807060504030201ull);
    in.skip(-3);
    EXPECT_EQ(in.getU16BE(), 0x0607);
    in.seek(10);
    uint8_t dst[3] = {};
    EXPECT_EQ(thrownBy([&] { in.read(dst, 3); }), ibuf::EndOfData);
    EXPECT_TRUE(dst[1] == 0x0C && in.atEnd()); // what there was is copied
    // Skipping past the end is allowed, reading there is not.
    in.seek(2);
    EXPECT_EQ(thrownBy([&] { in.skip(100); }), 0);
    EXPECT_EQ(in.tell(), 102u);
    EXPECT_EQ(thrownBy([&] { in.getByte(); }), -1);
    EXPECT_EQ(thrownBy([&] { in.skip(-103); }), -1);

    // Decimals: white space, a sign, digits up to the first non-digit (left unread).
    auto parse = [](const char* text, int* next = nullptr) {
        ibuf d(text, std::strlen(text));
        const int64_t v = d.readDecimal();
        if (next) *next = d.peek();
        return v;
    };
    int next = 0;
    EXPECT_TRUE(parse(" \n\t-42<<", &next) == -42 && next == '<');
    EXPECT_EQ(parse("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(thrownBy([&] { parse("9223372036854775808"); }), -1);
    EXPECT_EQ(thrownBy([&] { parse("<<12"); }), -1);
}

TEST(ByteSource, FileBufferBoundariesSeeksAndLargeReads) {
    celtest::TempDir dir;
    const uint64_t b = ibuf::BufferSize, n = 2 * b + 12345;
    const QByteArray bytes = pattern(n);
    ASSERT_TRUE(celtest::writeFile(dir.path("f.bin"), bytes));
    auto at = [](uint64_t i) { return uint32_t(patternByte(i)); };

    ibuf in(dir.path("f.bin"));
    ASSERT_TRUE(in.isOpen());
    in.skip(int64_t(b) - 3);
    EXPECT_EQ(in.getU32BE(), (at(b - 3) << 24) | (at(b - 2) << 16) | (at(b - 1) << 8) | at(b));
    EXPECT_EQ(in.size(), n); // measuring keeps the position
    EXPECT_EQ(in.getByte(), at(b + 1));
    in.seek(int64_t(b) - 1); // behind the current buffer
    EXPECT_EQ(in.getU16LE(), at(b - 1) | (at(b) << 8));
    // A read larger than the buffer goes straight through; reading continues after it.
    in.seek(5);
    std::vector<uint8_t> big(b + 100);
    in.read(big.data(), big.size());
    EXPECT_EQ(std::memcmp(big.data(), bytes.constData() + 5, big.size()), 0);
    EXPECT_EQ(in.getByte(), at(5 + b + 100));

    ibuf missing(dir.path("missing.bin"));
    EXPECT_TRUE(!missing.isOpen() && thrownBy([&] { missing.getByte(); }) == -1);

    // Positional reads, from a file or memory, leave the position alone.
    ibuf file(dir.path("f.bin"));
    ibuf memory(bytes.constData(), size_t(bytes.size()));
    for (ibuf* p : {&file, &memory}) {
        p->skip(5);
        uint8_t got[8] = {};
        EXPECT_TRUE(p->readAt(n - 4, got, sizeof got) == 4u && got[3] == at(n - 1)); // fewer at the end
        EXPECT_TRUE(p->readAt(n + 10, got, 1) == 0u && p->getByte() == at(5));
    }
}

TEST(ByteTarget, PuttersSeekBackRemapAndLargeWrites) {
    celtest::TempDir dir;
    const QString root = dir.root();
    oswRemapPath::setRemapFunction([root](const QString& p) { return root + QLatin1Char('/') + p; });
    const QByteArray big = pattern(obuf::BufferSize + 17);
    {
        obuf out(QStringLiteral("o.bin"));
        out.putByte(0xAA);
        out.put16LE(0x0201);
        out.put16BE(0x0304);
        out.put32LE(0x08070605);
        out.put32BE(0); // placeholder, filled in below
        out.write(big.constData(), size_t(big.size()));
        const uint64_t end = out.tell();
        out.seek(9);
        out.put32BE(0xDEADBEEF);
        out.seek(end);
        out.put64BE(0x0102030405060708ull);
        EXPECT_TRUE(out.close());
    }
    oswRemapPath::setRemapFunction({});
    const QByteArray expected = QByteArray("\xAA\x01\x02\x03\x04\x05\x06\x07\x08\xDE\xAD\xBE\xEF", 13) + big +
                                QByteArray("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    EXPECT_TRUE(celtest::readFile(dir.path("o.bin")) == expected);
}

TEST(ByteTarget, OpenAndCloseFailures) {
    celtest::TempDir dir;
    const QString path = dir.path("no/such/dir/out.tga");
    QXMessage::Capture capture;
    obuf bad(path);
    ASSERT_TRUE(!bad.isOpen() && capture.records().size() == 1u);
    EXPECT_EQ(capture.records()[0].source,
              QStringLiteral("Could not open file \"%1\" for writing.\n").arg(path));
    EXPECT_EQ(capture.records()[0].action * 100 + capture.records()[0].code, 220);
    EXPECT_EQ(thrownBy([&] { bad.putByte(1); }), obuf::WriteFailed);

    if (!QFileInfo::exists(QStringLiteral("/dev/full"))) GTEST_SKIP() << "no /dev/full";
    capture.clear();
    obuf full(QStringLiteral("/dev/full"));
    full.put32BE(1); // buffered: the failure shows when closing
    EXPECT_EQ(thrownBy([&] { full.closeOrThrow(); }), obuf::CloseFailed);
    EXPECT_EQ(capture.texts(),
              QStringList{QStringLiteral("Could not complete writing to file: \"/dev/full\"\n")});
    EXPECT_EQ(thrownBy([&] { full.putByte(1); }), -1); // closed
    std::vector<uint8_t> block(2 * obuf::BufferSize);
    obuf direct(QStringLiteral("/dev/full"));
    EXPECT_EQ(thrownBy([&] { direct.write(block.data(), block.size()); }), obuf::WriteFailed);
}

// "-" names a file in an interactive process, standard input and output otherwise.
TEST(StdStreams, DashByProcessKind) {
    celtest::TempDir dir;
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    uint8_t b[4] = {};
    bool fileTarget = false, fileSource = false;
    {
        InteractiveGuard interactive(true);
        obuf out(QStringLiteral("-"));
        out.write("dash", 4);
        fileTarget = !out.isStdout() && out.close();
        ibuf in(QStringLiteral("-"));
        fileSource = in.isOpen() && !in.isStdin();
        in.readSome(b, 4);
    }
    QDir::setCurrent(cwd);
    EXPECT_TRUE(fileTarget && fileSource);
    EXPECT_EQ(std::memcmp(b, "dash", 4), 0);

    // Standard input is read end to end by the tool's tests; output is held until the close.
    const QByteArray bytes = pattern(obuf::BufferSize + 5);
    InteractiveGuard batch(false);
    const QString captured = dir.path("stdout.bin");
    qint64 sizeBeforeClose = -1;
    {
        StdStreamRedirect redirect(1, captured);
        obuf out(QStringLiteral("-"));
        out.put32BE(0);
        out.write(bytes.constData(), size_t(bytes.size())); // larger than the buffer: still held
        out.seek(0);
        out.put32BE(0x01020304);
        std::fflush(stdout);
        sizeBeforeClose = QFileInfo(captured).size();
        out.close();
        obuf unclosed(QStringLiteral("-")); // a writer that gave up: nothing is sent
        unclosed.write("partial", 7);
    }
    EXPECT_EQ(sizeBeforeClose, 0);
    EXPECT_TRUE(celtest::readFile(captured) == QByteArray("\x01\x02\x03\x04", 4) + bytes);
}

// A regular file is replaced only by a clean close: an abandoned or failed
// write leaves the previous file, and no temporary file stays behind.
TEST(ByteTarget, ReplacesTheFileOnlyOnACleanClose) {
    celtest::TempDir dir;
    const QString path = dir.path("t.bin");
    ASSERT_TRUE(celtest::writeFile(path, "old"));
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    {
        obuf out(path);
        out.write("abandoned", 9);
        std::fflush(nullptr);
        EXPECT_EQ(celtest::readFile(path), QByteArray("old")); // not touched while writing
    }
    EXPECT_EQ(celtest::readFile(path), QByteArray("old"));
    EXPECT_TRUE(obuf(path).close()); // an empty write replaces too
    EXPECT_EQ(celtest::readFile(path), QByteArray());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u); // the replaced file's bits

    // Through a link the file it names is replaced; the link stays.
    const QString link = dir.path("link.bin");
    ASSERT_TRUE(QFile::link(path, link));
    {
        obuf out(link);
        out.write("linked", 6);
        EXPECT_TRUE(out.close());
    }
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(celtest::readFile(path), QByteArray("linked"));

    // A file-size limit makes the flush at close fail: the old file stays.
    // A file nobody may write is refused, even to the superuser.
    const QString locked = dir.path("locked.bin");
    ASSERT_TRUE(celtest::writeFile(locked, "keep"));
    ASSERT_TRUE(QFile::setPermissions(locked, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    EXPECT_FALSE(obuf(locked).isOpen());
    EXPECT_EQ(celtest::readFile(locked), QByteArray("keep"));

    QXMessage::Capture capture;
    struct rlimit was {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &was), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = was;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool closed = true;
    {
        obuf out(path);
        const QByteArray big = pattern(100000);
        out.write(big.constData(), size_t(big.size())); // held in the buffer until the close
        closed = out.close();
    }
    ::setrlimit(RLIMIT_FSIZE, &was);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(closed);
    EXPECT_EQ(capture.texts(),
              QStringList{QStringLiteral("Could not complete writing to file: \"%1\"\n").arg(path)});
    EXPECT_EQ(celtest::readFile(path), QByteArray("linked"));
    EXPECT_EQ(QDir(dir.root()).entryList(QDir::Files | QDir::Hidden).size(), 3); // t, link, locked
}
