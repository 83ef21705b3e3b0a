// Movie frames at 1920 x 1080, from clips ffmpeg makes at set-up (in the
// temporary folder, kept between runs): H.264 crf 18 with a keyframe every 24
// frames and with one keyframe in 120, ProRes 4444 with alpha (60 % everywhere), PNG in MOV.
// Each decode is the library's CELMOV_MovieFrame::convertToImpl to RGBA8:
// sequential (frames 1, 2, 3 ...) and seeded random order, ms per frame, with
// 1 and 2 decoder threads. The peer, in the same binary: plain libav
// (av_read_frame, avcodec, sws_scale to RGBA with the stream's matrix; random
// access: av_seek_frame backward, flush, decode up to the frame).
#ifdef CELCORE_BENCH_HAVE_MOVIE
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <memory>
#include <random>
#include <vector>

#include "cel/MovieFrame.h"
#include "plugins/movie/FfmpegMovieDecoder.h"

namespace {

struct ClipSpec {
    const char* name;
    int frames;
    const char* args;
};

const ClipSpec kClips[] = {
    {"h264-gop24.mp4", 120, "-c:v libx264 -crf 18 -g 24 -pix_fmt yuv420p"},
    {"h264-gop120.mp4", 120, "-c:v libx264 -crf 18 -g 120 -keyint_min 120 -sc_threshold 0 -pix_fmt yuv420p"},
    {"prores4444.mov", 48, "-c:v prores_ks -profile:v 4444 -pix_fmt yuva444p10le"},
    {"png.mov", 48, "-c:v png -pix_fmt rgba"},
};

QString clipPath(int i) {
    const QString dir = QDir::tempPath() + QStringLiteral("/celcore-bench-movie");
    QDir().mkpath(dir);
    const ClipSpec& c = kClips[i];
    const QString path = dir + QLatin1Char('/') + QLatin1String(c.name);
    if (!QFileInfo::exists(path)) {
        QStringList args = {"-v",
                            "error",
                            "-y",
                            "-f",
                            "lavfi",
                            "-i",
                            "testsrc2=size=1920x1080:rate=24,format=rgba,colorchannelmixer=aa=0.6",
                            "-frames:v",
                            QString::number(c.frames)};
        args += QString::fromLatin1(c.args).split(QLatin1Char(' '));
        args += path;
        QProcess::execute(QStringLiteral("ffmpeg"), args);
    }
    return path;
}

std::vector<int> frameOrder(int frames, bool random) {
    std::vector<int> order;
    std::mt19937 gen{28};
    for (int i = 0; i < frames; ++i) order.push_back(random ? int(gen() % unsigned(frames)) : i);
    return order;
}

void BM_MovieLibrary(benchmark::State& state) {
    const int clip = int(state.range(0));
    MOV_registerFfmpegDecoders();
    MOV_setFfmpegDecoderThreads(int(state.range(2)));
    CELMOV_MovieFrame movie(clipPath(clip), 1);
    if (!movie.hasDecoder()) return state.SkipWithError("no clip (ffmpeg missing?)");
    const std::vector<int> order = frameOrder(movie.movieNumberOfFrames(), state.range(1) != 0);
    size_t at = 0;
    for (auto _ : state) {
        std::unique_ptr<CELMOV_MovieFrame> f(movie.cloneNewFrame(order[at++ % order.size()] + 1));
        bool ok = false;
        std::unique_ptr<CEL_Representation> p(f->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
        if (!ok) return state.SkipWithError("decode failed");
    }
    state.SetLabel(kClips[clip].name);
}

// Plain libav: the frame with the given presentation index.
class PlainLibav {
public:
    explicit PlainLibav(const QString& path, int threads) {
        const QByteArray p = path.toUtf8();
        if (avformat_open_input(&m_fmt, p.constData(), nullptr, nullptr) < 0) return;
        avformat_find_stream_info(m_fmt, nullptr);
        m_stream = av_find_best_stream(m_fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        AVStream* st = m_fmt->streams[m_stream];
        const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
        m_ctx = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(m_ctx, st->codecpar);
        m_ctx->thread_count = threads;
        avcodec_open2(m_ctx, codec, nullptr);
        m_pkt = av_packet_alloc();
        m_frame = av_frame_alloc();
        while (av_read_frame(m_fmt, m_pkt) >= 0) { // the presentation times, for random access
            if (m_pkt->stream_index == m_stream) m_pts.push_back(m_pkt->pts);
            av_packet_unref(m_pkt);
        }
        std::sort(m_pts.begin(), m_pts.end());
        m_rgba.resize(size_t(m_ctx->width) * m_ctx->height * 4);
        m_next = int(m_pts.size()); // forces a seek first
    }
    ~PlainLibav() {
        sws_freeContext(m_sws);
        av_frame_free(&m_frame);
        av_packet_free(&m_pkt);
        avcodec_free_context(&m_ctx);
        avformat_close_input(&m_fmt);
    }
    int frames() const { return int(m_pts.size()); }
    bool decode(int index) {
        if (index != m_next) {
            av_seek_frame(m_fmt, m_stream, m_pts[size_t(index)], AVSEEK_FLAG_BACKWARD);
            avcodec_flush_buffers(m_ctx);
        }
        for (;;) {
            const int rc = avcodec_receive_frame(m_ctx, m_frame);
            if (rc == 0) {
                if (m_frame->pts < m_pts[size_t(index)]) continue;
                convert();
                m_next = index + 1;
                return true;
            }
            if (rc != AVERROR(EAGAIN)) return false;
            if (av_read_frame(m_fmt, m_pkt) < 0) {
                avcodec_send_packet(m_ctx, nullptr);
                continue;
            }
            if (m_pkt->stream_index == m_stream) avcodec_send_packet(m_ctx, m_pkt);
            av_packet_unref(m_pkt);
        }
    }

private:
    void convert() {
        m_sws = sws_getCachedContext(m_sws, m_frame->width, m_frame->height, AVPixelFormat(m_frame->format),
                                     m_frame->width, m_frame->height, AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr,
                                     nullptr, nullptr);
        int cs = m_frame->colorspace == AVCOL_SPC_UNSPECIFIED ? SWS_CS_DEFAULT : m_frame->colorspace;
        sws_setColorspaceDetails(m_sws, sws_getCoefficients(cs), m_frame->color_range == AVCOL_RANGE_JPEG,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        uint8_t* dst[4] = {m_rgba.data(), nullptr, nullptr, nullptr};
        const int stride[4] = {m_frame->width * 4, 0, 0, 0};
        sws_scale(m_sws, m_frame->data, m_frame->linesize, 0, m_frame->height, dst, stride);
    }
    AVFormatContext* m_fmt = nullptr;
    AVCodecContext* m_ctx = nullptr;
    SwsContext* m_sws = nullptr;
    AVPacket* m_pkt = nullptr;
    AVFrame* m_frame = nullptr;
    int m_stream = -1;
    int m_next = 0;
    std::vector<int64_t> m_pts;
    std::vector<uint8_t> m_rgba;
};

void BM_MoviePlainLibav(benchmark::State& state) {
    const int clip = int(state.range(0));
    PlainLibav peer(clipPath(clip), int(state.range(2)));
    if (peer.frames() == 0) return state.SkipWithError("no clip (ffmpeg missing?)");
    const std::vector<int> order = frameOrder(peer.frames(), state.range(1) != 0);
    size_t at = 0;
    for (auto _ : state)
        if (!peer.decode(order[at++ % order.size()])) return state.SkipWithError("decode failed");
    state.SetLabel(kClips[clip].name);
}

// Arguments: clip, random (0 sequential, 1 random), decoder threads.
void movieArgs(benchmark::internal::Benchmark* b) {
    for (int clip = 0; clip < 4; ++clip)
        for (int random = 0; random < 2; ++random)
            for (int threads : {1, 2}) b->Args({clip, random, threads});
}

} // namespace

BENCHMARK(BM_MovieLibrary)->Apply(movieArgs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_MoviePlainLibav)->Apply(movieArgs)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

#endif
