// Movie frames through a test decoder registered for a made-up extension. The
// "movie" file is a line "width height frames [alpha]"; frame i (0-based)
// decodes to pixels whose red is i and whose green is the pixel's column.

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "cel/MovieFrame.h"
#include "celio/Manager.h"
#include "celio/handlers/MovieHandler.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace {

struct DecoderLog {
    std::atomic<int> created{0}, opened{0}, lastAvailableFrame{-1}, lastDecodedIndex{-1};
    std::atomic<bool> overlapped{false};
};
DecoderLog g_log;

class TestDecoder final : public MOV_AbstractMovieDecoder {
public:
    bool open(const char* utf8Path, DecodeRequest* request, MovieInfo* info) override {
        QFile file(QString::fromUtf8(utf8Path));
        if (!file.open(QIODevice::ReadOnly)) return false;
        const QList<QByteArray> words = file.readLine().simplified().split(' ');
        if (words.size() < 3) return false;
        ++g_log.opened;
        m_frames = info->numberOfFrames = words[2].toInt();
        info->movieWidth = words[0].toInt(), info->movieHeight = words[1].toInt();
        info->hasAlpha = words.size() > 3, info->frameRate = 25.0, info->codecName = QStringLiteral("test");
        info->decodedWidth = request->overridden ? int(request->requestedWidth) : info->movieWidth;
        info->decodedHeight = request->overridden ? int(request->requestedHeight) : info->movieHeight;
        m_width = std::max(info->decodedWidth, 0), m_height = std::max(info->decodedHeight, 0);
        if (m_width == 0 || m_height == 0) m_width = m_height = 16;
        return true;
    }
    bool decodeFrame(int index, void* buffer) override {
        if (m_inside.fetch_add(1) != 0) g_log.overlapped = true;
        g_log.lastDecodedIndex = index;
        const bool ok = index >= 0 && index < m_frames;
        if (ok) {
            auto* p = static_cast<CEL_PixelRGBA8*>(buffer);
            for (int y = 0; y < m_height; ++y)
                for (int x = 0; x < m_width; ++x) *p++ = CEL_PixelRGBA8{uint8_t(index), uint8_t(x), 7, 255};
        } else {
            // A failing decoder may leave garbage behind: the frame must clear it.
            std::fill_n(static_cast<CEL_PixelRGBA8*>(buffer), m_width * m_height, CEL_PixelRGBA8{9, 9, 9, 9});
        }
        m_inside.fetch_sub(1);
        return ok;
    }
    bool frameDataAvailable(int frame) override {
        g_log.lastAvailableFrame = frame;
        return frame >= 1 && frame <= m_frames;
    }
    void releaseCaches() override {}
    bool oglDecodeFrame(UT_DynKey, int index, void* buffer) override { return decodeFrame(index, buffer); }
    bool audioSupported() const override { return true; }

private:
    int m_width = 0, m_height = 0, m_frames = 0;
    std::atomic<int> m_inside{0}; // threads inside decodeFrame right now
};

class TestFactory final : public MOV_AbstractMovieDecoder::Factory {
public:
    MOV_AbstractMovieDecoder* createDecoder() const override {
        ++g_log.created;
        return new TestDecoder;
    }
    void aboutToRenameMovieFile(const QString&, const QString&, const QString&) const override {}
};

class MovieFrameTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static TestFactory factory;
        static bool registered = false;
        if (!registered) MOV_AbstractMovieDecoder::setFactory({"tMov", "tclip"}, &factory);
        registered = true;
    }
    QString movie(const QString& name, const QByteArray& header) {
        const QString path = m_dir.path(name);
        EXPECT_TRUE(celtest::writeFile(path, header + "\n"));
        return path;
    }
    static CEL_Context frameContext(int frame) {
        return CEL_Context(false, false, false, nullptr, frame, QString(), 1.0);
    }
    celtest::TempDir m_dir;
};

TEST_F(MovieFrameTest, RegistryMatchesExtensionsInAnyCaseAndFramesWithoutDecoderAreInert) {
    EXPECT_TRUE(MOV_AbstractMovieDecoder::canCreateDecoderForExtension("tmov") &&
                MOV_AbstractMovieDecoder::canCreateDecoderForExtension("TCLIP"));
    EXPECT_FALSE(MOV_AbstractMovieDecoder::canCreateDecoderForExtension("mov"));
    EXPECT_NE(
        std::unique_ptr<MOV_AbstractMovieDecoder>(MOV_AbstractMovieDecoder::createDecoder("/a.b/clip.TMOV")),
        nullptr);
    EXPECT_EQ(MOV_AbstractMovieDecoder::createDecoder("/a.tmov/clip"), nullptr);

    // The manager serves the extensions; movies are not written.
    EXPECT_NE(CELIO_Manager::getInstance()->findHandler("TMOV"), nullptr);
    EXPECT_FALSE(CELIO_Manager::getInstance()->getWriteExtensions().contains("tmov", Qt::CaseInsensitive));

    // No factory, and a factory whose decoder does not open: both hold no decoder.
    for (const QString& path : {m_dir.path("clip.nomovie"), movie("bad.tmov", "junk")}) {
        CELMOV_MovieFrame frame(path, 3);
        EXPECT_EQ(frame.getFormat(), CEL_Representation::NONE);
        bool ok = true;
        EXPECT_TRUE(frame.convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok) == nullptr && !ok);
        EXPECT_FALSE(frame.isFrameDataAvailable() || frame.oglGetFrame(UT_DynKey(1)));
    }
}

TEST_F(MovieFrameTest, DecodesTheOneBasedFrameAndConverts) {
    CELMOV_MovieFrame frame(movie("clip.tmov", "5 3 10"), 1);
    EXPECT_EQ(frame.canvasRect(), Math::Box2di(0, 0, 5, 3));

    bool ok = false;
    std::unique_ptr<CEL_Representation> rep(frame.convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
    auto* pix = dynamic_cast<CEL_PixmapRGBA8*>(rep.get());
    ASSERT_TRUE(ok && pix);
    EXPECT_TRUE(g_log.lastDecodedIndex == 0 && pix->pixel(4, 2)->g == 4);

    // Frame availability gets the 1-based frame; clones keep it, cloneNewFrame changes it.
    std::unique_ptr<CELMOV_MovieFrame> last(frame.cloneNewFrame(10));
    EXPECT_TRUE(last->isFrameDataAvailable() && g_log.lastAvailableFrame == 10);
    std::unique_ptr<CELMOV_MovieFrame> copy(last->clone());
    std::unique_ptr<CEL_Representation> area(copy->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16));
    ASSERT_NE(dynamic_cast<CEL_PixmapAreaRGBA16*>(area.get()), nullptr);
    EXPECT_EQ(g_log.lastDecodedIndex, 9);

    // Past the end: the decode fails, the pixmap comes back cleared.
    std::unique_ptr<CELMOV_MovieFrame> beyond(frame.cloneNewFrame(11));
    EXPECT_FALSE(beyond->isFrameDataAvailable());
    rep.reset(beyond->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
    ASSERT_TRUE(!ok && rep);
    EXPECT_EQ(*static_cast<CEL_PixmapRGBA8*>(rep.get())->pixel(4, 2), (CEL_PixelRGBA8{0, 0, 0, 0}));

    // Keyed decoding goes through the keyed slot.
    std::unique_ptr<CEL_PixmapRGBA8> keyed(last->oglGetFrame(UT_DynKey(5)));
    EXPECT_TRUE(keyed && keyed->pixel(0, 0)->r == 9);
    EXPECT_FALSE(last->oglFrameDataAvailable(UT_DynKey(5))); // the default slot
}

TEST_F(MovieFrameTest, DecodedSizeIsOverriddenOnceForTheWholeMovie) {
    CELMOV_MovieFrame empty(movie("empty.tmov", "0 0 2"), 2); // no size: 16 x 16
    EXPECT_EQ(
        std::unique_ptr<CEL_Representation>(empty.convertTo(CEL_Representation::PIXMAP_RGBA8))->canvasRect(),
        Math::Box2di(0, 0, 16, 16));

    CELMOV_MovieFrame frame(movie("size.tmov", "8 6 3"), 1);
    std::unique_ptr<CELMOV_MovieFrame> other(frame.cloneNewFrame(2));
    const int opens = g_log.opened;
    frame.setDecodedSize(Math::Size2di(8, 6)); // the current size: nothing
    EXPECT_EQ(g_log.opened, opens);

    testing::internal::CaptureStdout();
    frame.setDecodedSize(Math::Size2di(4, 3));
    other->setDecodedSize(Math::Size2di(2, 2)); // already overridden
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "CELMOV_MovieFrame::setDecodedSize overriding current value\n");
    EXPECT_TRUE(g_log.opened == opens + 1 && frame.movieSize() == Math::Size2di(8, 6));
    std::unique_ptr<CEL_Representation> rep(other->convertTo(CEL_Representation::PIXMAP_RGBA8));
    EXPECT_EQ(rep->canvasRect(), Math::Box2di(0, 0, 4, 3));

    // Objects are shared by the movie's frames, and held weakly.
    UT_SharedPtr<UT_SharedWeakBase> object(new UT_SharedWeakBase);
    const UT_DynKey key;
    frame.setObject(key, UT_SharedWeakPtr<UT_SharedWeakBase>(object.get()));
    EXPECT_EQ(other->getObject(key).get(), object.get());
    object = nullptr;
    EXPECT_TRUE(other->getObject(key).expired());
}

TEST_F(MovieFrameTest, HandlerReadsFramesAndSharesTheDecoderPerThread) {
    const QString path = movie("seq.tmov", "4 4 12 alpha");
    QXMessage::Capture messages; // failed reads post "unable to read"
    CELIO_Manager* manager = CELIO_Manager::getInstance();

    CELIO_Info info;
    QDateTime modified;
    EXPECT_EQ(manager->loadInfo(path, modified, CEL_Context(), info), CELIO_STATE_OK);
    EXPECT_TRUE(info.channels == 4u && info.description == "test, 12 frames, 25 fps");

    const int created = g_log.created;
    for (int frame : {0, 11, 5}) {
        CELIO_RepresentationList list;
        ASSERT_TRUE(manager->read(path, modified, frameContext(frame), list));
        auto* movieFrame = list.size() == 1 ? dynamic_cast<CELMOV_MovieFrame*>(list.front().get()) : nullptr;
        ASSERT_NE(movieFrame, nullptr);
        EXPECT_EQ(movieFrame->getFrame(), frame + 1);
    }
    EXPECT_EQ(g_log.created, created); // one decoder served the info and all reads

    // Out of range: the context's frame is 0-based.
    CELIO_RepresentationList list;
    EXPECT_FALSE(manager->read(path, modified, frameContext(12), list) ||
                 manager->read(path, modified, frameContext(-1), list) || !list.empty());

    // A changed file is opened again.
    ASSERT_TRUE(celtest::writeFile(path, "4 4 3 longer header\n"));
    EXPECT_TRUE(!manager->read(path, modified, frameContext(11), list) && g_log.created == created + 1);

    // Not a movie, and a movie with no frames.
    EXPECT_EQ(manager->loadInfo(movie("junk.tmov", "x"), modified, CEL_Context(), info), CELIO_STATE_FAILED);
    EXPECT_FALSE(manager->read(movie("none.tmov", "2 2 0"), modified, frameContext(0), list));
}

TEST_F(MovieFrameTest, ThreadsDecodingOneMovieAreSerialised) {
    CELMOV_MovieFrame frame(movie("threads.tmov", "32 32 40"), 1);
    CELMOV_MovieFrame second(movie("threads2.tmov", "16 8 40"), 1);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 1; i <= 40; ++i) {
                const CELMOV_MovieFrame& movie = (t == 3 && i % 2) ? second : frame;
                std::unique_ptr<CELMOV_MovieFrame> f(movie.cloneNewFrame(i));
                bool ok = false;
                std::unique_ptr<CEL_Representation> rep(
                    f->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
                const auto* pix = static_cast<CEL_PixmapRGBA8*>(rep.get());
                if (!ok || pix->pixel(0, 0)->r != i - 1) ++wrong;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(g_log.overlapped);
}

} // namespace
