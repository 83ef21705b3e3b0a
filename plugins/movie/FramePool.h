#pragma once
// The decoder's picture buffers. libav's default pool zero-fills each new
// buffer with memset and maps it page by page: extracting one frame from a
// GOP spends about a tenth of the process in those page faults. Here each
// picture is one anonymous mapping (all planes), aligned to 2 MiB and advised
// for transparent huge pages: fresh mappings are already zero, so a picture
// starts exactly as libav's would, and a 1080p picture takes two faults
// instead of eight hundred. Pictures under 1 MiB are zero-filled heap blocks
// as libav's. Buffers are recycled through an AVBufferPool, as libav does.
#include <mutex>

struct AVBufferPool;
struct AVCodecContext;
struct AVFrame;

class MOV_FramePool {
public:
    MOV_FramePool() = default;
    MOV_FramePool(const MOV_FramePool&) = delete;
    MOV_FramePool& operator=(const MOV_FramePool&) = delete;
    ~MOV_FramePool();

    // Makes `codec` take its pictures from `pool` (codec->opaque is set to it).
    // The pool must outlive the codec context; pictures still referenced after
    // that keep their own buffers.
    static void install(AVCodecContext* codec, MOV_FramePool* pool);

private:
    static int getBuffer(AVCodecContext* codec, AVFrame* frame, int flags);
    // The layout for the frame's format and size, the pool rebuilt when it changed.
    bool prepare(AVCodecContext* codec, const AVFrame* frame);

    std::mutex m_mutex; // getBuffer runs on the decoder's frame threads
    AVBufferPool* m_pool = nullptr;
    int m_format = -1, m_width = 0, m_height = 0;
    int m_linesize[4] = {};
    long long m_offset[4] = {}; // plane starts in the picture's mapping
    int m_planes = 0;
};
