// The OMF container below the handler (whose tests cover round trips, witnesses
// and the messages): structure refusals, lying lengths, buffers, JPEG details.
#include <QDir>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "omf/OmfContainer.h"
#include "support/OmfBuilder.h"
#include "support/TestSupport.h"

namespace {

using celtest::OmfBuilder;

// The toolkit context for the length of a test.
struct Toolkit {
    Toolkit() { OMF_Toolkit::start(); }
    ~Toolkit() { OMF_Toolkit::stop(); }
};

QByteArray rgbRamp(int w, int h) {
    QByteArray rgb;
    for (int i = 0; i < w * h * 3; ++i) rgb.append(char(i * 37 + 11));
    return rgb;
}

// Writes one video media with one sample through the container.
OMF_Status writeFrame(const QString& path, const QByteArray& rgb, uint32_t w, uint32_t h, bool jpeg) {
    OMF_File f;
    OMF_Status s = f.create(path.toUtf8().constData());
    OMF_VideoDescriptor d;
    d.width = w, d.height = h, d.compressed = jpeg;
    if (s == OMF_Status::Ok) s = f.describeVideoMedia(d, "OMF QAV 6.0");
    if (s == OMF_Status::Ok) s = f.writeSample(rgb.constData(), uint64_t(rgb.size()));
    const OMF_Status closed = f.close();
    return s == OMF_Status::Ok ? closed : s;
}

OMF_Status openBytes(OMF_File& f, const QByteArray& bytes) {
    return f.openMemory(bytes.constData(), size_t(bytes.size()));
}

bool noPartFiles(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("*.part")}, QDir::Files | QDir::Hidden).isEmpty();
}

} // namespace

// The toolkit context is counted; reads stay within the caller's buffer.
TEST(OmfContainer, ToolkitContextIsCountedAndReadsStayWithinTheBuffer) {
    ASSERT_FALSE(OMF_Toolkit::isRunning());
    const QByteArray file = OmfBuilder().video(1, 2, 1).sample(1, "abc").sample(1, "def").bytes();
    OMF_File f;
    EXPECT_TRUE(openBytes(f, file) == OMF_Status::NotStarted &&
                f.create("/tmp/never.omf") == OMF_Status::NotStarted);
    EXPECT_TRUE(OMF_Toolkit::start() == OMF_Status::Ok && OMF_Toolkit::start() == OMF_Status::Ok);
    EXPECT_EQ(OMF_Toolkit::stop(), OMF_Status::Ok);
    ASSERT_EQ(openBytes(f, file), OMF_Status::Ok); // one reference is still held
    QByteArray buffer(8, '#');
    EXPECT_EQ(f.readSamples(1, buffer.data(), 5), int64_t(OMF_Status::BufferTooSmall));
    EXPECT_EQ(buffer, QByteArray(8, '#')) << "nothing written";
    EXPECT_TRUE(f.readSamples(1, buffer.data(), 6) == 6 && buffer == "abcdef##");
    EXPECT_TRUE(f.readSamples(0, buffer.data(), 6) == int64_t(OMF_Status::NoSuchMedia) &&
                f.writeSample("abc", 3) == OMF_Status::WrongMode);
    EXPECT_EQ(OMF_Toolkit::stop(), OMF_Status::Ok);
    EXPECT_EQ(OMF_Toolkit::stop(), OMF_Status::NotStarted);
}

// Unknown classes and properties are skipped; what the structure forbids is refused.
TEST(OmfContainer, ReaderSkipsTheUnknownAndRefusesTheMalformed) {
    Toolkit toolkit;
    using B = OmfBuilder;
    const QByteArray px = "abc";
    const QByteArray video = B::videoBody(1, 1, 1);
    constexpr OMF_Status Bad = OMF_Status::BadStructure;
    const struct {
        const char* what;
        QByteArray file;
        OMF_Status expected;
    } cases[] = {
        {"unknown objects and properties",
         B().object("NOTE", B::property("TEXT", B::Text, "hello"))
             .object("MDES",
                     B::property("XTRA", 9, "?") + video + B::property("WHEN", B::I64, QByteArray(8, 1)))
             .sample(1, px)
             .object("ZZZZ", {})
             .bytes(),
         OMF_Status::Ok},
        {"sound media beside", B().video(1, 1, 1).sound(2).sample(1, px).bytes(), OMF_Status::Ok},
        {"no signature", QByteArray("\x89OMG\r\n\x1a\n", 8) + QByteArray(8, 0), OMF_Status::NotOmf},
        {"version 2", B(2).video(1, 1, 1).bytes(), OMF_Status::BadVersion},
        {"no MDID", B().object("MDES", video.mid(17)).bytes(), Bad},
        {"video without CMPR", B().object("MDES", video.chopped(17)).bytes(), Bad},
        {"duplicate WDTH", B().object("MDES", video + B::u32("WDTH", 5)).bytes(), Bad},
        {"WDTH as text",
         B().object("MDES", video.left(17 * 2 + 24) + B::property("WDTH", B::Text, "1234") +
                                video.mid(17 * 2 + 24 + 17))
             .bytes(),
         Bad},
        {"u32 of 5 bytes", B().object("MDES", video + B::property("XTRA", B::U32, "12345")).bytes(), Bad},
        {"two media with one MDID", B().video(1, 1, 1).video(1, 1, 1).bytes(), Bad},
        {"sample of an undescribed media", B().video(1, 1, 1).sample(2, px).bytes(), Bad},
        {"sample without DATA", B().video(1, 1, 1).object("SAMP", B::u32("MDID", 1)).bytes(), Bad},
        {"compression 2", B().video(1, 1, 1, 24, 1, 2).bytes(), Bad},
        {"JPEG sample that is no JPEG", B().video(1, 1, 1, 24, 1, 1).sample(1, px).bytes(),
         OMF_Status::BadSample},
        {"trailing bytes", B().video(1, 1, 1).raw("tail").bytes(), Bad},
    };
    for (const auto& c : cases) {
        OMF_File f;
        EXPECT_EQ(openBytes(f, c.file), c.expected) << c.what << ": " << f.errorDetail();
        EXPECT_EQ(f.isOpen(), c.expected == OMF_Status::Ok) << c.what;
        EXPECT_EQ(f.errorDetail().empty(), c.expected == OMF_Status::Ok) << c.what;
    }
}

// Every length field of a valid file made to claim 2^32, 2^63 or 2^64 - 1
// bytes, and every truncation: refused or read consistently, never past the data.
TEST(OmfContainer, LyingLengthsAndTruncations) {
    Toolkit toolkit;
    OmfBuilder b;
    b.video(1, 2, 1).sample(1, "abcdef");
    const QByteArray good = b.bytes();
    ASSERT_GE(b.lengthFields().size(), 12u);
    for (qsizetype at : b.lengthFields())
        for (uint64_t lie : {uint64_t(1) << 32, uint64_t(1) << 63, ~uint64_t(0)}) {
            QByteArray bad = good;
            for (int i = 0; i < 8; ++i) bad[at + i] = char(uint8_t(lie >> (8 * i)));
            OMF_File f;
            EXPECT_EQ(openBytes(f, bad), OMF_Status::BadStructure) << "field at " << at << " = " << lie;
        }
    // Through a file: the positional reads and their window must not trust a length either.
    celtest::TempDir dir;
    const QString path = dir.path("cut.omf");
    const qsizetype withoutSample = good.size() - (12 + 17 + 13 + 6);
    for (qsizetype n = 0; n < good.size(); ++n) {
        ASSERT_TRUE(celtest::writeFile(path, good.left(n)));
        OMF_File f;
        const OMF_Status s = f.openRead(path.toUtf8().constData());
        // Only cuts between objects leave valid files: no media, or the media without its sample.
        ASSERT_EQ(s == OMF_Status::Ok, n == 16 || n == withoutSample) << n;
        EXPECT_EQ(s, n < 8 ? OMF_Status::NotOmf : s == OMF_Status::Ok ? s : OMF_Status::BadStructure) << n;
    }
}

TEST(OmfContainer, JpegSamples) {
    Toolkit toolkit;
    celtest::TempDir dir;
    const int w = 21, h = 9;
    const QByteArray rgb = rgbRamp(w, h);
    const QString path = dir.path("j.omf");
    ASSERT_EQ(writeFrame(path, rgb, w, h, true), OMF_Status::Ok);
    OMF_File f;
    OMF_VideoDescriptor d;
    ASSERT_TRUE(f.openRead(path.toUtf8().constData()) == OMF_Status::Ok &&
                f.videoDescriptor(1, d) == OMF_Status::Ok);
    // Stored: one JFIF stream, 4:4:4, quality 90 (the first luminance quantiser is 3).
    QByteArray stream(qsizetype(d.storedBytes), 0);
    ASSERT_EQ(f.readSamples(1, stream.data(), d.storedBytes), int64_t(d.storedBytes));
    EXPECT_TRUE(stream.startsWith("\xff\xd8\xff\xe0") && stream.mid(6, 5) == QByteArray("JFIF", 5));
    const qsizetype dqt = stream.indexOf("\xff\xdb"), sof = stream.indexOf("\xff\xc0");
    ASSERT_TRUE(dqt > 0 && sof > 0 && uint8_t(stream[dqt + 5]) == 3);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(uint8_t(stream[sof + 11 + 3 * c]), 0x11) << c;

    // Decoded with alpha (the handler's tests check the pixels): one byte short is refused.
    f.setDecompression(true);
    f.setDecodedAlpha(true);
    QByteArray decoded(w * h * 4, 0);
    EXPECT_EQ(f.readSamples(1, decoded.data(), uint64_t(decoded.size()) - 1),
              int64_t(OMF_Status::BufferTooSmall));
    ASSERT_EQ(f.readSamples(1, decoded.data(), uint64_t(decoded.size())), w * h * 4);

    // A stream cut short fails the decoding, without a word on standard error.
    OMF_File g;
    ASSERT_EQ(openBytes(g, OmfBuilder().video(1, w, h, 24, 1, 1).sample(1, stream.chopped(40)).bytes()),
              OMF_Status::Ok);
    g.setDecompression(true);
    EXPECT_EQ(g.readSamples(1, decoded.data(), uint64_t(decoded.size())), int64_t(OMF_Status::JpegFailed));
}

TEST(OmfContainer, RefusedDescriptorsAndFailedWrites) {
    Toolkit toolkit;
    celtest::TempDir dir, other;
    {
        OMF_File f;
        ASSERT_EQ(f.create(other.path("d.omf").toUtf8().constData()), OMF_Status::Ok);
        EXPECT_EQ(f.writeSample("abc", 3), OMF_Status::BadDescriptor); // nothing described yet
        // No height, 12 bits per pixel, JPEG wider than it allows.
        for (auto [w, h, bits, jpeg] :
             {std::tuple{4u, 0u, 24u, false}, {4u, 2u, 12u, false}, {65501u, 2u, 24u, true}}) {
            OMF_VideoDescriptor d;
            d.width = w, d.height = h, d.bitsPerPixel = bits, d.compressed = jpeg;
            EXPECT_EQ(f.describeVideoMedia(d, ""), OMF_Status::BadDescriptor) << w << ' ' << h << ' ' << bits;
        }
        OMF_VideoDescriptor d;
        d.width = 1, d.height = 1;
        ASSERT_EQ(f.describeVideoMedia(d, ""), OMF_Status::Ok);
        EXPECT_TRUE(f.writeSample("ab", 2) == OMF_Status::BadSample &&
                    f.writeSample("abcd", 4) == OMF_Status::BadSample);
    }

    // A write that fails leaves the earlier file whole and no temporary file.
    const QString path = dir.path("keep.omf");
    ASSERT_TRUE(celtest::writeFile(path, "earlier"));
    // Abandoned: the file object goes without close().
    {
        OMF_File f;
        ASSERT_EQ(f.create(path.toUtf8().constData()), OMF_Status::Ok);
        OMF_VideoDescriptor d;
        d.width = d.height = 100;
        ASSERT_EQ(f.describeVideoMedia(d, ""), OMF_Status::Ok);
        EXPECT_FALSE(noPartFiles(dir.root())); // written beside the target
    }
    EXPECT_TRUE(celtest::readFile(path) == "earlier" && noPartFiles(dir.root()));

    // A full disk: the file size limit stands in for it.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const sighandler_t previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const OMF_Status full = writeFrame(path, rgbRamp(100, 100), 100, 100, false);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(full, OMF_Status::WriteFailed);
    EXPECT_TRUE(celtest::readFile(path) == "earlier" && noPartFiles(dir.root()));
    EXPECT_EQ(OMF_File().create(dir.root().toUtf8().constData()), OMF_Status::CannotOpen); // a folder
}
