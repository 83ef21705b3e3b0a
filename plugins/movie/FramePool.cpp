#include "plugins/movie/FramePool.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <sys/mman.h>

#include <cstdint>

namespace {

constexpr size_t kHugePage = size_t(2) << 20;
// libav's own pool leaves 16 + STRIDE_ALIGN - 1 bytes after each plane for
// its SIMD readers (STRIDE_ALIGN is 64 with AVX-512); planes start on 64.
constexpr long long kPlaneAlign = 64;
constexpr long long kPlaneSlack = 16 + 64;

void unmapPicture(void* opaque, uint8_t* data) {
    munmap(data, reinterpret_cast<size_t>(opaque));
}

AVBufferRef* mapPicture(size_t size) {
    const size_t bytes = (size + kHugePage - 1) & ~(kHugePage - 1);
    // Over-map by one huge page and trim, so that the picture starts on a
    // 2 MiB boundary and every one of its pages can be a huge one.
    void* raw = mmap(nullptr, bytes + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(raw) + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
    const size_t head = start - reinterpret_cast<uintptr_t>(raw);
    if (head) munmap(raw, head);
    if (kHugePage - head) munmap(reinterpret_cast<void*>(start + bytes), kHugePage - head);
    auto* data = reinterpret_cast<uint8_t*>(start);
#ifdef MADV_HUGEPAGE
    madvise(data, bytes, MADV_HUGEPAGE); // advice only: 4 KiB pages work as well
#endif
    AVBufferRef* ref = av_buffer_create(data, bytes, unmapPicture, reinterpret_cast<void*>(bytes), 0);
    if (!ref) munmap(data, bytes);
    return ref;
}

} // namespace

MOV_FramePool::~MOV_FramePool() {
    // Pictures still referenced keep the pool until they are released.
    av_buffer_pool_uninit(&m_pool);
}

void MOV_FramePool::install(AVCodecContext* codec, MOV_FramePool* pool) {
    // Only decoders that take their pictures from get_buffer2 (direct rendering).
    if (!(codec->codec->capabilities & AV_CODEC_CAP_DR1)) return;
    codec->opaque = pool;
    codec->get_buffer2 = getBuffer;
}

bool MOV_FramePool::prepare(AVCodecContext* codec, const AVFrame* frame) {
    if (m_pool && frame->format == m_format && frame->width == m_width && frame->height == m_height)
        return true;
    av_buffer_pool_uninit(&m_pool);
    m_format = frame->format;
    m_width = frame->width;
    m_height = frame->height;
    m_planes = 0;

    // Size and line alignment as libav's default allocator computes them: the
    // decoder may write the aligned area and read past the visible edges.
    const auto format = static_cast<AVPixelFormat>(frame->format);
    int w = frame->width, h = frame->height;
    int lineAlign[AV_NUM_DATA_POINTERS];
    avcodec_align_dimensions2(codec, &w, &h, lineAlign);
    for (;;) {
        if (av_image_fill_linesizes(m_linesize, format, w) < 0) return false;
        int unaligned = 0;
        for (int i = 0; i < 4; ++i) unaligned |= m_linesize[i] % lineAlign[i];
        if (!unaligned) break;
        w += w & ~(w - 1);
    }
    ptrdiff_t lines[4];
    for (int i = 0; i < 4; ++i) lines[i] = m_linesize[i];
    size_t sizes[4];
    if (av_image_fill_plane_sizes(sizes, format, h, lines) < 0) return false;
    long long total = 0;
    for (int i = 0; i < 4 && sizes[i]; ++i) {
        m_offset[i] = total;
        total += (static_cast<long long>(sizes[i]) + kPlaneSlack + kPlaneAlign - 1) & ~(kPlaneAlign - 1);
        m_planes = i + 1;
    }
    if (!m_planes) return false;
    // Small pictures stay in the heap: a huge page each would be mostly waste.
    m_pool = av_buffer_pool_init(static_cast<size_t>(total),
                                 static_cast<size_t>(total) < kHugePage / 2 ? av_buffer_allocz : mapPicture);
    return m_pool != nullptr;
}

int MOV_FramePool::getBuffer(AVCodecContext* codec, AVFrame* frame, int flags) {
    auto* self = static_cast<MOV_FramePool*>(codec->opaque);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    // Palettes, hardware frames and audio stay with libav's allocator.
    if (!self || !desc || (desc->flags & (AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)) ||
        codec->hw_frames_ctx || frame->width <= 0 || frame->height <= 0)
        return avcodec_default_get_buffer2(codec, frame, flags);

    std::lock_guard<std::mutex> lock(self->m_mutex);
    if (!self->prepare(codec, frame)) return avcodec_default_get_buffer2(codec, frame, flags);
    frame->buf[0] = av_buffer_pool_get(self->m_pool);
    if (!frame->buf[0]) return AVERROR(ENOMEM);
    for (int i = 0; i < AV_NUM_DATA_POINTERS; ++i) {
        frame->data[i] = i < self->m_planes ? frame->buf[0]->data + self->m_offset[i] : nullptr;
        frame->linesize[i] = i < self->m_planes ? self->m_linesize[i] : 0;
    }
    frame->extended_data = frame->data;
    return 0;
}
