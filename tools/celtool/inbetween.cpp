// `celtool inbetween`: frames between two pictures, blended by the image
// interpolation of algo/filters/Fourier.h.
#include <tbb/global_control.h>

#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "CelFiles.h"
#include "Command.h"
#include "FilterOps.h"
#include "Inbetween.h"
#include "algo/filters/Fourier.h"
#include "cel/Cel.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

const char* const kSynopsis =
    "[--frames N] [--mix MATTE] [--strip PNG] [--code CODE] [--threads N] [--raw16 FILE] A B OUT";
constexpr int kLabelHeight = 12;

int usage(const QString& message) {
    error(message);
    std::fprintf(stderr, "usage: celtool inbetween %s\n", kSynopsis);
    return kUsage;
}

// The number fields ("%d", "%04d") of an output name.
const QRegularExpression& numberField() {
    static const QRegularExpression re(QStringLiteral("%(0[0-9]+)?d"));
    return re;
}

QString frameName(const QString& pattern, int k) {
    const QRegularExpressionMatch m = numberField().match(pattern);
    if (!m.hasMatch()) return pattern;
    const int width = m.captured(1).isEmpty() ? 0 : m.captured(1).toInt();
    QString number = QString::number(k).rightJustified(width, QLatin1Char('0'));
    return QString(pattern).replace(m.capturedStart(), m.capturedLength(), number);
}

std::unique_ptr<CEL_PixmapAreaRGBA16> readArea(const QString& path, UT_SharedPtr<CEL_Cel>* keep = nullptr) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(path);
    if (!cel) return nullptr;
    if (keep) *keep = cel;
    return workingArea(cel.get(), path, false);
}

bool sameCanvasSize(const CEL_PixmapAreaRGBA16& a, const CEL_PixmapAreaRGBA16& b, const QString& pathA,
                    const QString& pathB) {
    const Math::Box2di ca = a.canvasRect(), cb = b.canvasRect();
    if (ca.w() == cb.w() && ca.h() == cb.h()) return true;
    error(QStringLiteral("%1: %2x%3, but %4 is %5x%6")
              .arg(pathB)
              .arg(cb.w())
              .arg(cb.h())
              .arg(pathA)
              .arg(ca.w())
              .arg(ca.h()));
    return false;
}

} // namespace

int inbetweenMix(int k, int n) {
    return int(std::trunc(32767.0 * k / (n + 1) + 0.5));
}

std::unique_ptr<CEL_PixmapAreaRGBA16> inbetweenFrame(const CEL_PixmapAreaRGBA16& a,
                                                     const CEL_PixmapAreaRGBA16& b,
                                                     const CEL_PixmapAreaRGBA16* mix, int uniform) {
    const Math::Box2di rect = a.allocatedRect().getUnion(b.allocatedRect());
    auto dst = std::make_unique<CEL_PixmapAreaRGBA16>(a.size(), a.canvasRect());
    if (rect.hasNullArea()) return dst;
    if (!dst->realloc(rect, true) || !dst->data()) return nullptr;
    std::unique_ptr<CEL_PixmapAreaRGBA16> flat;
    if (!mix) {
        flat = std::make_unique<CEL_PixmapAreaRGBA16>(a.size(), a.canvasRect());
        if (!flat->realloc(rect, false) || !flat->data()) return nullptr;
        std::fill(flat->data(), flat->data() + flat->allocatedArea(),
                  CEL_PixelRGBA16{0, 0, 0, int16_t(uniform)});
        mix = flat.get();
    }
    CelAlgo::interpolateImages(&a, &b, mix, dst.get());
    return dst;
}

std::unique_ptr<CEL_PixmapAreaRGBA16> labelledStrip(const std::vector<const CEL_PixmapAreaRGBA16*>& frames,
                                                    const std::vector<QString>& labels) {
    if (frames.empty()) return nullptr;
    const Math::Box2di canvas = frames.front()->canvasRect();
    const int64_t cellW = std::max(canvas.w(), 24) + 4, w = cellW * int64_t(frames.size());
    const int64_t h = int64_t(canvas.h()) + kLabelHeight;
    if (w > (int64_t(1) << 30) || h > (int64_t(1) << 30)) return nullptr;
    auto strip = std::make_unique<CEL_PixmapAreaRGBA16>(int(w), int(h));
    if (!strip->realloc(strip->canvasRect(), true) || !strip->data()) return nullptr;
    std::fill(strip->data(), strip->data() + strip->allocatedArea(),
              CEL_PixelRGBA16{6000, 6000, 6000, 32767});
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const CEL_PixmapAreaRGBA16& f = *frames[i];
        const Math::Box2di r = f.allocatedRect().getIntersection(canvas);
        const int ox = int(cellW * int64_t(i)) + 2 - canvas.x1(), oy = kLabelHeight - canvas.y1();
        // A light backdrop under each frame, the frame over it (premultiplied over).
        for (int y = 0; y < canvas.h(); ++y)
            for (int x = 0; x < canvas.w(); ++x)
                *strip->pixel(ox + canvas.x1() + x, oy + canvas.y1() + y) =
                    CEL_PixelRGBA16{29000, 29000, 29000, 32767};
        for (int y = r.y1(); y < r.y2(); ++y)
            for (int x = r.x1(); x < r.x2(); ++x) {
                const CEL_PixelRGBA16& s = *f.pixel(x, y);
                CEL_PixelRGBA16& d = *strip->pixel(ox + x, oy + y);
                const int k = 32767 - std::clamp<int>(s.a, 0, 32767);
                const auto over = [k](int sv, int dv) {
                    return int16_t(std::clamp<int64_t>(sv + int64_t(dv) * k / 32767, 0, 32767));
                };
                d = CEL_PixelRGBA16{over(s.r, d.r), over(s.g, d.g), over(s.b, d.b), 32767};
            }
        if (i < labels.size()) drawLabel(*strip, int(cellW * int64_t(i)) + 3, 2, labels[i]);
    }
    return strip;
}

int runInbetween(const QStringList& args) {
    long long frames = 1, threads = 0;
    bool framesGiven = false;
    QString mixPath, stripPath, code, raw16;
    QStringList files;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& word = args[i];
        const auto value = [&](QString& v) {
            if (i + 1 >= args.size()) return false;
            v = args[++i];
            return true;
        };
        QString v, message;
        if (word == QLatin1String("--help") || word == QLatin1String("-h")) {
            std::printf("usage: celtool inbetween %s\n\n"
                        "In-between frames of A and B: frame k of N blends A and B with mix alpha\n"
                        "trunc(32767 k / (N + 1) + 0.5), on the union of their allocations.\n"
                        "  --frames N    in-betweens to write (1-999, default 1); OUT then holds one\n"
                        "                number field, %%d or %%0Nd (frames 1 ... N)\n"
                        "  --mix MATTE   one frame whose mix per pixel is MATTE's alpha (not with --frames)\n"
                        "  --strip PNG   also A, the in-betweens and B side by side, labelled\n"
                        "  --code CODE   option code of the output\n"
                        "  --threads N   worker threads (results are the same at any count)\n"
                        "  --raw16 FILE  also every frame as raw 16-bit RGBA (as dump --depth 16), one\n"
                        "                after another\n",
                        kSynopsis);
            return kSuccess;
        } else if (word == QLatin1String("--frames")) {
            if (!value(v)) return usage(QStringLiteral("--frames needs a number"));
            if (!parseInteger(v, "--frames", 1, 999, frames, message)) return usage(message);
            framesGiven = true;
        } else if (word == QLatin1String("--threads")) {
            if (!value(v)) return usage(QStringLiteral("--threads needs a number"));
            if (!parseInteger(v, "--threads", 1, 1024, threads, message)) return usage(message);
        } else if (word == QLatin1String("--mix") || word == QLatin1String("--strip") ||
                   word == QLatin1String("--code") || word == QLatin1String("--raw16")) {
            if (!value(v) || v.isEmpty()) return usage(QStringLiteral("%1 needs a value").arg(word));
            (word == QLatin1String("--mix")     ? mixPath
             : word == QLatin1String("--strip") ? stripPath
             : word == QLatin1String("--code")  ? code
                                                : raw16) = v;
        } else if (word.startsWith(QLatin1String("--")) && word.size() > 2) {
            return usage(QStringLiteral("unknown option %1").arg(word));
        } else {
            files << word;
        }
    }
    if (files.size() != 3) return usage(QStringLiteral("inbetween needs A, B and OUT"));
    if (framesGiven && !mixPath.isEmpty()) return usage(QStringLiteral("--mix makes one frame: no --frames"));
    const QString out = files[2];
    const qsizetype fields = out.count(numberField());
    if (fields > 1) return usage(QStringLiteral("%1: more than one number field").arg(out));
    if (frames > 1 && fields == 0)
        return usage(out + QStringLiteral(": %1 frames need a number field (").arg(frames) +
                     QStringLiteral("%d or %0Nd) in OUT"));
    WriteOptions options;
    options.code = code;
    if (const int rc = checkOutput(frameName(out, 1), options); rc != kSuccess) return rc;

    std::unique_ptr<tbb::global_control> limit;
    if (threads > 0)
        limit = std::make_unique<tbb::global_control>(tbb::global_control::max_allowed_parallelism,
                                                      std::size_t(threads));

    UT_SharedPtr<CEL_Cel> celA;
    const std::unique_ptr<CEL_PixmapAreaRGBA16> a = readArea(files[0], &celA);
    if (!a) return kFailure;
    const std::unique_ptr<CEL_PixmapAreaRGBA16> b = readArea(files[1]);
    if (!b || !sameCanvasSize(*a, *b, files[0], files[1])) return kFailure;
    std::unique_ptr<CEL_PixmapAreaRGBA16> mix;
    if (!mixPath.isEmpty()) {
        mix = readArea(mixPath);
        if (!mix || !sameCanvasSize(*a, *mix, files[0], mixPath)) return kFailure;
    }
    CelOrigin origin = originOf(celA.get());
    origin.alpha = CELIO_Alpha::Premultiplied;

    std::vector<std::unique_ptr<CEL_PixmapAreaRGBA16>> kept; // for the strip
    QByteArray rawBytes;
    for (int k = 1; k <= int(frames); ++k) {
        std::unique_ptr<CEL_PixmapAreaRGBA16> frame =
            inbetweenFrame(*a, *b, mix.get(), inbetweenMix(k, int(frames)));
        if (!frame) {
            error(QStringLiteral("%1: out of memory").arg(frameName(out, k)));
            return kFailure;
        }
        if (!raw16.isEmpty()) {
            std::unique_ptr<CEL_Representation> canvas(frame->convertTo(CEL_Representation::PIXMAP_RGBA16));
            if (!canvas) {
                error(QStringLiteral("%1: out of memory").arg(raw16));
                return kFailure;
            }
            rawBytes += rawPixels(canvas.get(), 16);
        }
        if (!stripPath.isEmpty()) kept.emplace_back(frame->clone());
        const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(frame), origin);
        if (writeCel(cel.get(), frameName(out, k), options) != kSuccess) return kFailure;
    }
    if (!raw16.isEmpty() && !writeBytes(raw16, rawBytes)) return kFailure;
    if (!stripPath.isEmpty()) {
        std::vector<const CEL_PixmapAreaRGBA16*> all{a.get()};
        std::vector<QString> labels{QStringLiteral("A")};
        for (std::size_t i = 0; i < kept.size(); ++i) {
            all.push_back(kept[i].get());
            labels.push_back(QString::number(i + 1));
        }
        all.push_back(b.get());
        labels.push_back(QStringLiteral("B"));
        std::unique_ptr<CEL_PixmapAreaRGBA16> strip = labelledStrip(all, labels);
        if (!strip) {
            error(QStringLiteral("%1: out of memory").arg(stripPath));
            return kFailure;
        }
        const UT_SharedPtr<CEL_Cel> cel = celOf(std::move(strip), CelOrigin{});
        if (writeCel(cel.get(), stripPath, WriteOptions{}) != kSuccess) return kFailure;
    }
    return kSuccess;
}

} // namespace celtool
