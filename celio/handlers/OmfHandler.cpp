#include "celio/handlers/OmfHandler.h"

#include <cstring>
#include <memory>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "algo/composite/CompositeDetail.h"
#include "base/Message.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "omf/OmfContainer.h"
#include "pixel/PixelBuffer.h"
#include "pixel/PixmapCanvas.h"

namespace {

constexpr const char* kCreator = "OMF QAV 6.0";
constexpr int64_t kJpegMaxSide = 65500;
constexpr int kRowGrain = 64;

bool isStdStream(const QString& path) {
    return path == QLatin1String("-") && !WHO_Identity::isInteractive();
}

// One reference to the toolkit context for the length of an operation.
class ToolkitScope {
public:
    ToolkitScope() : m_started(OMF_Toolkit::start() == OMF_Status::Ok) {}
    ~ToolkitScope() {
        if (m_started) OMF_Toolkit::stop();
    }
    ToolkitScope(const ToolkitScope&) = delete;
    ToolkitScope& operator=(const ToolkitScope&) = delete;
    bool started() const { return m_started; }

private:
    bool m_started;
};

// ------------------------------------------------------------------ pixels

// RGB bytes and RGBA8 pixels, converted both ways. On x86 with SSSE3 four
// pixels at a time through one byte shuffle (the plain byte loops do not
// vectorise well: 3-byte groups); the plain loops elsewhere and for the tails.

void expandPlain(const uint8_t* rgb, CEL_PixelRGBA8* out, int64_t from, int64_t n) {
    for (int64_t i = from; i < n; ++i)
        out[i] = CEL_PixelRGBA8{rgb[3 * i], rgb[3 * i + 1], rgb[3 * i + 2], 255};
}

void packPlain(const CEL_PixelRGBA8* in, uint8_t* rgb, int64_t from, int64_t n) {
    for (int64_t i = from; i < n; ++i) {
        rgb[3 * i] = in[i].r;
        rgb[3 * i + 1] = in[i].g;
        rgb[3 * i + 2] = in[i].b;
    }
}

#if defined(__x86_64__) || defined(__i386__)
bool haveSsse3() {
    static const bool have = __builtin_cpu_supports("ssse3");
    return have;
}

// Each step loads and stores 16 bytes of which 12 (RGB) are meant: six pixels
// must remain so that neither reaches past the end.
__attribute__((target("ssse3"))) int64_t expandSsse3(const uint8_t* rgb, CEL_PixelRGBA8* out, int64_t n) {
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    int64_t i = 0;
    for (; i + 6 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_or_si128(_mm_shuffle_epi8(v, spread), opaque));
    }
    return i;
}

__attribute__((target("ssse3"))) int64_t packSsse3(const CEL_PixelRGBA8* in, uint8_t* rgb, int64_t n) {
    const __m128i gather = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int64_t i = 0;
    for (; i + 6 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rgb + 3 * i), _mm_shuffle_epi8(v, gather));
    }
    return i;
}
#endif

// n pixels of red, green, blue bytes into RGBA8 with alpha 255.
void expandRows(const uint8_t* rgb, CEL_PixelRGBA8* out, int64_t n) {
    int64_t done = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (haveSsse3()) done = expandSsse3(rgb, out, n);
#endif
    expandPlain(rgb, out, done, n);
}

// n RGBA8 pixels into red, green, blue bytes, alpha dropped.
void packRows(const CEL_PixelRGBA8* in, uint8_t* rgb, int64_t n) {
    int64_t done = 0;
#if defined(__x86_64__) || defined(__i386__)
    if (haveSsse3()) done = packSsse3(in, rgb, n);
#endif
    packPlain(in, rgb, done, n);
}

// ------------------------------------------------------------------ reading

void refuseRead(const MSG_Scope& message) {
    message.post(10);
}

// Opens path and checks that it holds one video media with one sample.
// CELIO_STATE_OK with its descriptor; otherwise the refusal was posted (a
// file that does not open at all is refused silently).
CELIO_State openOneVideo(OMF_File& file, const QString& path, OMF_VideoDescriptor& d) {
    if (isStdStream(path)) {
        refuseRead(MSG_Scope("qxcelio", "standard input is not read: OMF media need a file", 2));
        return CELIO_STATE_FAILED;
    }
    const OMF_Status status = file.openRead(oswRemapPath::RemapPath2(path).toUtf8().constData());
    if (status == OMF_Status::CannotOpen) return CELIO_STATE_FAILED;
    if (status == OMF_Status::NotOmf) {
        refuseRead(MSG_Scope("qxcelio", "not an OMF media file written by this library", 2));
        return CELIO_STATE_FAILED;
    }
    if (status != OMF_Status::Ok) {
        refuseRead(MSG_Scope("qxcelio", "damaged OMF media file: %1", 2)
                       .arg(QString::fromStdString(file.errorDetail())));
        return CELIO_STATE_FAILED;
    }
    if (file.mediaCount() != 1) {
        refuseRead(MSG_Scope("qxcelio", "%1 media", 2).arg(file.mediaCount()));
        return CELIO_STATE_FAILED;
    }
    if (file.videoDescriptor(1, d) != OMF_Status::Ok || d.kind != OMF_MediaKind::Video) {
        refuseRead(MSG_Scope("qxcelio", "the media is not video", 2));
        return CELIO_STATE_FAILED;
    }
    if (d.sampleCount != 1) {
        refuseRead(MSG_Scope("qxcelio", "video media with %1 samples", 2).arg((long long)d.sampleCount));
        return CELIO_STATE_FAILED;
    }
    return CELIO_STATE_OK;
}

// The frame as RGBA8, or null after the refusal was posted.
CEL_PixmapRGBA8* readFrame(OMF_File& file, const OMF_VideoDescriptor& d) {
    if (d.bitsPerPixel != 24) {
        refuseRead(MSG_Scope("qxcelio", "%1 bits per pixel, 24 are read", 2).arg(d.bitsPerPixel));
        return nullptr;
    }
    const uint64_t pixels = uint64_t(d.width) * d.height;
    const uint64_t needed = pixels * 3; // below 2^66 / 2^64: the sides are 32-bit, so it fits
    if (pixels == 0) {
        refuseRead(MSG_Scope("qxcelio", "no pixels (%1 x %2)", 2).arg(d.width).arg(d.height));
        return nullptr;
    }
    if (d.width > uint32_t(INT32_MAX) || d.height > uint32_t(INT32_MAX) ||
        pixels > CEL_Pixmap::maxPixmapBytes() / sizeof(CEL_PixelRGBA8)) {
        refuseRead(MSG_Scope("qxcelio", "image of %1 x %2 pixels too large", 2).arg(d.width).arg(d.height));
        return nullptr;
    }
    if (!d.compressed && d.storedBytes != needed) {
        refuseRead(MSG_Scope("qxcelio", "sample has %1 bytes, %2 needed", 2)
                       .arg((long long)d.storedBytes)
                       .arg((long long)needed));
        return nullptr;
    }
    const auto damaged = [&file] {
        refuseRead(MSG_Scope("qxcelio", "damaged OMF media file: %1", 2)
                       .arg(QString::fromStdString(file.errorDetail())));
    };
    if (d.compressed) {
        // Decoded straight into the pixmap, alpha included.
        auto pixmap = std::make_unique<CEL_PixmapRGBA8>(Math::Size2di(int(d.width), int(d.height)),
                                                        CEL_PixmapRGBA8::DoNotMemset());
        if (!pixmap->data()) return nullptr; // the pixmap reported it
        file.setDecompression(true);
        file.setDecodedAlpha(true);
        if (file.readSamples(1, pixmap->data(), pixels * sizeof(CEL_PixelRGBA8)) < 0) {
            damaged();
            return nullptr;
        }
        return pixmap.release();
    }
    const std::unique_ptr<uint8_t[]> rgb(CEL_PixelBuffer::allocate<uint8_t>((long long)needed, false));
    if (!rgb) {
        CEL_PixelBuffer::postOutOfMemory(d.width, d.height, "OMF");
        return nullptr;
    }
    const int64_t got = file.readSamples(1, rgb.get(), needed);
    if (got < 0) {
        damaged();
        return nullptr;
    }
    if (uint64_t(got) != needed) {
        refuseRead(MSG_Scope("qxcelio", "sample has %1 bytes, %2 needed", 2)
                       .arg((long long)got)
                       .arg((long long)needed));
        return nullptr;
    }
    auto pixmap = std::make_unique<CEL_PixmapRGBA8>(Math::Size2di(int(d.width), int(d.height)),
                                                    CEL_PixmapRGBA8::DoNotMemset());
    if (!pixmap->data()) return nullptr; // the pixmap reported it
    const int w = int(d.width);
    const uint8_t* in = rgb.get();
    CEL_PixelRGBA8* out = pixmap->data();
    CelAlgo::detail::parallelRows(0, int(d.height), kRowGrain, w, [=](int y1, int y2) {
        expandRows(in + size_t(y1) * w * 3, out + size_t(y1) * w, int64_t(y2 - y1) * w);
    });
    return pixmap.release();
}

// ------------------------------------------------------------------ writing

bool refuseWrite(const MSG_Scope& message) {
    message.post(20);
    return false;
}

} // namespace

QStringList QXCelUioOmfHandler::getExtensions() const {
    return {QStringLiteral("OMF")};
}

QStringList QXCelUioOmfHandler::getWriteOptionCodes() const {
    return {QStringLiteral("OMF"), QStringLiteral("OMFJPEG")};
}

void QXCelUioOmfHandler::getWriteOptions(CELIO_WriteOptions& options) const {
    options.compressed = true;
}

QString QXCelUioOmfHandler::getWriteOptionsCode(const CELIO_WriteOptions& options) const {
    return options.compressed ? QStringLiteral("OMFJPEG") : QStringLiteral("OMF");
}

UT_DynKey QXCelUioOmfHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

CELIO_State QXCelUioOmfHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    const ToolkitScope toolkit;
    if (!toolkit.started()) return CELIO_STATE_FAILED;
    OMF_File file;
    OMF_VideoDescriptor d;
    if (openOneVideo(file, path, d) != CELIO_STATE_OK) return CELIO_STATE_FAILED;
    info.width = d.width;
    info.height = d.height;
    info.channels = d.bitsPerPixel / 8;
    info.bytesPerChannel = 1;
    info.optionCode = QStringLiteral("OMF");
    // The full-frame text follows "RGB format" without a separator, as files have always been described.
    info.description =
        QStringLiteral("RGB format") + (d.frameLayout == 1   ? QStringLiteral("full frame layout\n")
                                        : d.frameLayout == 2 ? QStringLiteral(", one field layout\n")
                                                             : QStringLiteral(", interlaced layout\n"));
    file.close();
    return CELIO_STATE_OK;
}

bool QXCelUioOmfHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    const ToolkitScope toolkit;
    if (!toolkit.started()) return false;
    OMF_File file;
    OMF_VideoDescriptor d;
    if (openOneVideo(file, path, d) != CELIO_STATE_OK) return false;
    CEL_PixmapRGBA8* frame = readFrame(file, d);
    file.close();
    if (!frame) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(frame));
    return true;
}

bool QXCelUioOmfHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    const bool jpeg = code.toUpper() == QLatin1String("OMFJPEG");
    const UT_SharedPtr<CEL_Representation> rep =
        cel ? cel->convertTo(CEL_Representation::PIXMAP_RGBA8) : nullptr;
    const auto* pixmap = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get());
    if (!pixmap || !pixmap->data())
        return refuseWrite(MSG_Scope("qxcelio", "the cel has no 8-bit RGBA pixels to write as OMF media", 2));
    const int w = pixmap->width(), h = pixmap->height();
    if (jpeg && !celio_detail::fitsHeader("qxcelio", "OMFJPEG", w, h, kJpegMaxSide, kJpegMaxSide))
        return false;
    if (isStdStream(path))
        return refuseWrite(MSG_Scope("qxcelio", "standard output is not written: OMF media need a file", 2));

    // Rows are packed band by band as the container asks for them: no frame-sized buffer.
    struct Packer {
        const CEL_PixelRGBA8* pixels;
        int width;
        static void fill(void* context, uint32_t firstRow, uint32_t rows, uint8_t* dst) {
            const auto* p = static_cast<const Packer*>(context);
            const int w = p->width;
            const CEL_PixelRGBA8* in = p->pixels + size_t(firstRow) * w;
            CelAlgo::detail::parallelRows(0, int(rows), kRowGrain / 4, w, [=](int y1, int y2) {
                packRows(in + size_t(y1) * w, dst + size_t(y1) * w * 3, int64_t(y2 - y1) * w);
            });
        }
    } packer{pixmap->data(), w};

    const ToolkitScope toolkit;
    if (!toolkit.started()) return refuseWrite(MSG_Scope("qxcelio", "the OMF toolkit did not start", 2));
    const QString target = oswRemapPath::RemapPath2(path);
    OMF_File file;
    if (file.create(target.toUtf8().constData()) != OMF_Status::Ok)
        return refuseWrite(MSG_Scope("qxcelio", "Could not open file \"%1\" for writing: %2", 2)
                               .arg(target)
                               .arg(QString::fromStdString(file.errorDetail())));
    OMF_VideoDescriptor d;
    d.width = uint32_t(w);
    d.height = uint32_t(h);
    d.bitsPerPixel = 24;
    d.frameLayout = 1;
    d.compressed = jpeg;
    if (file.describeVideoMedia(d, kCreator) != OMF_Status::Ok ||
        file.writeSampleRows(&Packer::fill, &packer) != OMF_Status::Ok || file.close() != OMF_Status::Ok)
        return refuseWrite(MSG_Scope("qxcelio", "Could not write OMF file \"%1\": %2", 2)
                               .arg(target)
                               .arg(QString::fromStdString(file.errorDetail())));
    return true;
}
