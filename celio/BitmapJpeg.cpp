#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <new>

// jpeglib.h needs size_t and FILE declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "celio/BitmapJpegDetail.h"
#include "pixel/PixelBuffer.h"
#include "pixel/Representation.h"

namespace CELIO_BitmapJpeg {

namespace {

// libjpeg reports errors through error_exit, which must not return: it jumps
// back to the setjmp of the job's steps function. Warnings and messages are
// dropped, so the library never prints.
struct ErrorManager {
    jpeg_error_mgr pub; // first: libjpeg sees only this
    std::jmp_buf jump;
};

[[noreturn]] void errorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}
void noMessage(j_common_ptr) {}
void noEmit(j_common_ptr, int) {}

jpeg_error_mgr* quietErrors(ErrorManager& e) {
    jpeg_std_error(&e.pub);
    e.pub.error_exit = errorExit;
    e.pub.output_message = noMessage;
    e.pub.emit_message = noEmit;
    return &e.pub;
}

// ------------------------------------------------------------------ encoding

constexpr std::size_t kFlush = 4096;

// The destination: a 4096-byte buffer flushed into a growing array.
struct Destination {
    jpeg_destination_mgr pub; // first: libjpeg sees only this
    std::vector<uint8_t>* out = nullptr;
    JOCTET buffer[kFlush];
};

bool flush(Destination* d, std::size_t n) noexcept {
    try {
        d->out->insert(d->out->end(), d->buffer, d->buffer + n);
        return true;
    } catch (...) { // no exception may cross libjpeg's frames
        return false;
    }
}

void initDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kFlush;
}

boolean emptyOutputBuffer(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    if (!flush(d, kFlush)) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    d->pub.next_output_byte = d->buffer;
    d->pub.free_in_buffer = kFlush;
    return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
    auto* d = reinterpret_cast<Destination*>(cinfo->dest);
    if (!flush(d, kFlush - d->pub.free_in_buffer)) ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
}

// Everything the steps after setjmp touch lives here, so that nothing in the
// steps' own frame needs to survive the jump.
struct EncodeJob {
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    Destination dest{};
    bool created = false;
    const uint8_t* pixels = nullptr;
    long long stride = 0;
    int width = 0, height = 0, components = 0, quality = 0;

    EncodeJob() = default;
    EncodeJob(const EncodeJob&) = delete;
    EncodeJob& operator=(const EncodeJob&) = delete;
    ~EncodeJob() {
        if (created) jpeg_destroy_compress(&cinfo);
    }
};

bool encodeSteps(EncodeJob* job) {
    jpeg_compress_struct& c = job->cinfo;
    c.err = quietErrors(job->err);
    if (setjmp(job->err.jump)) return false;
    jpeg_create_compress(&c);
    job->created = true;
    job->dest.pub.init_destination = initDestination;
    job->dest.pub.empty_output_buffer = emptyOutputBuffer;
    job->dest.pub.term_destination = termDestination;
    c.dest = &job->dest.pub;
    c.image_width = JDIMENSION(job->width);
    c.image_height = JDIMENSION(job->height);
    c.input_components = job->components;
    // Extended RGBA input skips the copy into RGB rows: libjpeg-turbo reads
    // the three colour bytes of each pixel where they are (same file bytes).
    c.in_color_space = job->components == 4 ? JCS_EXT_RGBA : JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, job->quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(job->pixels + (long long)c.next_scanline * job->stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    return true;
}

// ------------------------------------------------------------------ decoding

struct DecodeJob {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    bool created = false;
    const uint8_t* data = nullptr;
    std::size_t size = 0;
    std::unique_ptr<BM_UncompressedBitmap> bitmap;

    DecodeJob() = default;
    DecodeJob(const DecodeJob&) = delete;
    DecodeJob& operator=(const DecodeJob&) = delete;
    ~DecodeJob() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
};

// Whether the header describes an image worth decoding: a colour space that
// becomes RGB, pixels within the byte cap, and (Huffman coding) at least one
// bit of data for each 8 x 8 block of the component with the fewest blocks:
// every block's DC coefficient takes a code of one bit or more. A lying size
// is refused before anything is allocated for it. Arithmetic coding may spend
// less than a bit on a block, so there only the cap holds.
bool acceptable(const jpeg_decompress_struct& c, std::size_t size) {
    if (c.image_width == 0 || c.image_height == 0) return false;
    const bool colour =
        (c.num_components == 3 && (c.jpeg_color_space == JCS_YCbCr || c.jpeg_color_space == JCS_RGB));
    const bool grey = c.num_components == 1 && c.jpeg_color_space == JCS_GRAYSCALE;
    if (!colour && !grey) return false; // CMYK, YCCK and the rest
    unsigned long long bytes = 0;
    if (!CEL_PixelBuffer::byteSize((long long)c.image_width * c.image_height, 4, bytes) ||
        !CEL_PixelBuffer::withinLimit(bytes))
        return false;
    if (c.arith_code) return true;
    unsigned long long blocks = ULLONG_MAX;
    for (int i = 0; i < c.num_components; ++i)
        blocks = std::min(blocks, (unsigned long long)c.comp_info[i].width_in_blocks *
                                      c.comp_info[i].height_in_blocks);
    return (unsigned long long)size >= (blocks + 7) / 8;
}

bool decodeSteps(DecodeJob* job) {
    jpeg_decompress_struct& c = job->cinfo;
    c.err = quietErrors(job->err);
    if (setjmp(job->err.jump)) return false;
    jpeg_create_decompress(&c);
    job->created = true;
    // libjpeg's own buffers (whole-image coefficients of progressive files)
    // are held to the cap too: beyond it, it fails for want of backing store.
    c.mem->max_memory_to_use = long(std::min<unsigned long long>(CEL_Pixmap::maxPixmapBytes(), LONG_MAX));
    jpeg_mem_src(&c, job->data, static_cast<unsigned long>(job->size));
    if (jpeg_read_header(&c, TRUE) != JPEG_HEADER_OK || !acceptable(c, job->size)) return false;
    c.out_color_space = JCS_EXT_RGBA; // alpha comes out as 255
    job->bitmap.reset(new (std::nothrow) BM_UncompressedBitmap(
        BM_Bitmap::RGBA32, Math::Box2di(0, 0, int(c.image_width), int(c.image_height)), false));
    if (!job->bitmap || !job->bitmap->isValid()) return false;
    jpeg_start_decompress(&c);
    if (c.output_width != c.image_width || c.output_height != c.image_height || c.output_components != 4)
        return false;
    while (c.output_scanline < c.output_height) {
        JSAMPROW rows[16];
        const int n = int(std::min<JDIMENSION>(16, c.output_height - c.output_scanline));
        for (int i = 0; i < n; ++i) rows[i] = job->bitmap->row(int(c.output_scanline) + i);
        jpeg_read_scanlines(&c, rows, JDIMENSION(n));
    }
    // The pixels are all there: whatever follows them (trailing data that
    // finishing would read and might refuse) does not matter.
    return true;
}

} // namespace

bool encode(const uint8_t* pixels, long long stride, int width, int height, int components, int quality,
            std::vector<uint8_t>& out) {
    if (!pixels || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        (components != 3 && components != 4))
        return false;
    auto job = std::make_unique<EncodeJob>();
    job->dest.out = &out;
    job->pixels = pixels;
    job->stride = stride;
    job->width = width;
    job->height = height;
    job->components = components;
    job->quality = std::clamp(quality, 1, 100);
    return encodeSteps(job.get());
}

BM_UncompressedBitmap* decode(const uint8_t* data, std::size_t size) {
    if (!data || size == 0) return nullptr;
    auto job = std::make_unique<DecodeJob>();
    job->data = data;
    job->size = size;
    return decodeSteps(job.get()) ? job->bitmap.release() : nullptr;
}

} // namespace CELIO_BitmapJpeg
