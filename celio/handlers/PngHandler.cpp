#include "celio/handlers/PngHandler.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <array>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <png.h>
#include <sys/stat.h>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/FileSpec.h"
#include "base/Message.h"
#include "base/Persistent.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/MemoryFile.h"
#include "celio/ReadLimits.h"
#include "celio/handlers/PngEncodeDetail.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

namespace {

const char* const kContext = "QXCelUioPngHandler";
constexpr int kWriteFailedCode = 20;

// ---------------------------------------------------------------------------
// libpng plumbing. libpng reports errors by longjmp to the jump buffer of the
// structure. Everything that may be jumped over lives in the small plain
// functions below: they hold no object with a destructor, and every value
// they produce goes through the job record the caller owns, so nothing is
// lost or leaked when a jump lands. The callers keep their C++ objects
// (pixmaps, row tables, file closers) in their own frames, outside the jump.

void ignoreWarning(png_structp, png_const_charp) {}

[[noreturn]] void jumpOnError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

// Where the decoder's bytes come from: an open file or a caller's buffer. The
// count of bytes taken tells what is left for the pixel data.
struct Input {
    FILE* file = nullptr;
    const uint8_t* data = nullptr;
    uint64_t size = CELIO_ImageClaim::Unknown; // of the whole file; Unknown for a pipe
    uint64_t taken = 0;

    uint64_t left() const { return size == CELIO_ImageClaim::Unknown ? size : size - std::min(size, taken); }
};

void readFromInput(png_structp png, png_bytep data, size_t length) {
    Input* in = static_cast<Input*>(png_get_io_ptr(png));
    if (in->file) {
        if (std::fread(data, 1, length, in->file) != length) png_error(png, "Read Error");
    } else {
        if (length > in->left()) png_error(png, "Read Error");
        std::memcpy(data, in->data + in->taken, length);
    }
    in->taken += length;
}

template <class Job> bool runGuarded(Job* job, void (*body)(Job*)) {
    if (setjmp(png_jmpbuf(job->png))) return false;
    body(job);
    return true;
}

// ---------------------------------------------------------------------------
// Reading

struct ReadJob {
    Input* input = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    int passes = 1;
    size_t rowBytes = 0;
    png_bytepp rows = nullptr;                      // one pointer per row into the pixmap's buffer
    celio_detail::png::EarlyBands* early = nullptr; // told of the rows as they are decoded
};

// 16-bit big-endian file samples, in place, to 0..32767: v * 32767 / 65535
// truncated, which is v / 2 rounded down, less one for even non-zero v.
void convertSamples16(png_bytep row, size_t samples) {
    uint16_t* s = reinterpret_cast<uint16_t*>(row);
    for (size_t i = 0; i < samples; ++i) {
        uint16_t v = s[i];
        if constexpr (std::endian::native == std::endian::little) v = uint16_t((v << 8) | (v >> 8));
        s[i] = uint16_t((v >> 1) - ((~v & 1) & (v != 0)));
    }
}

void readHeaderBody(ReadJob* job) {
    png_structp png = job->png;
    png_infop info = job->info;
    png_set_read_fn(png, job->input, readFromInput);
    // Any size the format allows gets as far as our own check of the claim
    // (plausibleClaim), which also weighs it against the file's bytes.
    png_set_user_limits(png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
    // Ancillary chunks (text, Exif, colour profiles) give nothing to the
    // pixels read here, and libpng takes some of them whole into memory before
    // testing their checksum, whatever length they claim: they are skipped.
    // IHDR, PLTE, tRNS, IDAT and IEND are read as ever.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Fuzzing builds only: nearly every mutated file would fail a checksum at
    // its first chunk, and the decoding behind the checks would go unsearched.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
    png_read_info(png, info);
    png_get_IHDR(png, info, &job->width, &job->height, &job->bitDepth, &job->colorType, &job->interlace,
                 nullptr, nullptr);
}

// The transformations to RGBA; libpng allocates its row buffers here.
void readTransformsBody(ReadJob* job) {
    png_structp png = job->png;
    png_infop info = job->info;
    const int depth = job->bitDepth;
    const int type = job->colorType;
    if (depth > 8) png_set_expand_16(png);
    if (depth < 8) png_set_packing(png);
    if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
    // The black/white exchange of 1-bit grey is done after decoding: libpng
    // expands grey to RGB before its own mono inversion, which then no longer
    // applies to the row.
    if (type == PNG_COLOR_TYPE_GRAY || type == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
    if ((type & PNG_COLOR_MASK_ALPHA) == 0)
        png_set_filler(png, depth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
    job->passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    job->rowBytes = png_get_rowbytes(png, info);
}

void readRows8Body(ReadJob* job) {
    if (job->early) {
        // Non-interlaced rows are final as they come: the encoder may take
        // them a few at a time (the checksums are still tested at the end).
        constexpr png_uint_32 kStep = 16;
        for (png_uint_32 y = 0; y < job->height; ++y) {
            png_read_row(job->png, job->rows[y], nullptr);
            if ((y + 1) % kStep == 0) job->early->publish(y + 1);
        }
        job->early->publish(job->height);
    } else {
        png_read_image(job->png, job->rows);
    }
    png_read_end(job->png, nullptr);
}

void readRows16Body(ReadJob* job) {
    const size_t samples = size_t(job->width) * 4;
    if (job->passes > 1) {
        png_read_image(job->png, job->rows);
        for (png_uint_32 y = 0; y < job->height; ++y) convertSamples16(job->rows[y], samples);
    } else {
        // Row by row, so that each row is converted while it is still in cache.
        for (png_uint_32 y = 0; y < job->height; ++y) {
            png_read_row(job->png, job->rows[y], nullptr);
            convertSamples16(job->rows[y], samples);
        }
    }
    png_read_end(job->png, nullptr);
}

struct ReadStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~ReadStructs() {
        if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
};

struct FileCloser {
    FILE* file = nullptr;
    bool owned = true;
    ~FileCloser() {
        if (file && owned) std::fclose(file);
    }
};

void invertColour(CEL_PixelRGBA8* p, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        p[i].r = uint8_t(255 - p[i].r);
        p[i].g = uint8_t(255 - p[i].g);
        p[i].b = uint8_t(255 - p[i].b);
    }
}

// Samples per pixel as the file stores them.
int fileChannels(int colorType) {
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
        return 2;
    case PNG_COLOR_TYPE_RGB:
        return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
        return 4;
    default: // grey, palette indices
        return 1;
    }
}

// Whether the file can hold the pixmap its header claims: the rows, each a
// filter byte and its packed samples, come out of zlib, which expands its
// input at most 1032 times.
bool plausibleClaim(const ReadJob& job, uint64_t pixelBytes) {
    const CELIO_ImageClaim claim(job.width, job.height, 1, pixelBytes);
    const uint64_t rowBits =
        uint64_t(job.width) * uint64_t(fileChannels(job.colorType)) * uint64_t(job.bitDepth);
    const uint64_t rawRow = 1 + (rowBits + 7) / 8;
    const uint64_t raw = rawRow > CELIO_ImageClaim::Unknown / std::max<uint64_t>(job.height, 1)
                             ? CELIO_ImageClaim::Unknown
                             : rawRow * job.height;
    return claim.checkInput("png", job.input->left(), CELIO_ImageClaim::minimumInput(raw, {1032, 1}));
}

// A write-ahead scope of this thread (defined with the writers below).
struct AheadState;
celio_detail::png::EarlyBands* startAhead(AheadState* ahead, const CEL_PixmapRGBA8& pixmap);
void endAhead(AheadState* ahead);

template <class Pixmap> std::unique_ptr<Pixmap> decodeInto(ReadJob& job, AheadState* ahead = nullptr) {
    constexpr size_t pixelBytes = sizeof(std::remove_pointer_t<decltype(std::declval<Pixmap&>().data())>);
    if (job.rowBytes != size_t(job.width) * pixelBytes) return nullptr;
    if (job.width > png_uint_32(INT32_MAX) || job.height > png_uint_32(INT32_MAX)) return nullptr;
    // The pixmap checks the size against the process-wide cap before allocating.
    auto pixmap = std::make_unique<Pixmap>(Math::Size2di(int(job.width), int(job.height)),
                                           typename Pixmap::DoNotMemset());
    if (!pixmap->data()) return nullptr;
    std::vector<png_bytep> rows(job.height);
    png_bytep base = reinterpret_cast<png_bytep>(pixmap->data());
    for (png_uint_32 y = 0; y < job.height; ++y) rows[y] = base + size_t(y) * job.rowBytes;
    job.rows = rows.data();
    if constexpr (std::is_same_v<Pixmap, CEL_PixmapRGBA8>)
        if (ahead) job.early = startAhead(ahead, *pixmap);
    const bool ok = pixelBytes == 8 ? runGuarded(&job, readRows16Body) : runGuarded(&job, readRows8Body);
    job.rows = nullptr;
    job.early = nullptr;
    if (!ok) {
        if (ahead) endAhead(ahead); // before the rows it reads are freed
        return nullptr;
    }
    return pixmap;
}

// ---------------------------------------------------------------------------
// Writing. The encoder (PngEncodeDetail.h) asks for the file's rows one at a
// time, on its own threads: each is made from the pixmap as it is needed, so
// no converted copy of the picture is ever held.

namespace png = celio_detail::png;

struct RowContext {
    const void* pixels = nullptr;
    uint32_t width = 0;
};

template <class P> const P* pixelsOf(const void* context, uint32_t y) {
    const auto* c = static_cast<const RowContext*>(context);
    return static_cast<const P*>(c->pixels) + size_t(y) * c->width;
}

uint32_t widthOf(const void* context) {
    return static_cast<const RowContext*>(context)->width;
}

// 16-bit files: 0..32767 to big-endian 0..65535, s * 65535 / 32767 truncated,
// 0 for s <= 0, which is 2s, plus one for full scale. Colour stays premultiplied.
inline void putSample16(uint8_t* out, int16_t s) {
    const uint32_t v = s <= 0 ? 0u : uint32_t(2 * s + (s == 32767));
    out[0] = uint8_t(v >> 8);
    out[1] = uint8_t(v);
}

template <bool Alpha> void rows16(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA16* p = pixelsOf<CEL_PixelRGBA16>(context, y);
    const uint32_t w = widthOf(context);
    if constexpr (Alpha) {
        // Every sample in order: one plain loop over the row's samples.
        const int16_t* s = &p->r;
        for (size_t i = 0, n = size_t(w) * 4; i < n; ++i) putSample16(out + 2 * i, s[i]);
    } else {
        for (uint32_t x = 0; x < w; ++x, out += 6) {
            putSample16(out, p[x].r);
            putSample16(out + 2, p[x].g);
            putSample16(out + 4, p[x].b);
        }
    }
}

// 8-bit files store each channel c of the 16-bit pixmap as c >> 7 (0 below 0).
// "PNG4" un-premultiplies first: with m the largest of r, g, b and a, each
// colour becomes min(c * 32767 / m, 32767) and alpha m, unless m is 0 or
// 32767. Since c <= m, the stored colour is c * 32767 / (128 m) in integers.
//
// The 16-bit values of an 8-bit pixmap are from8(v), and from8(v) >> 7 is v:
// its samples are stored as they are, and un-premultiplying needs only a table
// by (m, c) of 8-bit values (m from8-monotonic, so the largest sample gives m).

void rgb8From16(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA16* p = pixelsOf<CEL_PixelRGBA16>(context, y);
    const auto s = [](int16_t v) { return uint8_t(std::max<int>(v, 0) >> 7); };
    for (uint32_t x = 0, w = widthOf(context); x < w; ++x, out += 3) {
        out[0] = s(p[x].r);
        out[1] = s(p[x].g);
        out[2] = s(p[x].b);
    }
}

// Each pixel's word stored whole, its alpha byte overwritten by the next
// pixel (the encoder's rows have room past their end).
void rgb8From8(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA8* p = pixelsOf<CEL_PixelRGBA8>(context, y);
    for (uint32_t x = 0, w = widthOf(context); x < w; ++x, out += 3) std::memcpy(out, p + x, 4);
}

// k[m] = 32767 / (128 m) in double. c * k[m] is within 2^-44 of the exact
// quotient, whose distance to the next integer, when it is not one, is at
// least 1 / (128 m) >= 2^-22: adding 2^-30 before truncating gives the integer
// quotient in every case.
const double* unpremultiplyFactors16() {
    static const std::unique_ptr<double[]> k = [] {
        auto t = std::make_unique<double[]>(32768);
        for (int m = 1; m < 32768; ++m) t[m] = 32767.0 / (128.0 * m);
        return t;
    }();
    return k.get();
}

// Every sample as c >> 7 first (one plain loop); then, a block of pixels at a
// time, the pixels that are neither opaque nor without any positive sample
// (the only ones where that is not the result) are redone.
void rgba8From16(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA16* p = pixelsOf<CEL_PixelRGBA16>(context, y);
    const uint32_t w = widthOf(context);
    const int16_t* s = &p->r;
    for (size_t i = 0, n = size_t(w) * 4; i < n; ++i) out[i] = uint8_t(std::max<int>(s[i], 0) >> 7);
    const double* k = unpremultiplyFactors16();
    constexpr double nudge = 0x1p-30;
    constexpr uint32_t kBlock = 16;
    for (uint32_t x0 = 0; x0 < w; x0 += kBlock) {
        const uint32_t x1 = std::min(w, x0 + kBlock);
        int others = 0;
        for (uint32_t x = x0; x < x1; ++x)
            others |= int(p[x].a != 32767) & int((p[x].r > 0) | (p[x].g > 0) | (p[x].b > 0) | (p[x].a > 0));
        if (others == 0) continue;
        for (uint32_t x = x0; x < x1; ++x) {
            const int r = std::max<int>(p[x].r, 0), g = std::max<int>(p[x].g, 0);
            const int b = std::max<int>(p[x].b, 0), a = std::max<int>(p[x].a, 0);
            const int m = std::max(std::max(r, g), std::max(b, a));
            uint8_t* o = out + size_t(x) * 4;
            if (m != 32767 && m != 0) {
                const double f = k[m];
                o[0] = uint8_t(int(r * f + nudge));
                o[1] = uint8_t(int(g * f + nudge));
                o[2] = uint8_t(int(b * f + nudge));
            }
            o[3] = uint8_t(m >> 7);
        }
    }
}

// A colour by the 8-bit writers' division (QXCelUioPngHandler::straight8).
uint8_t straightFrom16(int v, int a) {
    v = std::max(v, 0);
    const int m = std::max(v, std::max(a, 0));
    if (m == 32767 || m == 0) return uint8_t(v >> 7);
    return uint8_t(int(v * unpremultiplyFactors16()[m] + 0x1p-30)); // as rgba8From16
}

const uint8_t* unpremultiplyTable8() {
    static const std::unique_ptr<uint8_t[]> table = [] {
        auto t = std::make_unique<uint8_t[]>(256 * 256);
        for (uint32_t m = 1; m < 255; ++m)
            for (uint32_t c = 0; c <= m; ++c)
                t[m * 256 + c] = uint8_t(uint32_t(CEL_PixelRule::from8(uint8_t(c))) * 32767u /
                                         (uint32_t(CEL_PixelRule::from8(uint8_t(m))) * 128u));
        return t;
    }();
    return table.get();
}

// Pixels that are transparent black or opaque are stored as they are: the row
// is copied whole, then the others are un-premultiplied in place, found a
// block of pixels at a time (a loop the compiler vectorises).
void rgba8From8(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA8* p = pixelsOf<CEL_PixelRGBA8>(context, y);
    const uint32_t w = widthOf(context);
    std::memcpy(out, p, size_t(w) * 4);
    const auto* words = reinterpret_cast<const uint8_t*>(p);
    const uint8_t* table = unpremultiplyTable8();
    constexpr uint32_t kBlock = 16;
    static const uint32_t kAlphaBits = [] { // the alpha byte's bits in a pixel's word
        const CEL_PixelRGBA8 opaque{0, 0, 0, 255};
        uint32_t bits;
        std::memcpy(&bits, &opaque, 4);
        return bits;
    }();
    for (uint32_t x0 = 0; x0 < w; x0 += kBlock) {
        const uint32_t x1 = std::min(w, x0 + kBlock);
        uint32_t others = 0;
        for (uint32_t x = x0; x < x1; ++x) {
            uint32_t v;
            std::memcpy(&v, words + size_t(x) * 4, 4);
            others |= uint32_t(v != 0) & uint32_t((v & kAlphaBits) != kAlphaBits);
        }
        if (others == 0) continue;
        for (uint32_t x = x0; x < x1; ++x) {
            const CEL_PixelRGBA8 v = p[x];
            const uint8_t m = std::max(std::max(v.r, v.g), std::max(v.b, v.a));
            if (m == 0 || v.a == 255) continue;
            uint8_t* o = out + size_t(x) * 4;
            if (m == 255) {
                o[3] = 255; // colour at full scale: kept, alpha raised to it
            } else {
                const uint8_t* t = table + size_t(m) * 256;
                o[0] = t[v.r], o[1] = t[v.g], o[2] = t[v.b], o[3] = m;
            }
        }
    }
}

// Straight pixels as they are, the colour of transparent ones cleared (found a
// block at a time, as above).
void straightRgba8(const void* context, uint32_t y, uint8_t* out) {
    const CEL_PixelRGBA8* p = pixelsOf<CEL_PixelRGBA8>(context, y);
    const uint32_t w = widthOf(context);
    std::memcpy(out, p, size_t(w) * 4);
    constexpr uint32_t kBlock = 16;
    for (uint32_t x0 = 0; x0 < w; x0 += kBlock) {
        const uint32_t x1 = std::min(w, x0 + kBlock);
        uint32_t hidden = 0;
        for (uint32_t x = x0; x < x1; ++x)
            hidden |= uint32_t(p[x].a == 0) & uint32_t((p[x].r | p[x].g | p[x].b) != 0);
        if (hidden == 0) continue;
        for (uint32_t x = x0; x < x1; ++x)
            if (p[x].a == 0) std::memset(out + size_t(x) * 4, 0, 4);
    }
}

// Whether "PNG4" keeps alpha: some pixel's largest channel is below full
// scale, that is no channel of it is at full scale. Counted a block at a time
// in loops the compiler vectorises.
bool someNotFull(const CEL_PixmapRGBA16& p) {
    // A 16-bit lane at 32767 is a zero lane of the word xor 0x7fff7fff; a
    // pixel is two such words.
    const size_t n = size_t(p.width()) * size_t(p.height());
    const auto* words = reinterpret_cast<const uint8_t*>(p.data());
    const auto fullLane = [](uint32_t v) {
        const uint32_t x = v ^ 0x7fff7fffu;
        return (x - 0x00010001u) & ~x & 0x80008000u;
    };
    constexpr size_t kBlock = 4096;
    for (size_t i = 0; i < n; i += kBlock) {
        uint32_t without = 0;
        for (size_t k = i, end = std::min(n, i + kBlock); k < end; ++k) {
            uint32_t low, high;
            std::memcpy(&low, words + k * 8, 4);
            std::memcpy(&high, words + k * 8 + 4, 4);
            without += (fullLane(low) | fullLane(high)) == 0;
        }
        if (without != 0) return true;
    }
    return false;
}

bool someNotFull(const CEL_PixmapRGBA8& p) {
    // A word of four 8-bit samples has one at 255 when its complement has a zero byte.
    const size_t n = size_t(p.width()) * size_t(p.height());
    const auto* words = reinterpret_cast<const uint8_t*>(p.data());
    constexpr size_t kBlock = 8192;
    for (size_t i = 0; i < n; i += kBlock) {
        uint32_t without = 0;
        for (size_t k = i, end = std::min(n, i + kBlock); k < end; ++k) {
            uint32_t v;
            std::memcpy(&v, words + k * 4, 4);
            without += ((~v - 0x01010101u) & v & 0x80808080u) == 0;
        }
        if (without != 0) return true;
    }
    return false;
}

bool someNotFullAlpha(const CEL_PixelRGBA8* p, size_t n) {
    constexpr size_t kBlock = 8192;
    for (size_t i = 0; i < n; i += kBlock) {
        uint32_t translucent = 0;
        for (size_t k = i, end = std::min(n, i + kBlock); k < end; ++k)
            translucent |= uint32_t(p[k].a != 255);
        if (translucent != 0) return true;
    }
    return false;
}

bool someNotFullAlpha(const CEL_PixmapRGBA8& p) {
    return someNotFullAlpha(p.data(), size_t(p.width()) * size_t(p.height()));
}

// writeStraight8's choice for a picture like the first `rowsIn` rows. Only a
// picture with translucent pixels among them is compressed ahead: an opaque
// one goes to the premultiplied writer when the tool converts it.
bool guessStraight8(const void* context, uint32_t rowsIn, png::Image& image) {
    const auto* c = static_cast<const RowContext*>(context);
    image.width = c->width;
    image.bitDepth = 8;
    image.channels =
        someNotFullAlpha(static_cast<const CEL_PixelRGBA8*>(c->pixels), size_t(c->width) * rowsIn) ? 4 : 3;
    image.row = image.channels == 4 ? straightRgba8 : rgb8From8;
    image.context = context;
    return image.channels == 4;
}

struct AheadState {
    AheadState* previous = nullptr; // the scope this one hides
    bool taken = false;             // a picture is bound: later reads are left alone
    RowContext context;             // its pixels, for the encoder's rows
    std::unique_ptr<png::EarlyBands> bands;
    UT_SharedPtr<CEL_Representation> pixmap; // held while the helper may read its rows
    bool kept = false;
};

thread_local AheadState* t_ahead = nullptr;

png::EarlyBands* startAhead(AheadState* ahead, const CEL_PixmapRGBA8& pixmap) {
    if (ahead->taken) return nullptr;
    ahead->taken = true;
    ahead->context = RowContext{pixmap.data(), uint32_t(pixmap.width())};
    ahead->bands =
        std::make_unique<png::EarlyBands>(uint32_t(pixmap.height()), guessStraight8, &ahead->context);
    return ahead->bands.get();
}

// Stops the helper (it reads no row after this) and lets go of the picture.
void endAhead(AheadState* ahead) {
    if (!ahead) return;
    ahead->bands.reset();
    ahead->pixmap.reset();
}

// The file around the image data, through libpng: signature, header, the
// resolution chunk the 8-bit files have always carried, then the image data
// from the encoder (on the calling thread and others; nothing there jumps),
// then the end chunk.
struct WriteJob {
    FILE* file = nullptr;
    png_structp png = nullptr;
    png_infop info = nullptr;
    const png::Image* image = nullptr;
    bool resolution = false;
};

void writeHeadBody(WriteJob* job) {
    png_structp png = job->png;
    png_init_io(png, job->file);
    png_set_IHDR(png, job->info, job->image->width, job->image->height, job->image->bitDepth,
                 job->image->channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (job->resolution) png_set_pHYs(png, job->info, 3937, 3937, PNG_RESOLUTION_METER); // 100 dpi
    png_write_info(png, job->info);
}

void writeEndBody(WriteJob* job) {
    png_write_chunk(job->png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
}

struct WriteStructs {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~WriteStructs() {
        if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    }
};

bool writeStream(FILE* file, const png::Image& image, bool resolution, png::EarlyBands* early) {
    WriteStructs structs;
    structs.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, jumpOnError, ignoreWarning);
    if (structs.png) structs.info = png_create_info_struct(structs.png);
    if (!structs.info) return false;
    WriteJob job;
    job.file = file;
    job.png = structs.png;
    job.info = structs.info;
    job.image = &image;
    job.resolution = resolution;
    if (!runGuarded(&job, writeHeadBody)) return false;
    const png::Plan plan = png::planFor(image);
    return (early ? early->finish(image, plan, file) : png::writeImageData(image, plan, file)) &&
           runGuarded(&job, writeEndBody);
}

bool isWriteCode(const QStringList& codes, const QString& code) {
    return codes.contains(code, Qt::CaseInsensitive);
}

void postWriteFailure(const char* text, const QString& path) {
    MSG_Scope msg(kContext, text, 2);
    msg.arg(path);
    msg.post(kWriteFailedCode);
}

// libpng, ours and Qt's, refuses to write (and by default to read) rows or
// columns beyond a million pixels, below what the header could hold.
bool fitsLibpng(int width, int height) {
    return celio_detail::fitsHeader(kContext, "PNG", width, height, 1000000, 1000000);
}

// The pixmap whose 16-bit values the 8-bit writer stores: the cel's 16-bit
// canvas pixmap, or the 8-bit one when the cel holds nothing else (its 16-bit
// values are made on the fly, exactly as the conversion would make them).
UT_SharedPtr<CEL_Representation> pixmapFor8(CEL_Cel* cel) {
    if (auto held = cel->findRepresentation(CEL_Representation::PIXMAP_RGBA16)) return held;
    if (cel->repCount() == 1)
        if (auto only = cel->findRepresentation(CEL_Representation::PIXMAP_RGBA8)) return only;
    return cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
}

// Opens the output ("-": standard output), writes the image and closes it,
// posting the writers' messages. `makeFolder` creates a missing folder first.
bool writeFile(const QString& path, const png::Image* image, bool resolution, bool makeFolder,
               png::EarlyBands* early = nullptr) {
    FileCloser file;
    if (path == QLatin1String("-")) {
        file.file = stdout;
        file.owned = false;
    } else {
        const QString target = oswRemapPath::RemapPath2(path);
        if (makeFolder) {
            const QString dir = QFileInfo(target).absolutePath();
            if (!QFileInfo::exists(dir)) QDir().mkpath(dir);
        }
        file.file = PL_FileSpec(target).get_fs("wb");
    }
    if (!file.file) {
        postWriteFailure("Could not open file \"%1\" for writing (png).\n", path);
        return false;
    }
    bool ok = image != nullptr && writeStream(file.file, *image, resolution, early);
    if (file.owned) {
        ok = std::fclose(file.file) == 0 && ok;
        file.file = nullptr;
    } else {
        ok = std::fflush(file.file) == 0 && ok;
    }
    if (!ok) postWriteFailure("Could not complete writing to file: \"%1\"\n", path);
    return ok;
}

// Pictures worth compressing ahead: 8-bit with alpha (the straight writer's
// input), non-interlaced, and large enough for the overlap to matter.
bool takesAhead(const ReadJob& job, png_infop info) {
    constexpr uint64_t kMinBytes = uint64_t(8) << 20;
    const bool alpha =
        (job.colorType & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(job.png, info, PNG_INFO_tRNS);
    return job.bitDepth == 8 && job.passes == 1 && alpha && uint64_t(job.width) * job.height * 4 >= kMinBytes;
}

CEL_Representation* decode(Input& input, AheadState* ahead = nullptr) {
    ReadStructs structs;
    structs.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, jumpOnError, ignoreWarning);
    if (!structs.png) return nullptr;
    structs.info = png_create_info_struct(structs.png);
    if (!structs.info) return nullptr;

    ReadJob job;
    job.input = &input;
    job.png = structs.png;
    job.info = structs.info;
    if (!runGuarded(&job, readHeaderBody)) return nullptr;
    if (!plausibleClaim(job, job.bitDepth == 16 ? 8 : 4)) return nullptr;
    if (!runGuarded(&job, readTransformsBody)) return nullptr;

    if (job.bitDepth == 16) return decodeInto<CEL_PixmapRGBA16>(job).release();
    std::unique_ptr<CEL_PixmapRGBA8> pixmap =
        decodeInto<CEL_PixmapRGBA8>(job, ahead && takesAhead(job, structs.info) ? ahead : nullptr);
    if (pixmap && job.colorType == PNG_COLOR_TYPE_GRAY && job.bitDepth == 1)
        invertColour(pixmap->data(), size_t(job.width) * job.height);
    return pixmap.release();
}

// Decodes the file at `path` ("-": standard input).
CEL_Representation* readPath(const QString& path, AheadState* early) {
    if (path == QLatin1String("-") && !WHO_Identity::isInteractive()) {
        // Standard input is taken whole, so that its size is known.
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) return nullptr;
        const QByteArray bytes = in.readAll();
        Input input;
        input.data = reinterpret_cast<const uint8_t*>(bytes.constData());
        input.size = uint64_t(bytes.size());
        return decode(input, early);
    }
    FileCloser file;
    file.file = PL_FileSpec(oswRemapPath::RemapPath2(path)).get_fs("rb");
    if (!file.file) return nullptr;
    Input input;
    input.file = file.file;
    struct stat st;
    if (::fstat(::fileno(file.file), &st) == 0 && S_ISREG(st.st_mode)) input.size = uint64_t(st.st_size);
    return decode(input, early);
}

CELIO_State readInfoFrom(DB_PersistentStore& in, CELIO_Info& info) {

    static const uint8_t signature[8] = {137, 'P', 'N', 'G', 13, 10, 26, 10};
    uint8_t sig[8];
    char type[4];
    in.Load(sig, sizeof sig);
    in.ReadU32BE(); // length of the first chunk
    in.Load(type, sizeof type);
    const uint32_t width = in.ReadU32BE();
    const uint32_t height = in.ReadU32BE();
    in.ReadU8(); // bit depth
    const uint8_t colourType = in.ReadU8();
    in.Skip(2);  // compression and filter methods
    in.ReadU8(); // interlace method
    if (in.Failed() || std::memcmp(sig, signature, sizeof sig) != 0 || std::memcmp(type, "IHDR", 4) != 0)
        return CELIO_STATE_FAILED;

    uint32_t channels = 0;
    const char* description = nullptr;
    switch (colourType) {
    case 0:
        channels = 1, description = "Grayscale";
        break;
    case 2:
        channels = 3, description = "Color RGB";
        break;
    case 3:
        channels = 3, description = "Colormap RGB";
        break;
    case 4:
        channels = 2, description = "GrayScale+Alpha";
        break;
    case 6:
        channels = 4, description = "Color RGBA";
        break;
    default:
        return CELIO_STATE_FAILED;
    }
    info.width = width;
    info.height = height;
    info.channels = channels;
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("PNG");
    info.description = QString::fromLatin1(description);
    return CELIO_STATE_OK;
}

} // namespace

QStringList QXCelUioPngHandler::getExtensions() const {
    return {QStringLiteral("PNG")};
}

QStringList QXCelUioPngHandler::getWriteOptionCodes() const {
    return {QStringLiteral("PNG"), QStringLiteral("PNG4"), QStringLiteral("PNGDP3"),
            QStringLiteral("PNGDP4")};
}

void QXCelUioPngHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.alpha = true;
}

QString QXCelUioPngHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    return options.alpha ? QStringLiteral("PNG4") : QStringLiteral("PNG");
}

UT_DynKey QXCelUioPngHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

bool QXCelUioPngHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    AheadState* ahead = t_ahead;
    CEL_Representation* rep = readPath(path, ahead);
    if (!rep) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    if (ahead && ahead->bands && !ahead->pixmap) ahead->pixmap = list.back();
    return true;
}

CEL_Representation* QXCelUioPngHandler::read(const QString& path) const {
    return readPath(path, nullptr);
}

CELIO_State QXCelUioPngHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                           CELIO_RepresentationList& list) const {
    Input input;
    input.data = file.data();
    input.size = file.size();
    CEL_Representation* rep = decode(input);
    if (!rep) return CELIO_STATE_FAILED;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return CELIO_STATE_OK;
}

CELIO_State QXCelUioPngHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    DB_File file;
    if (!file.OpenForInput(PL_FileSpec(oswRemapPath::RemapPath2(path)))) return CELIO_STATE_FAILED;
    DB_PersistentStore in(file);
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioPngHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    DB_PersistentStore in(file.data(), file.size());
    return readInfoFrom(in, info);
}

uint8_t QXCelUioPngHandler::straight8(int v, int a) {
    return straightFrom16(v, a);
}

bool QXCelUioPngHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    endAhead(t_ahead); // the picture read ahead is not the one written this way
    const QString upper = code.toUpper();
    if (upper == QLatin1String("PNGDP3") || upper == QLatin1String("PNGDP4"))
        return write16(cel, path, upper);
    if (upper == QLatin1String("PNG") || upper == QLatin1String("PNG4")) return write8(cel, path, upper);
    return false;
}

bool QXCelUioPngHandler::write8(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!isWriteCode(getWriteOptionCodes(), code) || !cel) return false;
    if (!cel->convertibleTo(CEL_Representation::PIXMAP_RGBA8)) return false;
    const UT_SharedPtr<CEL_Representation> rep = pixmapFor8(cel);
    const auto* p16 = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    const auto* p8 = p16 ? nullptr : dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    if (!p16 && !p8) return false;
    const int width = p16 ? p16->width() : p8->width(), height = p16 ? p16->height() : p8->height();
    if (!fitsLibpng(width, height)) return false;
    const void* pixels = p16 ? static_cast<const void*>(p16->data()) : static_cast<const void*>(p8->data());

    const bool unpremultiply = code.endsWith(QLatin1Char('4'));
    const bool alpha = unpremultiply && pixels && (p16 ? someNotFull(*p16) : someNotFull(*p8));
    const RowContext context{pixels, uint32_t(width)};
    png::Image image;
    image.width = uint32_t(width);
    image.height = uint32_t(height);
    image.bitDepth = 8;
    image.channels = alpha ? 4 : 3;
    image.row = p16 ? (alpha ? rgba8From16 : rgb8From16) : (alpha ? rgba8From8 : rgb8From8);
    image.context = &context;
    return writeFile(path, pixels && width > 0 && height > 0 ? &image : nullptr, true, true);
}

bool QXCelUioPngHandler::writeStraight8(const CEL_PixmapRGBA8& pixels, const QString& path) const {
    // The picture this thread's write-ahead scope has been compressing, if it is this one.
    AheadState* ahead = t_ahead;
    const bool early = ahead && ahead->bands && ahead->pixmap && ahead->context.pixels == pixels.data() &&
                       ahead->pixmap.get() == &pixels;
    if (!early) endAhead(ahead);
    if (!fitsLibpng(pixels.width(), pixels.height())) return false;
    RowContext context{pixels.data(), uint32_t(pixels.width())};
    png::Image image;
    image.width = uint32_t(pixels.width());
    image.height = uint32_t(pixels.height());
    image.bitDepth = 8;
    image.channels = pixels.data() && someNotFullAlpha(pixels) ? 4 : 3;
    image.row = image.channels == 4 ? straightRgba8 : rgb8From8;
    image.context = early ? &ahead->context : &context;
    const bool drawable = pixels.data() && pixels.width() > 0 && pixels.height() > 0;
    const bool ok =
        writeFile(path, drawable ? &image : nullptr, true, true, early ? ahead->bands.get() : nullptr);
    if (early) {
        ahead->kept = ahead->bands->keptBands();
        endAhead(ahead);
    }
    return ok;
}

struct QXCelUioPngHandler::WriteAhead::State : AheadState {};

QXCelUioPngHandler::WriteAhead::WriteAhead() : m(std::make_unique<State>()) {
    m->previous = t_ahead;
    t_ahead = m.get();
}

QXCelUioPngHandler::WriteAhead::~WriteAhead() {
    endAhead(m.get());
    t_ahead = m->previous;
}

bool QXCelUioPngHandler::WriteAhead::keptBands() const {
    return m->kept;
}

bool QXCelUioPngHandler::write16(CEL_Cel* cel, const QString& path, const QString& code) const {
    if (!isWriteCode(getWriteOptionCodes(), code) || !cel) return false;
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    if (!pixmap || !fitsLibpng(pixmap->width(), pixmap->height())) return false;

    const bool alpha = code == QLatin1String("PNGDP4");
    const RowContext context{pixmap->data(), uint32_t(pixmap->width())};
    png::Image image;
    image.width = uint32_t(pixmap->width());
    image.height = uint32_t(pixmap->height());
    image.bitDepth = 16;
    image.channels = alpha ? 4 : 3;
    image.row = alpha ? rows16<true> : rows16<false>;
    image.context = &context;
    const bool drawable = pixmap->data() && pixmap->width() > 0 && pixmap->height() > 0;
    return writeFile(path, drawable ? &image : nullptr, false, false);
}
