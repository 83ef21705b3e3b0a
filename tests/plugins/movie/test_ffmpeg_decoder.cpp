// The libav movie decoder against clips ffmpeg makes at test time: every frame,
// in order, reversed and shuffled, must equal what ffmpeg decodes to RGBA
// (premultiplied here where the clip has alpha). Skips without ffmpeg.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "base/Message.h"
#include "cel/Context.h"
#include "cel/MovieFrame.h"
#include "celio/Manager.h"
#include "pixel/PixmapCanvas.h"
#include "plugins/movie/FfmpegMovieDecoder.h"
#include "support/TestSupport.h"

namespace {

constexpr int kWidth = 64, kHeight = 48, kFrames = 30;

QByteArray run(const QString& program, const QStringList& args, bool* ok = nullptr) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    if (ok) *ok = p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    return p.readAllStandardOutput();
}

struct Clip {
    const char* name;
    const char* encode; // ffmpeg arguments between the source and the output
    bool alpha;
    int tolerance = 0; // levels from ffmpeg's conversion (the decoder's own, where it has one)
};

// Sources: a moving test pattern; with alpha, a horizontal alpha ramp over it.
const char kOpaque[] = "-f lavfi -i testsrc2=size=64x48:rate=24";
const char kAlpha[] =
    "-f lavfi -i testsrc2=size=64x48:rate=24,format=rgba,geq=r='r(X,Y)':g='g(X,Y)':b='b(X,Y)':a='X*4'";

const std::vector<Clip>& clips() {
    static const std::vector<Clip> list = {
        {"bframes709.mp4",
         "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p -colorspace bt709 -color_primaries bt709 -color_trc "
         "bt709",
         false},
        {"bframes.mkv", "-c:v libx264 -bf 2 -g 10 -pix_fmt yuv420p", false},
        {"bframes.avi", "-c:v libx264 -bf 2 -g 12 -pix_fmt yuv420p", false},
        {"fullrange.mov", "-c:v libx264 -g 8 -pix_fmt yuvj420p -color_range pc", false},
        {"prores4444.mov", "-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le", true, 1},
        {"prores709.mov", "-c:v prores_ks -profile:v 4444 -pix_fmt yuv444p10le -colorspace bt709", false, 1},
        {"rgba.mov", "-c:v png -pix_fmt rgba", true},
        // Alpha that libswscale converts (4:2:0 with alpha), premultiplied after it.
        {"ffv1alpha.mkv", "-c:v ffv1 -pix_fmt yuva420p", true},
    };
    return list;
}

class FfmpegDecoderTest : public ::testing::TestWithParam<Clip> {
protected:
    static void SetUpTestSuite() {
        MOV_registerFfmpegDecoders();
        if (celtest::haveProgram("ffmpeg")) s_dir = new celtest::TempDir;
    }
    static void TearDownTestSuite() { delete s_dir, s_dir = nullptr; }
    void SetUp() override {
        if (!s_dir) GTEST_SKIP() << "ffmpeg not found";
        makeClip(GetParam());
    }
    static void makeClip(const Clip& c) {
        const QString args = QStringLiteral("-v error -y %1 -frames:v %2 %3")
                                 .arg(c.alpha ? kAlpha : kOpaque, QString::number(kFrames), c.encode);
        bool ok = false;
        run("ffmpeg", args.split(' ') << s_dir->path(c.name), &ok);
        ASSERT_TRUE(ok) << "ffmpeg could not make " << c.name;
    }

    // ffmpeg's RGBA frames of the clip, premultiplied where it has alpha.
    static std::vector<QByteArray> referenceFrames(const Clip& c) {
        const QByteArray raw = run("ffmpeg", {"-v", "error", "-i", s_dir->path(c.name), "-vsync", "0", "-f",
                                              "rawvideo", "-pix_fmt", "rgba", "-"});
        const qsizetype size = kWidth * kHeight * 4;
        std::vector<QByteArray> frames;
        for (qsizetype at = 0; at + size <= raw.size(); at += size) {
            QByteArray f = raw.mid(at, size);
            if (c.alpha)
                for (qsizetype i = 0; i < size; i += 4) {
                    const unsigned a = uint8_t(f[i + 3]);
                    for (int k = 0; k < 3; ++k) f[i + k] = char((uint8_t(f[i + k]) * a + 127) / 255);
                }
            frames.push_back(f);
        }
        return frames;
    }
    static QByteArray decoded(const CELMOV_MovieFrame& movie, int frame, bool& ok) {
        std::unique_ptr<CELMOV_MovieFrame> f(movie.cloneNewFrame(frame));
        std::unique_ptr<CEL_Representation> rep(f->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
        const auto* pix = dynamic_cast<CEL_PixmapRGBA8*>(rep.get());
        if (!pix) return QByteArray();
        return QByteArray(reinterpret_cast<const char*>(pix->data()), pix->width() * pix->height() * 4);
    }
    // Equal sizes and every byte within `tolerance` levels.
    static bool within(const QByteArray& a, const QByteArray& b, int tolerance) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) {
                   return std::abs(int(uint8_t(x)) - int(uint8_t(y))) <= tolerance;
               });
    }
    static celtest::TempDir* s_dir;
};
celtest::TempDir* FfmpegDecoderTest::s_dir = nullptr;

TEST_P(FfmpegDecoderTest, FramesEqualFfmpegsInAnyOrder) {
    const Clip& c = GetParam();
    const QString path = s_dir->path(c.name);
    const std::vector<QByteArray> reference = referenceFrames(c);
    ASSERT_EQ(reference.size(), size_t(kFrames));

    CELMOV_MovieFrame movie(path, 1);
    ASSERT_EQ(movie.getFormat(), CEL_Representation::MOVIE_FRAME);
    EXPECT_EQ(movie.movieNumberOfFrames(), kFrames); // as made: 30 pictures at 24 per second
    EXPECT_DOUBLE_EQ(movie.movieFrameRate(), 24.0);
    EXPECT_TRUE(movie.decodedSize() == Math::Size2di(kWidth, kHeight) && movie.movieHasAlpha() == c.alpha);

    std::vector<int> order(kFrames);
    std::iota(order.begin(), order.end(), 1);
    std::vector<int> reversed(order.rbegin(), order.rend());
    std::vector<int> shuffled = order;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(28));
    shuffled.insert(shuffled.begin() + 5, shuffled[4]); // the same frame twice in a row
    // Last, a fresh movie whose first request is in mid-stream: it finishes without the
    // pictures after it, and the requests after it carry on from there.
    CELMOV_MovieFrame fresh(path, 1);
    std::vector<int> midStream = {kFrames / 2 + 1, kFrames / 2 + 2, kFrames / 2 + 3, 1};
    for (const auto& [m, sequence] :
         {std::pair{&movie, &order}, {&movie, &reversed}, {&movie, &shuffled}, {&fresh, &midStream}})
        for (int frame : *sequence) {
            bool ok = false;
            const QByteArray pixels = decoded(*m, frame, ok);
            ASSERT_TRUE(ok && within(pixels, reference[size_t(frame - 1)], c.tolerance))
                << c.name << " frame " << frame;
        }

    bool ok = true;
    decoded(movie, kFrames + 1, ok);
    EXPECT_FALSE(ok);
}

INSTANTIATE_TEST_SUITE_P(Clips, FfmpegDecoderTest, ::testing::ValuesIn(clips()),
                         [](const ::testing::TestParamInfo<Clip>& param) {
                             QString name = QString::fromLatin1(param.param.name);
                             return name.replace('.', '_').toStdString();
                         });

// The first clip alone, for the thread test.
class FfmpegThreadsTest : public FfmpegDecoderTest {
protected:
    void SetUp() override {
        if (!s_dir) GTEST_SKIP() << "ffmpeg not found";
    }
};

// Four threads on frames of one movie (sharing its decoder), two of them also
// on a second movie: every frame still equals ffmpeg's.
TEST_F(FfmpegThreadsTest, ThreadsShareTheDecoderSafely) {
    const Clip& c = clips().front();
    makeClip(c);
    const std::vector<QByteArray> reference = referenceFrames(c);
    ASSERT_EQ(reference.size(), size_t(kFrames));
    const QString second = s_dir->path("second.mkv");
    bool made = false;
    run("ffmpeg", {"-v", "error", "-y", "-i", s_dir->path(c.name), "-c:v", "copy", second}, &made);
    ASSERT_TRUE(made);
    CELMOV_MovieFrame one(s_dir->path(c.name), 1), two(second, 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 random{unsigned(t)};
            for (int i = 0; i < 20; ++i) {
                const int frame = int(random() % kFrames) + 1;
                bool ok = false;
                const QByteArray pixels = decoded((t % 2 && i % 2) ? two : one, frame, ok);
                if (!ok || pixels != reference[size_t(frame - 1)]) ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(FfmpegDecoderRefusals, NonMoviesOpenNothing) {
    MOV_registerFfmpegDecoders();
    celtest::TempDir dir;
    QXMessage::Capture messages;
    // A playlist and a concat script under movie names, text, an empty file, a missing one.
    const std::pair<const char*, const char*> files[] = {
        {"list.mov", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\nfile:///etc/hostname\n"},
        {"concat.mp4", "ffconcat version 1.0\nfile /etc/hostname\n"},
        {"text.mkv", "hello, not a movie\n"},
        {"empty.avi", ""}};
    QStringList paths = {dir.path("missing.mov")};
    for (const auto& [name, text] : files) {
        paths << dir.path(name);
        celtest::writeFile(paths.back(), text);
    }
    for (const QString& path : paths) {
        CELMOV_MovieFrame frame(path, 1);
        EXPECT_EQ(frame.getFormat(), CEL_Representation::NONE) << path.toStdString();
        CELIO_RepresentationList list;
        QDateTime modified;
        EXPECT_FALSE(CELIO_Manager::getInstance()->read(path, modified, CEL_Context(), list));
        CELIO_Info info;
        EXPECT_NE(CELIO_Manager::getInstance()->loadInfo(path, modified, CEL_Context(), info),
                  CELIO_STATE_OK);
    }
    EXPECT_FALSE(messages.texts().isEmpty()); // each failure says why
}

TEST(FfmpegDecoderRefusals, AudioOnlyAndTruncatedClips) {
    if (!celtest::haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not found";
    MOV_registerFfmpegDecoders();
    celtest::TempDir dir;
    QXMessage::Capture messages;
    const QString audio = dir.path("audio.mov");
    run("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "sine=duration=1", "-c:a", "pcm_s16le", audio});
    EXPECT_EQ(CELMOV_MovieFrame(audio, 1).getFormat(), CEL_Representation::NONE);

    // An AVI cut in half, and a MOV of intra-only pictures with its sample table
    // first cut before the end of its pixels (its count is the table's: no packet
    // is read for it): the frames before the cut decode, the last one does not.
    const struct {
        const char* name;
        const char* encode;
        int keepSixths;
        bool fullCount;
    } cuts[] = {{"cut.avi", "-c:v mjpeg", 3, false},
                {"cut.mov", "-c:v prores_ks -movflags +faststart", 4, true}};
    for (const auto& c : cuts) {
        SCOPED_TRACE(c.name);
        const QString whole = dir.path(QStringLiteral("whole-") + c.name);
        run("ffmpeg", QStringLiteral("-v error %1 -frames:v 30 %2").arg(kOpaque, c.encode).split(' ')
                          << whole);
        const QByteArray bytes = celtest::readFile(whole);
        ASSERT_GT(bytes.size(), 1000);
        const QString cut = dir.path(c.name);
        celtest::writeFile(cut, bytes.left(bytes.size() * c.keepSixths / 6));
        CELMOV_MovieFrame movie(cut, 1);
        ASSERT_EQ(movie.getFormat(), CEL_Representation::MOVIE_FRAME);
        EXPECT_EQ(movie.movieNumberOfFrames() == 30, c.fullCount) << movie.movieNumberOfFrames();
        bool ok = false;
        std::unique_ptr<CEL_Representation>(movie.convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
        EXPECT_TRUE(ok);
        std::unique_ptr<CELMOV_MovieFrame> late(movie.cloneNewFrame(30));
        std::unique_ptr<CEL_Representation>(late->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
        EXPECT_FALSE(ok);
    }
}

} // namespace
