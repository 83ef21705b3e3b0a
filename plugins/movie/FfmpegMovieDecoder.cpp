#include "plugins/movie/FfmpegMovieDecoder.h"
#include "plugins/movie/FrameConvert.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <QFileInfo>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Message.h"
#include "cel/MovieFrame.h"
#include "pixel/Pixel.h"
#include "pixel/PixmapCanvas.h"
#include "pixel/Representation.h"

namespace {

std::atomic<int> g_threads{0};

// The one demuxer each extension may use.
const char* demuxerFor(const QString& path) {
    const QString ext = QFileInfo(path).suffix().toLower();
    if (ext == "mov" || ext == "mp4" || ext == "m4v") return "mov";
    if (ext == "mkv" || ext == "webm") return "matroska";
    if (ext == "avi") return "avi";
    if (ext == "mxf") return "mxf";
    return nullptr;
}

QString avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return QString::fromUtf8(text);
}

// The reason alone: the manager names the file in its own "unable to read" message.
void postFailure(const QString& reason) {
    MSG_Scope(reason, reason, 2).post(10);
}

// libav's own diagnostics: errors and worse become the library's messages.
void logToMessages(void* avcl, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[1024];
    int printPrefix = 0; // the text alone, without the component and its address
    av_log_format_line2(avcl, level, format, args, line, sizeof line, &printPrefix);
    QString text = QString::fromUtf8(line).trimmed();
    if (text.isEmpty()) return;
    MSG_Scope(text, text, 0).post();
}

// A video packet as the scan at open saw it, in decoding order.
struct Sample {
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    int64_t pos = -1;
    bool key = false;
};

bool samePacket(const Sample& s, const AVPacket* p) {
    if (s.pos >= 0 && p->pos >= 0) return s.pos == p->pos;
    if (s.dts != AV_NOPTS_VALUE && p->dts != AV_NOPTS_VALUE) return s.dts == p->dts;
    return s.pts != AV_NOPTS_VALUE && s.pts == p->pts;
}

class FfmpegDecoder final : public MOV_AbstractMovieDecoder {
public:
    ~FfmpegDecoder() override { close(); }

    bool open(const char* utf8Path, DecodeRequest* request, MovieInfo* info) override;
    bool decodeFrame(int index, void* buffer) override;
    bool frameDataAvailable(int frame) override { return frame >= 1 && frame <= frameCount(); }
    void releaseCaches() override { av_frame_unref(m_last); }
    bool fileCodecIsSupported(const QString& path) const override {
        FfmpegDecoder probe;
        DecodeRequest request;
        MovieInfo info;
        return probe.open(path.toUtf8().constData(), &request, &info);
    }

private:
    int frameCount() const { return static_cast<int>(m_ptsMode ? m_presentation.size() : m_samples.size()); }
    void close();
    bool openDemuxer(QString& reason);
    // Indexes the video packets: from the sample table where it suffices, else by reading them all.
    bool scan();
    // MOV/MP4 of intra-only pictures (ProRes, PNG, DNxHD ...): the samples
    // from the container's sample table, as libav's index holds it, without
    // reading a packet of pixels. False where the table leaves the numbering open.
    bool indexSamples();
    // The first video stream, -1 when there is none.
    int videoStream() const;
    // Whether the container's header says all open() needs without libav's probe.
    bool headerSuffices() const;
    // Whether a ProRes or PNG packet's picture carries alpha (false for the
    // other codecs headerSuffices() accepts, which never do).
    bool packetAlpha(const AVPacket* packet) const;
    // The decode index of the keyframe to start from for presentation index t.
    int startFor(int t) const;
    bool seekTo(int k);
    // Feeds the next video packet; false at the end of the file (the decoder is drained).
    bool feed();
    // Presentation index of a decoded frame, -1 when it is none of the indexed ones.
    int indexOf(const AVFrame* frame);
    bool convert(const AVFrame* frame, void* buffer);

    QString m_path;
    const char* m_demuxer = nullptr;
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    SwsContext* m_sws = nullptr;
    AVPacket* m_packet = nullptr;
    AVFrame* m_frame = nullptr;
    AVFrame* m_last = nullptr; // the last frame returned, for a repeated request
    int m_lastIndex = -1;      // its presentation index
    int m_stream = -1;
    int m_width = 0, m_height = 0; // decoded size
    bool m_alpha = false;
    bool m_probed = false; // libav's stream probe ran (else the header alone was read)

    std::vector<Sample> m_samples;       // video packets in decoding order
    bool m_ptsMode = false;              // the packets carry presentation times
    std::vector<int64_t> m_presentation; // their times, sorted (pts mode)

    bool m_positioned = false;            // the decoder state continues from m_nextFeed
    int m_nextFeed = 0;                   // decode index of the next packet to feed
    int m_outputs = 0;                    // presentation index of the next output (decode-order mode)
    int m_decodedIndex = -1;              // presentation index of the last frame the decoder output
    int64_t m_targetPts = AV_NOPTS_VALUE; // of the frame asked for (pts mode)
    bool m_drained = false;
    // The earliest presentation time of the packets from each decode index on
    // (pts mode; one more entry, past the last packet).
    std::vector<int64_t> m_laterPts;
    bool m_firstRequest = true; // no frame asked for since open()
    bool m_finishEarly = false; // this request drains once nothing later can precede the target
    // Drains the decoder after packet k was sent when this request may finish early.
    void drainIfTargetSent(int k);
};

int FfmpegDecoder::videoStream() const {
    for (unsigned i = 0; i < m_format->nb_streams; ++i) {
        const AVStream* st = m_format->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}

bool FfmpegDecoder::headerSuffices() const {
    if (std::strcmp(m_demuxer, "mov") != 0 && std::strcmp(m_demuxer, "matroska") != 0) return false;
    const int index = videoStream();
    if (index < 0) return false;
    const AVStream* st = m_format->streams[index];
    const AVCodecParameters* par = st->codecpar;
    if (par->width <= 0 || par->height <= 0 || st->avg_frame_rate.num <= 0 || st->avg_frame_rate.den <= 0)
        return false;
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
    case AV_CODEC_ID_HEVC:
    case AV_CODEC_ID_MPEG2VIDEO:
    case AV_CODEC_ID_MPEG4:
    case AV_CODEC_ID_AV1:
    case AV_CODEC_ID_VP8:
    case AV_CODEC_ID_VP9:
    case AV_CODEC_ID_DNXHD:
    case AV_CODEC_ID_PRORES:
    case AV_CODEC_ID_PNG:
        return true;
    default:
        return false;
    }
}

bool FfmpegDecoder::packetAlpha(const AVPacket* packet) const {
    const uint8_t* data = packet->data;
    const size_t size = static_cast<size_t>(packet->size);
    switch (m_format->streams[m_stream]->codecpar->codec_id) {
    case AV_CODEC_ID_PRORES:
        // Its size, "icpf", then the frame header, whose byte 17 holds the
        // alpha channel type in its low four bits (0: none).
        return size >= 8 + 18 && std::memcmp(data + 4, "icpf", 4) == 0 && (data[8 + 17] & 0x0f) != 0;
    case AV_CODEC_ID_PNG: {
        // A colour type with alpha (4, 6), or transparency (tRNS) before the pixels.
        if (size < 33 || std::memcmp(data + 12, "IHDR", 4) != 0) return false;
        if (data[25] & 4) return true;
        for (size_t at = 8; at + 8 <= size;) {
            const uint32_t length = uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 |
                                    uint32_t(data[at + 2]) << 8 | data[at + 3];
            const uint8_t* type = data + at + 4;
            if (std::memcmp(type, "tRNS", 4) == 0) return true;
            if (std::memcmp(type, "IDAT", 4) == 0 || length > size - at - 8) return false;
            at += 12 + size_t(length);
        }
        return false;
    }
    default:
        return false;
    }
}

void FfmpegDecoder::close() {
    sws_freeContext(m_sws);
    m_sws = nullptr;
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
    av_packet_free(&m_packet);
    av_frame_free(&m_frame);
    av_frame_free(&m_last);
    m_samples.clear();
    m_presentation.clear();
    m_positioned = false;
    m_lastIndex = -1;
    m_firstRequest = true;
}

bool FfmpegDecoder::openDemuxer(QString& reason) {
    avformat_close_input(&m_format);
    const AVInputFormat* input = av_find_input_format(m_demuxer);
    if (!input) {
        reason = QStringLiteral("no %1 demuxer in this libav").arg(m_demuxer);
        return false;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", input->name, 0);
    av_dict_set(&options, "enable_drefs", "0", 0);
    av_dict_set(&options, "use_absolute_path", "0", 0);
    const QByteArray url = "file:" + m_path.toUtf8();
    const int rc = avformat_open_input(&m_format, url.constData(), input, &options);
    av_dict_free(&options);
    if (rc < 0) {
        reason = avError(rc);
        return false;
    }
    return true;
}

bool FfmpegDecoder::open(const char* utf8Path, DecodeRequest* request, MovieInfo* info) {
    close();
    m_path = QString::fromUtf8(utf8Path);
    m_demuxer = demuxerFor(m_path);
    QString reason;
    auto fail = [&](const QString& why) {
        postFailure(why);
        close();
        return false;
    };
    if (!m_demuxer) return fail(QStringLiteral("not a movie extension"));
    if (!QFileInfo(m_path).isFile()) return fail(QStringLiteral("no such file"));
    if (!openDemuxer(reason)) return fail(reason);
    // libav's stream probe decodes the first frames to learn what the header
    // leaves open (a whole ProRes frame, more than the rest of a one-frame
    // extract costs). MOV and Matroska headers give the codec, size and rate;
    // for codecs whose pictures never carry alpha, and ProRes and PNG (whose
    // frames say it), that is all we need.
    m_probed = !headerSuffices();
    int rc = m_probed ? avformat_find_stream_info(m_format, nullptr) : 0;
    if (rc < 0) return fail(avError(rc));

    const AVCodec* codec = nullptr;
    m_stream = videoStream();
    if (m_stream < 0) return fail(QStringLiteral("no video stream"));
    AVStream* stream = m_format->streams[m_stream];
    codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return fail(QStringLiteral("no decoder for %1").arg(avcodec_get_name(stream->codecpar->codec_id)));

    const int movieWidth = stream->codecpar->width;
    const int movieHeight = stream->codecpar->height;
    if (movieWidth <= 0 || movieHeight <= 0) return fail(QStringLiteral("no frame size"));
    m_width = movieWidth;
    m_height = movieHeight;
    if (request && request->overridden && request->requestedWidth > 0 && request->requestedHeight > 0) {
        m_width = static_cast<int>(std::min<uint32_t>(request->requestedWidth, 1u << 30));
        m_height = static_cast<int>(std::min<uint32_t>(request->requestedHeight, 1u << 30));
    }
    const unsigned long long cap = CEL_Pixmap::maxPixmapBytes();
    const auto bytes = [](long long w, long long h) { return static_cast<unsigned long long>(w * h * 4); };
    if (bytes(m_width, m_height) > cap || bytes(movieWidth, movieHeight) > cap)
        return fail(
            QStringLiteral("frame of %1 x %2 over the pixmap byte cap").arg(movieWidth).arg(movieHeight));

    m_codec = avcodec_alloc_context3(codec);
    if (!m_codec) return fail(QStringLiteral("out of memory"));
    rc = avcodec_parameters_to_context(m_codec, stream->codecpar);
    if (rc < 0) return fail(avError(rc));
    m_codec->pkt_timebase = stream->time_base;
    // One thread per core by default (libav's own default adds one, which on a
    // short extract costs another set of frame buffers for nothing).
    const int threads = g_threads.load();
    m_codec->thread_count =
        threads > 0 ? threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    m_codec->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    AVDictionary* codecOptions = nullptr;
    av_dict_set_int(&codecOptions, "max_pixels",
                    static_cast<int64_t>(std::min<unsigned long long>(cap / 4, INT_MAX)), 0);
    rc = avcodec_open2(m_codec, codec, &codecOptions);
    av_dict_free(&codecOptions);
    if (rc < 0) return fail(avError(rc));

    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
    m_last = av_frame_alloc();
    if (!m_packet || !m_frame || !m_last) return fail(QStringLiteral("out of memory"));
    if (!scan()) return fail(QStringLiteral("no video frames"));

    if (m_probed) {
        const AVPixFmtDescriptor* desc =
            av_pix_fmt_desc_get(static_cast<AVPixelFormat>(stream->codecpar->format));
        m_alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    }

    info->movieWidth = movieWidth;
    info->movieHeight = movieHeight;
    info->decodedWidth = m_width;
    info->decodedHeight = m_height;
    AVRational rate = stream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
    info->frameRate = (rate.num > 0 && rate.den > 0) ? av_q2d(rate) : 24.0;
    info->numberOfFrames = frameCount();
    info->hasAlpha = m_alpha;
    info->codecName = QString::fromUtf8(avcodec_get_name(stream->codecpar->codec_id));
    return true;
}

bool FfmpegDecoder::indexSamples() {
    if (std::strcmp(m_demuxer, "mov") != 0) return false;
    AVStream* st = m_format->streams[m_stream];
    const AVCodecDescriptor* codec = avcodec_descriptor_get(st->codecpar->codec_id);
    if (!codec || !(codec->props & AV_CODEC_PROP_INTRA_ONLY)) return false;
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0) return false;
    std::vector<Sample> samples;
    samples.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        // Samples an edit list leaves out, or empty ones, shift the numbering:
        // the scan handles those.
        if (!e || (e->flags & AVINDEX_DISCARD_FRAME) || e->size <= 0 || e->pos < 0) return false;
        Sample s;
        s.dts = e->timestamp;
        s.pos = e->pos;
        s.key = true;
        samples.push_back(s);
    }
    m_samples = std::move(samples);
    m_ptsMode = false; // pictures neither reorder nor depend on others: decoding order is presentation order
    if (!m_probed) {
        // The one packet whose header tells whether the pictures carry alpha.
        while (av_read_frame(m_format, m_packet) >= 0) {
            const bool ours = m_packet->stream_index == m_stream && m_packet->size > 0;
            if (ours) m_alpha = packetAlpha(m_packet);
            av_packet_unref(m_packet);
            if (ours) break;
        }
    }
    return true;
}

bool FfmpegDecoder::scan() {
    m_samples.clear();
    m_presentation.clear();
    m_positioned = false;
    if (indexSamples()) return true;
    bool allPts = true;
    while (av_read_frame(m_format, m_packet) >= 0) {
        if (m_packet->stream_index == m_stream && m_packet->size > 0) {
            if (!m_probed && m_samples.empty()) m_alpha = packetAlpha(m_packet);
            Sample s;
            s.pts = m_packet->pts;
            s.dts = m_packet->dts;
            s.pos = m_packet->pos;
            s.key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
            if (s.pts == AV_NOPTS_VALUE) allPts = false;
            if (!(m_packet->flags & AV_PKT_FLAG_DISCARD)) m_presentation.push_back(s.pts);
            m_samples.push_back(s);
        }
        av_packet_unref(m_packet);
    }
    if (m_samples.empty()) return false;
    m_samples.front().key = true; // decoding starts there whatever the flag says
    std::sort(m_presentation.begin(), m_presentation.end());
    m_ptsMode =
        allPts && std::adjacent_find(m_presentation.begin(), m_presentation.end()) == m_presentation.end();
    if (!m_ptsMode) m_presentation.clear();
    m_laterPts.clear();
    if (m_ptsMode) {
        m_laterPts.resize(m_samples.size() + 1, INT64_MAX);
        for (size_t k = m_samples.size(); k-- > 0;)
            m_laterPts[k] = std::min(m_laterPts[k + 1], m_samples[k].pts);
    }
    m_positioned = false;
    return true;
}

int FfmpegDecoder::startFor(int t) const {
    int best = 0;
    if (m_ptsMode) {
        const int64_t target = m_presentation[static_cast<size_t>(t)];
        for (int k = 0; k < static_cast<int>(m_samples.size()); ++k) {
            const Sample& s = m_samples[static_cast<size_t>(k)];
            if (s.key && s.pts <= target) best = k;
        }
    } else {
        for (int k = 0; k <= t && k < static_cast<int>(m_samples.size()); ++k)
            if (m_samples[static_cast<size_t>(k)].key) best = k;
    }
    return best;
}

bool FfmpegDecoder::seekTo(int k) {
    const Sample& s = m_samples[static_cast<size_t>(k)];
    avcodec_flush_buffers(m_codec);
    m_drained = false;
    m_decodedIndex = -1;
    m_positioned = false;
    int64_t ts = s.dts;
    if (s.pts != AV_NOPTS_VALUE && (ts == AV_NOPTS_VALUE || s.pts < ts)) ts = s.pts;
    bool seeked = ts != AV_NOPTS_VALUE && av_seek_frame(m_format, m_stream, ts, AVSEEK_FLAG_BACKWARD) >= 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!seeked) {
            // From the start of the file: reopen the demuxer, which every format supports.
            QString reason;
            if (!openDemuxer(reason)) return false;
        }
        while (av_read_frame(m_format, m_packet) >= 0) {
            if (m_packet->stream_index != m_stream || m_packet->size <= 0) {
                av_packet_unref(m_packet);
                continue;
            }
            const bool found = samePacket(s, m_packet);
            if (found) {
                m_codec->skip_frame = AVDISCARD_DEFAULT;
                const int rc = avcodec_send_packet(m_codec, m_packet);
                av_packet_unref(m_packet);
                if (rc < 0 && rc != AVERROR_INVALIDDATA) return false;
                m_nextFeed = k + 1;
                m_outputs = k;
                m_positioned = true;
                drainIfTargetSent(k);
                return true;
            }
            av_packet_unref(m_packet);
        }
        seeked = false; // the seek landed past the keyframe: start over from the beginning
    }
    return false;
}

bool FfmpegDecoder::feed() {
    while (av_read_frame(m_format, m_packet) >= 0) {
        if (m_packet->stream_index != m_stream || m_packet->size <= 0) {
            av_packet_unref(m_packet);
            continue;
        }
        // On the way to the frame asked for, frames before it that nothing
        // refers to need not be decoded at all. Only where presentation times
        // name the frames: elsewhere every output is counted.
        if (m_ptsMode)
            m_codec->skip_frame = m_packet->pts != AV_NOPTS_VALUE && m_packet->pts < m_targetPts &&
                                          !(m_packet->flags & AV_PKT_FLAG_KEY)
                                      ? AVDISCARD_NONREF
                                      : AVDISCARD_DEFAULT;
        const int rc = avcodec_send_packet(m_codec, m_packet);
        av_packet_unref(m_packet);
        ++m_nextFeed;
        if (rc < 0 && rc != AVERROR_INVALIDDATA) return false;
        drainIfTargetSent(m_nextFeed - 1);
        return true;
    }
    avcodec_send_packet(m_codec, nullptr);
    m_drained = true;
    return false;
}

void FfmpegDecoder::drainIfTargetSent(int k) {
    if (!m_finishEarly || m_drained || static_cast<size_t>(k + 1) >= m_laterPts.size() ||
        m_laterPts[static_cast<size_t>(k + 1)] <= m_targetPts)
        return;
    avcodec_send_packet(m_codec, nullptr);
    m_drained = true;
}

int FfmpegDecoder::indexOf(const AVFrame* frame) {
    if (!m_ptsMode) return m_outputs++;
    int64_t pts = frame->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = frame->pts;
    const auto it = std::lower_bound(m_presentation.begin(), m_presentation.end(), pts);
    if (it == m_presentation.end() || *it != pts) return -1;
    return static_cast<int>(it - m_presentation.begin());
}

bool FfmpegDecoder::decodeFrame(int index, void* buffer) {
    if (!m_codec || index < 0 || index >= frameCount()) return false;
    if (index == m_lastIndex && m_last->data[0]) return convert(m_last, buffer);

    if (m_ptsMode) m_targetPts = m_presentation[static_cast<size_t>(index)];
    // The first frame asked for after opening is often the only one (a
    // thumbnail, a one-frame extract). Once its packet and every packet
    // presented before it were sent, draining hands it out at once, where
    // the decoder would otherwise decode as many later pictures as it
    // reorders over (and one per extra thread) first. The next request then
    // seeks: at most once per opening, whatever the access pattern.
    m_finishEarly = m_firstRequest && m_ptsMode;
    m_firstRequest = false;
    const int start = startFor(index);
    // Decode on when the decoder already passed the keyframe the target needs
    // and has not output the target yet; otherwise seek.
    // (A keyframe that is the next packet to feed needs no seek either: that
    // would only flush the pictures already in the decoder's threads.)
    const bool decodeOn = m_positioned && index > m_decodedIndex && start <= m_nextFeed;
    if (!decodeOn && !seekTo(start)) {
        m_positioned = false;
        return false;
    }
    for (;;) {
        const int rc = avcodec_receive_frame(m_codec, m_frame);
        if (rc == 0) {
            const int at = indexOf(m_frame);
            if (at < 0) {
                av_frame_unref(m_frame);
                continue;
            }
            m_decodedIndex = at;
            if (at == index) {
                av_frame_unref(m_last);
                av_frame_move_ref(m_last, m_frame);
                m_lastIndex = index;
                if (m_finishEarly && m_drained) m_positioned = false; // nothing follows in the decoder
                return convert(m_last, buffer);
            }
            av_frame_unref(m_frame);
            if (at > index) return false; // the frame is not in the stream as indexed
            continue;
        }
        if (rc == AVERROR(EAGAIN)) {
            if (m_drained || !feed()) {
                if (!m_drained) {
                    m_positioned = false;
                    return false;
                }
            }
            continue;
        }
        // The end of the stream, or an error: the next request seeks.
        m_positioned = false;
        return false;
    }
}

bool FfmpegDecoder::convert(const AVFrame* frame, void* buffer) {
    // Premultiplied where this frame has alpha: the frame's own format decides,
    // not the one seen at open, which the stream need not keep.
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const bool alpha = desc && (desc->flags & AV_PIX_FMT_FLAG_ALPHA);
    if (MOV_convertFrameToRgba8(frame, m_width, m_height, static_cast<uint8_t*>(buffer), alpha)) return true;
    const auto format = static_cast<AVPixelFormat>(frame->format);
    m_sws = sws_getCachedContext(m_sws, frame->width, frame->height, format, m_width, m_height,
                                 AV_PIX_FMT_RGBA, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!m_sws) return false;
    // The stream's matrix and range: libswscale's defaults (BT.601, limited)
    // would shift a BT.709 picture visibly.
    int colorspace = frame->colorspace;
    if (colorspace == AVCOL_SPC_UNSPECIFIED || colorspace == AVCOL_SPC_RESERVED) colorspace = SWS_CS_DEFAULT;
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    if (format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P ||
        format == AV_PIX_FMT_YUVJ440P)
        fullRange = true;
    const int* coefficients = sws_getCoefficients(colorspace);
    sws_setColorspaceDetails(m_sws, coefficients, fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                             0, 1 << 16, 1 << 16);
    uint8_t* dst[4] = {static_cast<uint8_t*>(buffer), nullptr, nullptr, nullptr};
    const int dstStride[4] = {m_width * 4, 0, 0, 0};
    if (sws_scale(m_sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride) <= 0) return false;
    if (alpha)
        MOV_premultiplyRgba8(static_cast<uint8_t*>(buffer), static_cast<size_t>(m_width) * size_t(m_height));
    return true;
}

class FfmpegFactory final : public MOV_AbstractMovieDecoder::Factory {
public:
    MOV_AbstractMovieDecoder* createDecoder() const override { return new FfmpegDecoder; }
    void aboutToRenameMovieFile(const QString&, const QString&, const QString&) const override {}
};

} // namespace

namespace {
void routeLibavLog() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(logToMessages); });
}
} // namespace

void MOV_registerFfmpegDecoders() {
    static std::once_flag once;
    std::call_once(once, [] {
        routeLibavLog();
        static FfmpegFactory factory;
        MOV_AbstractMovieDecoder::setFactory({"mov", "mp4", "m4v", "mkv", "webm", "avi", "mxf"}, &factory);
    });
}

MOV_AbstractMovieDecoder* MOV_ffmpegNewDecoder() {
    routeLibavLog();
    return new FfmpegDecoder;
}

void MOV_ffmpegSetThreads(int threads) {
    MOV_setFfmpegDecoderThreads(threads);
}

bool MOV_ffmpegEncode(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                      const QString& codec, int gop, QString& error) {
    routeLibavLog();
    return MOV_encodeFfmpegMovie(path, frames, rate, codec, gop, error);
}

void MOV_setFfmpegDecoderThreads(int threads) {
    g_threads = std::max(0, threads);
}

int MOV_ffmpegDecoderThreads() {
    return g_threads.load();
}

namespace {

// The encoder's pieces, released together.
struct Encoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    SwsContext* sws = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    bool opened = false;
    ~Encoder() {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        if (format) {
            if (opened) avio_closep(&format->pb);
            avformat_free_context(format);
        }
    }
    // Sends `in` (null: the end) and writes what comes out.
    int send(const AVFrame* in, AVStream* stream) {
        int rc = avcodec_send_frame(codec, in);
        while (rc >= 0) {
            rc = avcodec_receive_packet(codec, packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return 0;
            if (rc < 0) return rc;
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            rc = av_interleaved_write_frame(format, packet);
        }
        return rc;
    }
};

} // namespace

bool MOV_encodeFfmpegMovie(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                           const QString& codecName, int gop, QString& error) {
    if (frames.empty() || !frames.front() || rate <= 0) {
        error = QStringLiteral("no frames");
        return false;
    }
    const int w = frames.front()->width(), h = frames.front()->height();
    const bool png = codecName == QLatin1String("png");
    Encoder e;
    const QByteArray name = path.toUtf8();
    int rc = avformat_alloc_output_context2(&e.format, nullptr, nullptr, name.constData());
    if (rc < 0 || !e.format) {
        error = avError(rc);
        return false;
    }
    const AVCodec* codec =
        png ? avcodec_find_encoder(AV_CODEC_ID_PNG) : avcodec_find_encoder(AV_CODEC_ID_H264);
    if (!codec) {
        error = QStringLiteral("no %1 encoder in this libav").arg(codecName);
        return false;
    }
    AVStream* stream = avformat_new_stream(e.format, nullptr);
    e.codec = avcodec_alloc_context3(codec);
    e.frame = av_frame_alloc();
    e.packet = av_packet_alloc();
    if (!stream || !e.codec || !e.frame || !e.packet) {
        error = QStringLiteral("out of memory");
        return false;
    }
    e.codec->width = w;
    e.codec->height = h;
    e.codec->time_base = AVRational{1, rate};
    e.codec->framerate = AVRational{rate, 1};
    e.codec->pix_fmt = png ? AV_PIX_FMT_RGBA : AV_PIX_FMT_YUV420P;
    e.codec->gop_size = std::max(1, gop);
    e.codec->max_b_frames = png ? 0 : 2;
    if (!png) e.codec->colorspace = AVCOL_SPC_BT709, e.codec->color_range = AVCOL_RANGE_MPEG;
    if (e.format->oformat->flags & AVFMT_GLOBALHEADER) e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (!png) av_dict_set(&options, "crf", "18", 0);
    rc = avcodec_open2(e.codec, codec, &options);
    av_dict_free(&options);
    if (rc < 0 || (rc = avcodec_parameters_from_context(stream->codecpar, e.codec)) < 0) {
        error = avError(rc);
        return false;
    }
    stream->time_base = e.codec->time_base;
    if ((rc = avio_open(&e.format->pb, name.constData(), AVIO_FLAG_WRITE)) < 0) {
        error = avError(rc);
        return false;
    }
    e.opened = true;
    if ((rc = avformat_write_header(e.format, nullptr)) < 0) {
        error = avError(rc);
        return false;
    }
    e.frame->format = e.codec->pix_fmt;
    e.frame->width = w;
    e.frame->height = h;
    if ((rc = av_frame_get_buffer(e.frame, 0)) < 0) {
        error = avError(rc);
        return false;
    }
    e.sws =
        sws_getContext(w, h, AV_PIX_FMT_RGBA, w, h, e.codec->pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!e.sws) {
        error = QStringLiteral("no conversion to the encoder's pixels");
        return false;
    }
    if (!png)
        sws_setColorspaceDetails(e.sws, sws_getCoefficients(SWS_CS_DEFAULT), 1,
                                 sws_getCoefficients(SWS_CS_ITU709), 0, 0, 1 << 16, 1 << 16);
    for (size_t i = 0; i < frames.size(); ++i) {
        const CEL_PixmapRGBA8* p = frames[i];
        if (!p || !p->data() || p->width() != w || p->height() != h) {
            error = QStringLiteral("frame %1 differs in size").arg(i + 1);
            return false;
        }
        if ((rc = av_frame_make_writable(e.frame)) < 0) break;
        const uint8_t* src[4] = {reinterpret_cast<const uint8_t*>(p->data()), nullptr, nullptr, nullptr};
        const int srcStride[4] = {w * 4, 0, 0, 0};
        sws_scale(e.sws, src, srcStride, 0, h, e.frame->data, e.frame->linesize);
        e.frame->pts = static_cast<int64_t>(i);
        if ((rc = e.send(e.frame, stream)) < 0) break;
    }
    if (rc >= 0) rc = e.send(nullptr, stream);
    if (rc >= 0) rc = av_write_trailer(e.format);
    if (rc < 0) {
        error = avError(rc);
        return false;
    }
    return true;
}
