#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <vector>

#include "base/Message.h"
#include "base/Platform.h"
#include "celio/ByteIO.h"
#include "support/TestSupport.h"
#include "tests/celio/StdStreamRedirect.h"

namespace {

uint8_t patternByte(uint64_t i) {
    return uint8_t((i * 2654435761u) >> 11);
}

QByteArray pattern(uint64_t n) {
    QByteArray b(qsizetype(n), Qt::Uninitialized);
    for (uint64_t i = 0; i < n; ++i) b[qsizetype(i)] = char(patternByte(i));
    return b;
}

// Runs the body with the process marked interactive or not, and restores it.
class InteractiveGuard {
public:
    explicit InteractiveGuard(bool interactive) : m_was(WHO_Identity::isInteractive()) {
        WHO_Identity::setInteractive(interactive);
    }
    ~InteractiveGuard() { WHO_Identity::setInteractive(m_was); }

private:
    bool m_was;
};

// Catches the integer a transfer throws; 0 when nothing was thrown.
template <class F> int thrownBy(F&& f) {
    try {
        f();
    } catch (int code) {
        return code;
    }
    return 0;
}

} // namespace

TEST(ByteSource, ValuesSeeksAndEndOfDataFromMemory) {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                             0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    ibuf in(bytes, sizeof bytes);
    ASSERT_TRUE(in.isOpen());
    EXPECT_FALSE(in.isStdin());
    EXPECT_EQ(in.size(), 15u);
    EXPECT_EQ(in.getByte(), 0x01);
    EXPECT_EQ(in.getU16LE(), 0x0302);
    EXPECT_EQ(in.getU16BE(), 0x0405);
    EXPECT_EQ(in.getU32LE(), 0x09080706u);
    EXPECT_EQ(in.tell(), 9u);
    in.seek(1);
    EXPECT_EQ(in.getU32BE(), 0x02030405u);
    in.seek(0);
    EXPECT_EQ(in.getU64BE(), 0x0102030405060708ull);
    in.seek(0);
    EXPECT_EQ(in.getU64LE(), 0x0807060504030201ull);
    in.skip(-3);
    EXPECT_EQ(in.peek(), 0x06);
    EXPECT_EQ(in.tell(), 5u);

    // A value that runs past the end throws; so does a read, after copying
    // what there was.
    in.seek(13);
    EXPECT_EQ(thrownBy([&] { in.getU32BE(); }), ibuf::EndOfData);
    in.seek(12);
    uint8_t dst[5] = {};
    EXPECT_EQ(thrownBy([&] { in.read(dst, 5); }), -1);
    EXPECT_EQ(dst[0], 0x0D);
    EXPECT_EQ(dst[2], 0x0F);
    EXPECT_TRUE(in.atEnd());
    EXPECT_EQ(in.peek(), -1);
    EXPECT_EQ(thrownBy([&] { in.getByte(); }), -1);

    // Skipping past the end is allowed; the next read is not.
    in.seek(2);
    EXPECT_EQ(thrownBy([&] { in.skip(100); }), 0);
    EXPECT_EQ(in.tell(), 102u);
    EXPECT_EQ(thrownBy([&] { in.getByte(); }), -1);
    in.seek(14); // and back into the data
    EXPECT_EQ(in.getByte(), 0x0F);
    EXPECT_EQ(thrownBy([&] { in.skip(-16); }), -1);
    EXPECT_EQ(thrownBy([&] { in.seek(-1); }), -1);

    ibuf empty(nullptr, 0);
    EXPECT_TRUE(empty.atEnd());
    EXPECT_EQ(thrownBy([&] { empty.getU16BE(); }), -1);
}

TEST(ByteSource, DecimalExtraction) {
    auto parse = [](const char* text, int64_t& value, int& next) {
        ibuf in(text, std::strlen(text));
        const int code = thrownBy([&] { value = in.readDecimal(); });
        next = in.peek();
        return code;
    };
    int64_t v = 0;
    int next = 0;
    EXPECT_EQ(parse(" \n\t-42<<", v, next), 0);
    EXPECT_EQ(v, -42);
    EXPECT_EQ(next, '<'); // the first non-digit stays unread
    EXPECT_EQ(parse("+17", v, next), 0);
    EXPECT_EQ(v, 17);
    EXPECT_EQ(next, -1);
    EXPECT_EQ(parse("9223372036854775807", v, next), 0);
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_EQ(parse("-9223372036854775808", v, next), 0);
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_EQ(parse("9223372036854775808", v, next), -1);
    EXPECT_EQ(parse("<<12", v, next), -1);
    EXPECT_EQ(parse("-", v, next), -1);
    EXPECT_EQ(parse("   ", v, next), -1);
}

TEST(ByteSource, FileBufferBoundariesSeeksAndLargeReads) {
    celtest::TempDir dir;
    const uint64_t n = 2 * ibuf::BufferSize + 12345;
    const QByteArray bytes = pattern(n);
    ASSERT_TRUE(celtest::writeFile(dir.path("f.bin"), bytes));
    auto at = [](uint64_t i) { return uint32_t(patternByte(i)); };

    ibuf in(dir.path("f.bin"));
    ASSERT_TRUE(in.isOpen());
    EXPECT_EQ(in.size(), n);
    const uint64_t b = ibuf::BufferSize;
    in.skip(int64_t(b) - 3);
    EXPECT_EQ(in.getU32BE(), (at(b - 3) << 24) | (at(b - 2) << 16) | (at(b - 1) << 8) | at(b));
    EXPECT_EQ(in.tell(), b + 1);
    EXPECT_EQ(in.size(), n); // measuring keeps the position
    EXPECT_EQ(in.getByte(), at(b + 1));
    in.seek(int64_t(b) - 1); // behind the current buffer
    EXPECT_EQ(in.getU16LE(), at(b - 1) | (at(b) << 8));
    in.skip(-2);
    EXPECT_EQ(in.getByte(), at(b - 1));

    // A read larger than the buffer goes straight through, and reading on
    // afterwards continues at the right place.
    in.seek(5);
    std::vector<uint8_t> big(b + 100);
    in.read(big.data(), big.size());
    EXPECT_EQ(std::memcmp(big.data(), bytes.constData() + 5, big.size()), 0);
    EXPECT_EQ(in.tell(), 5 + b + 100);
    EXPECT_EQ(in.getByte(), at(5 + b + 100));

    in.seek(int64_t(n) - 2);
    EXPECT_EQ(in.getU16BE(), (at(n - 2) << 8) | at(n - 1));
    EXPECT_TRUE(in.atEnd());
    EXPECT_EQ(thrownBy([&] { in.getByte(); }), -1);
    in.skip(1000);
    EXPECT_EQ(thrownBy([&] { in.getByte(); }), -1);
    in.seek(0);
    EXPECT_EQ(in.getByte(), at(0));

    ibuf missing(dir.path("missing.bin"));
    EXPECT_FALSE(missing.isOpen());
    EXPECT_EQ(thrownBy([&] { missing.getByte(); }), -1);
}

TEST(ByteSource, PathIsRemapped) {
    celtest::TempDir dir;
    ASSERT_TRUE(celtest::writeFile(dir.path("real.bin"), QByteArray("\xCA\xFE", 2)));
    const QString root = dir.root();
    oswRemapPath::setRemapFunction([root](const QString& p) {
        return p.startsWith(QLatin1String("virtual:")) ? root + QLatin1Char('/') + p.mid(8) : p;
    });
    uint16_t value = 0;
    bool opened = false;
    {
        ibuf in(QStringLiteral("virtual:real.bin"));
        opened = in.isOpen();
        if (opened) value = in.getU16BE();
        obuf out(QStringLiteral("virtual:out.bin"));
        out.putByte(7);
        out.close();
    }
    oswRemapPath::setRemapFunction({});
    EXPECT_TRUE(opened);
    EXPECT_EQ(value, 0xCAFE);
    EXPECT_EQ(celtest::readFile(dir.path("out.bin")), QByteArray("\x07", 1));
}

TEST(ByteTarget, PuttersSeekBackAndLargeWrites) {
    celtest::TempDir dir;
    const QByteArray big = pattern(obuf::BufferSize + 17);
    {
        obuf out(dir.path("o.bin"));
        ASSERT_TRUE(out.isOpen());
        EXPECT_FALSE(out.isStdout());
        out.putByte(0xAA);
        out.put16LE(0x0201);
        out.put16BE(0x0304);
        out.put32LE(0x08070605);
        out.put32BE(0x090A0B0C);
        out.put64BE(0x0D0E0F1011121314ull);
        EXPECT_EQ(out.tell(), 21u);
        out.put32BE(0); // placeholder, filled in below
        out.write(big.constData(), size_t(big.size()));
        const uint64_t end = out.tell();
        EXPECT_EQ(end, 25u + uint64_t(big.size()));
        out.seek(21);
        out.put32BE(0xDEADBEEF);
        out.seek(end);
        out.write("xyz", 3);
        EXPECT_TRUE(out.close());
        EXPECT_TRUE(out.close()); // a second close does nothing
    }
    QByteArray expected("\xAA\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11\x12\x13\x14"
                        "\xDE\xAD\xBE\xEF",
                        25);
    expected += big;
    expected += "xyz";
    EXPECT_TRUE(celtest::readFile(dir.path("o.bin")) == expected);

    // The file is written on destruction too, and written bytes are kept.
    {
        obuf out(dir.path("d.bin"));
        out.write("abc", 3);
    }
    EXPECT_EQ(celtest::readFile(dir.path("d.bin")), QByteArray("abc"));
}

TEST(ByteTarget, OpenFailurePostsAndTransfersThrow) {
    celtest::TempDir dir;
    const QString path = dir.path("no/such/dir/out.tga");
    QXMessage::Capture capture;
    obuf out(path);
    EXPECT_FALSE(out.isOpen());
    const auto records = capture.records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].source, QStringLiteral("Could not open file \"%1\" for writing.\n").arg(path));
    EXPECT_EQ(records[0].action, 2);
    EXPECT_EQ(records[0].code, 20);
    EXPECT_EQ(thrownBy([&] { out.putByte(1); }), obuf::WriteFailed);
    EXPECT_EQ(thrownBy([&] { out.write("abcd", 4); }), -1);
    EXPECT_FALSE(out.close());
    EXPECT_EQ(capture.records().size(), 1u); // nothing more to say
}

TEST(ByteTarget, FailedCloseInBothForms) {
    if (!QFileInfo::exists(QStringLiteral("/dev/full"))) GTEST_SKIP() << "no /dev/full";
    const QString full = QStringLiteral("/dev/full");
    const QString message = QStringLiteral("Could not complete writing to file: \"/dev/full\"\n");
    {
        QXMessage::Capture capture;
        obuf out(full);
        ASSERT_TRUE(out.isOpen());
        out.put32BE(1); // buffered: the failure only shows when closing
        EXPECT_EQ(thrownBy([&] { out.closeOrThrow(); }), obuf::CloseFailed);
        ASSERT_EQ(capture.records().size(), 1u);
        EXPECT_EQ(capture.records()[0].source, message);
        EXPECT_EQ(capture.records()[0].action, 2);
        EXPECT_EQ(thrownBy([&] { out.putByte(1); }), -1); // closed
    }
    {
        QXMessage::Capture capture;
        obuf out(full);
        out.putByte(1);
        EXPECT_FALSE(out.close());
        EXPECT_TRUE(capture.contains(message));
    }
    {
        // A write too large for the buffer fails at once.
        obuf out(full);
        std::vector<uint8_t> block(2 * obuf::BufferSize);
        EXPECT_EQ(thrownBy([&] { out.write(block.data(), block.size()); }), obuf::WriteFailed);
        QXMessage::Capture quiet;
        out.close();
    }
}

TEST(StdStreams, DashIsAFileInAnInteractiveProcess) {
    celtest::TempDir dir;
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.root()));
    InteractiveGuard interactive(true);
    bool wroteFile = false, readBack = false;
    {
        obuf out(QStringLiteral("-"));
        out.write("dash", 4);
        wroteFile = !out.isStdout() && out.close();
        ibuf in(QStringLiteral("-"));
        uint8_t b[4] = {};
        if (in.isOpen() && !in.isStdin()) in.read(b, 4);
        readBack = std::memcmp(b, "dash", 4) == 0;
    }
    QDir::setCurrent(cwd);
    EXPECT_TRUE(wroteFile);
    EXPECT_TRUE(readBack);
    EXPECT_EQ(celtest::readFile(dir.path("-")), QByteArray("dash"));
}

TEST(StdStreams, DashReadsStandardInputInABatchProcess) {
    celtest::TempDir dir;
    const QByteArray bytes = pattern(100000);
    ASSERT_TRUE(celtest::writeFile(dir.path("stdin.bin"), bytes));
    InteractiveGuard batch(false);
    bool isStdin = false;
    uint64_t size = 0;
    uint8_t first = 0, last = 0, again = 0;
    int pastEnd = 0;
    {
        celtest::StdStreamRedirect redirect(0, dir.path("stdin.bin"));
        ibuf in(QStringLiteral("-"));
        isStdin = in.isOpen() && in.isStdin();
        size = in.size();
        first = in.getByte();
        in.seek(int64_t(bytes.size()) - 1); // standard input seeks like a file
        last = in.getByte();
        pastEnd = thrownBy([&] { in.getByte(); });
        in.seek(0);
        again = in.getByte();
    }
    EXPECT_TRUE(isStdin);
    EXPECT_EQ(size, uint64_t(bytes.size()));
    EXPECT_EQ(first, patternByte(0));
    EXPECT_EQ(last, patternByte(uint64_t(bytes.size()) - 1));
    EXPECT_EQ(pastEnd, -1);
    EXPECT_EQ(again, first);
}

TEST(StdStreams, DashWritesStandardOutputOnlyWhenClosed) {
    celtest::TempDir dir;
    const QString capturePath = dir.path("stdout.bin");
    const QByteArray big = pattern(obuf::BufferSize + 5);
    InteractiveGuard batch(false);
    bool isStdout = false, closed = false;
    qint64 sizeBeforeClose = -1;
    {
        celtest::StdStreamRedirect redirect(1, capturePath);
        obuf out(QStringLiteral("-"));
        isStdout = out.isOpen() && out.isStdout();
        out.put32BE(0);
        out.write(big.constData(), size_t(big.size())); // past the buffer: still held back
        out.seek(0);
        out.put32BE(0x01020304);
        std::fflush(stdout);
        sizeBeforeClose = QFileInfo(capturePath).size();
        closed = out.close();
    }
    EXPECT_TRUE(isStdout);
    EXPECT_EQ(sizeBeforeClose, 0);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(celtest::readFile(capturePath) == QByteArray("\x01\x02\x03\x04", 4) + big);

    // Dropped, not sent, when the target dies unclosed (a writer that failed).
    {
        celtest::StdStreamRedirect redirect(1, capturePath);
        obuf out(QStringLiteral("-"));
        out.write("partial", 7);
    }
    EXPECT_EQ(QFileInfo(capturePath).size(), 0);
}
