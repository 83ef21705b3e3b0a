// celtool compare: the pixels of two images, read like every other input and
// compared as 16-bit values (32767 = 1.0). Pictures whose formats hold colour
// differently (straight or premultiplied) are compared premultiplied.
#include <algorithm>
#include <array>
#include <cmath>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

using Channels = std::array<double, 4>;

struct Comparison {
    int widthA = 0, heightA = 0, widthB = 0, heightB = 0;
    long long pixels = 0, different = 0;
    Channels maxDiff{}, meanDiff{};
    double psnr = INFINITY;
    bool hasFirst = false;
    int firstX = 0, firstY = 0;
    CEL_PixelRGBA16 firstA{}, firstB{};
    bool sameSize() const { return widthA == widthB && heightA == heightB; }
    bool equal() const { return sameSize() && different == 0; }
};

// The picture as a 16-bit canvas with premultiplied colour when `premultiply`.
std::unique_ptr<CEL_PixmapRGBA16> canvas16(CEL_Cel* cel, bool premultiply) {
    const UT_SharedPtr<CEL_Representation> rep = cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    const auto* p = dynamic_cast<const CEL_PixmapRGBA16*>(rep.get());
    std::unique_ptr<CEL_PixmapRGBA16> copy(p ? p->clone() : nullptr);
    if (copy && premultiply) copy->multiplyColorByAlpha();
    return copy;
}

Comparison compare(const CEL_PixmapRGBA16& a, const CEL_PixmapRGBA16& b, int threshold) {
    Comparison c;
    c.widthA = a.width(), c.heightA = a.height(), c.widthB = b.width(), c.heightB = b.height();
    if (!c.sameSize() || !a.data() || !b.data()) return c;
    c.pixels = (long long)a.width() * a.height();
    Channels sum{};
    double squares = 0;
    for (long long i = 0; i < c.pixels; ++i) {
        const CEL_PixelRGBA16 &p = a.data()[i], &q = b.data()[i];
        const int d[4] = {std::abs(p.r - q.r), std::abs(p.g - q.g), std::abs(p.b - q.b), std::abs(p.a - q.a)};
        bool differs = false;
        for (int k = 0; k < 4; ++k) {
            c.maxDiff[k] = std::max(c.maxDiff[k], double(d[k]));
            sum[k] += d[k];
            squares += double(d[k]) * d[k];
            differs |= d[k] > threshold;
        }
        if (!differs) continue;
        if (c.different++ == 0) {
            c.hasFirst = true;
            c.firstX = int(i % a.width()), c.firstY = int(i / a.width());
            c.firstA = p, c.firstB = q;
        }
    }
    for (int k = 0; k < 4; ++k) c.meanDiff[k] = c.pixels ? sum[k] / double(c.pixels) : 0.0;
    const double mse = c.pixels ? squares / (4.0 * double(c.pixels)) : 0.0;
    if (mse > 0) c.psnr = 10.0 * std::log10(32767.0 * 32767.0 / mse);
    return c;
}

QString number(double v) {
    return QString::number(v, 'g', 10);
}

QString list(const Channels& v, const QString& separator) {
    return number(v[0]) + separator + number(v[1]) + separator + number(v[2]) + separator + number(v[3]);
}

QString pixel(const CEL_PixelRGBA16& p, const QString& separator) {
    return QStringList{QString::number(p.r), QString::number(p.g), QString::number(p.b), QString::number(p.a)}
        .join(separator);
}

QString json(const Comparison& c, const QString& a, const QString& b) {
    const auto str = [](const QString& s) {
        QString e = s;
        e.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
            .replace(QLatin1Char('"'), QStringLiteral("\\\""));
        return QLatin1Char('"') + e + QLatin1Char('"');
    };
    const QString sep = QStringLiteral(", ");
    QString first = QStringLiteral("null");
    if (c.hasFirst)
        first = QStringLiteral("{\"x\": %1, \"y\": %2, \"a\": [%3], \"b\": [%4]}")
                    .arg(c.firstX)
                    .arg(c.firstY)
                    .arg(pixel(c.firstA, sep), pixel(c.firstB, sep));
    return QStringLiteral("{\"a\": %1, \"b\": %2, \"equal\": %3, \"sameSize\": %4, \"sizeA\": [%5, %6], "
                          "\"sizeB\": [%7, %8], \"pixels\": %9, \"differentPixels\": %10, \"maxDifference\": "
                          "[%11], \"meanDifference\": [%12], \"psnr\": %13, \"firstDifference\": %14}")
        .arg(str(a), str(b), c.equal() ? QStringLiteral("true") : QStringLiteral("false"),
             c.sameSize() ? QStringLiteral("true") : QStringLiteral("false"))
        .arg(c.widthA)
        .arg(c.heightA)
        .arg(c.widthB)
        .arg(c.heightB)
        .arg(c.pixels)
        .arg(c.different)
        .arg(list(c.maxDiff, sep), list(c.meanDiff, sep),
             std::isfinite(c.psnr) ? number(c.psnr) : QStringLiteral("null"), first);
}

void printText(const Comparison& c, const QString& a, const QString& b) {
    print(QStringLiteral("%1: %2x%3, %4: %5x%6%7")
              .arg(a)
              .arg(c.widthA)
              .arg(c.heightA)
              .arg(b)
              .arg(c.widthB)
              .arg(c.heightB)
              .arg(c.sameSize() ? QString() : QStringLiteral(" (sizes differ)")));
    if (!c.sameSize()) return;
    const QString sep = QStringLiteral(" ");
    print(QStringLiteral("different pixels: %1 of %2").arg(c.different).arg(c.pixels));
    print(QStringLiteral("max difference (r g b a, 16-bit): %1").arg(list(c.maxDiff, sep)));
    print(QStringLiteral("mean difference (r g b a, 16-bit): %1").arg(list(c.meanDiff, sep)));
    print(QStringLiteral("PSNR: %1")
              .arg(std::isfinite(c.psnr) ? number(c.psnr) + QStringLiteral(" dB")
                                         : QStringLiteral("infinite")));
    if (c.hasFirst)
        print(QStringLiteral("first difference at %1,%2: %3 / %4")
                  .arg(c.firstX)
                  .arg(c.firstY)
                  .arg(pixel(c.firstA, sep), pixel(c.firstB, sep)));
}

// Opaque: the differing pixels red, brighter with the difference; the others
// the first picture's grey, dimmed.
UT_SharedPtr<CEL_Cel> differencePicture(const CEL_PixmapRGBA16& a, const CEL_PixmapRGBA16& b, int threshold) {
    auto* p = new CEL_PixmapRGBA8(a.width(), a.height());
    if (p->data() && a.data() && b.data()) {
        for (long long i = 0, n = (long long)a.width() * a.height(); i < n; ++i) {
            const CEL_PixelRGBA16 &x = a.data()[i], &y = b.data()[i];
            const int d = std::max(
                {std::abs(x.r - y.r), std::abs(x.g - y.g), std::abs(x.b - y.b), std::abs(x.a - y.a)});
            if (d > threshold) {
                p->data()[i] = CEL_PixelRGBA8{uint8_t(128 + std::min(d, 32767) * 127 / 32767), 0, 0, 255};
            } else {
                const int grey = std::clamp((x.r * 3 + x.g * 6 + x.b) / 10, 0, 32767) * 64 / 32767;
                p->data()[i] = CEL_PixelRGBA8{uint8_t(grey), uint8_t(grey), uint8_t(grey), 255};
            }
        }
    }
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    setOrigin(cel.get(), CelOrigin{{3, false}, CELIO_Alpha::Straight, QString()});
    return cel;
}

} // namespace

int runCompare(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("One JSON object."));
    const QCommandLineOption thresholdOpt(
        QStringLiteral("threshold"),
        QStringLiteral("Largest difference of a channel still counted equal, in 16-bit steps (32767 = 1.0; "
                       "an 8-bit step is about 128). Default 0."),
        QStringLiteral("T"), QStringLiteral("0"));
    const QCommandLineOption diffOpt(QStringList{QStringLiteral("o")},
                                     QStringLiteral("Write a picture of the differences."),
                                     QStringLiteral("DIFF"));
    const QCommandLineOption keepOpt(QStringLiteral("keep-values"),
                                     QStringLiteral("Compare the values as read, even when the formats hold "
                                                    "colour differently."));
    parser.addOptions({jsonOpt, thresholdOpt, diffOpt, keepOpt});
    parser.addPositionalArgument(QStringLiteral("A"), QStringLiteral("First image."));
    parser.addPositionalArgument(QStringLiteral("B"), QStringLiteral("Second image."));
    const QString synopsis = QStringLiteral("[--json] [--threshold T] [--keep-values] [-o DIFF] A B");
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("compare"), synopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("compare needs A and B"));
        return kUsage;
    }
    bool thresholdOk = false;
    const int threshold = parser.value(thresholdOpt).toInt(&thresholdOk);
    if (!thresholdOk || threshold < 0) {
        error(QStringLiteral("--threshold needs a whole number of 16-bit steps, 0 or more"));
        return kUsage;
    }
    const QString diff = parser.value(diffOpt);
    if (!diff.isEmpty() && (rc = checkOutput(diff, WriteOptions{})) != kSuccess) return rc;

    // A file that cannot be read is trouble, not a difference.
    const UT_SharedPtr<CEL_Cel> celA = readCel(pos[0]);
    if (!celA) return kUsage;
    const UT_SharedPtr<CEL_Cel> celB = readCel(pos[1]);
    if (!celB) return kUsage;
    const CELIO_Alpha alphaA = originOf(celA.get()).alpha, alphaB = originOf(celB.get()).alpha;
    const bool premultiply = !parser.isSet(keepOpt) && alphaA != alphaB;
    const auto a = canvas16(celA.get(), premultiply && alphaA == CELIO_Alpha::Straight);
    const auto b = canvas16(celB.get(), premultiply && alphaB == CELIO_Alpha::Straight);
    if (!a || !b) {
        error(QStringLiteral("%1: no pixels to compare").arg(!a ? pos[0] : pos[1]));
        return kUsage;
    }
    const Comparison c = compare(*a, *b, threshold);
    if (parser.isSet(jsonOpt))
        print(json(c, pos[0], pos[1]));
    else
        printText(c, pos[0], pos[1]);
    if (!diff.isEmpty() && c.sameSize()) {
        const UT_SharedPtr<CEL_Cel> picture = differencePicture(*a, *b, threshold);
        if (writeCel(picture.get(), diff, WriteOptions{}) != kSuccess) return kUsage;
    }
    return c.equal() ? kSuccess : kFailure;
}

} // namespace celtool
