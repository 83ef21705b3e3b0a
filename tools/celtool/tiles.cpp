// celtool tiles: a picture as a tiled bitmap layer, one file per tile that
// holds something, written through the bitmap engine, with an index.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "CelFiles.h"
#include "Command.h"
#include "TileIndex.h"
#include "base/Bitmap.h"
#include "base/BitmapSystem.h"
#include "base/FileSpec.h"
#include "base/Message.h"
#include "cel/Cel.h"
#include "celio/BitmapConversion.h"
#include "celio/Manager.h"
#include "pixel/PixmapArea.h"

namespace celtool {

namespace {

const QString kSynopsis =
    QStringLiteral("[--bounds X,Y,W,H] [--format png|tga|psd|jpg|EXT] [--quality Q] [--json] IN OUTDIR");

// How the tiles of one format are written.
struct TileWriter {
    QString extension;                      // of the files, lower case
    const CELIO_Handler* handler = nullptr; // the family's handler (null for JPEG kept by store)
    QString code;                           // what the writer is asked for
    bool jpeg = false;                      // through the engine's store
    bool premultiply = false;               // the writer expects premultiplied colour
    bool keepsAlpha = true;
    QString name; // of the family, for messages
};

// The writer for --format, or a usage error.
bool writerFor(const QString& format, TileWriter& w) {
    const CELIO_Manager* io = CELIO_Manager::getInstance();
    w.extension = format.toLower();
    if (w.extension == QLatin1String("jpg") || w.extension == QLatin1String("jpeg")) {
        w.jpeg = true;
        w.keepsAlpha = false;
        w.name = QStringLiteral("JPEG");
        return true;
    }
    w.handler = io->findHandler(w.extension);
    if (!w.handler || w.handler->getWriteExtensions().isEmpty()) {
        error(QStringLiteral("no format writes '%1' tiles").arg(format));
        return false;
    }
    const QString main = w.handler->getExtensions().value(0);
    if (main == QLatin1String("PNG"))
        w.code = QStringLiteral("PNG4");
    else if (main == QLatin1String("TGA"))
        w.code = QStringLiteral("TGA4");
    else if (main == QLatin1String("PSD"))
        w.code = QStringLiteral("PSD4");
    else
        w.code = CELIO_FormatTable::codeFor(*w.handler, CELIO_Shape{4, false});
    if (w.code.isEmpty()) w.code = main;
    w.premultiply = CELIO_FormatTable::writeAlpha(*w.handler, w.code) == CELIO_Alpha::Premultiplied;
    w.keepsAlpha = CELIO_FormatTable::codeShape(*w.handler, w.code).channels == 4;
    w.name = CELIO_FormatTable::name(*w.handler);
    return true;
}

bool parseBounds(const QString& text, Math::Box2di& bounds) {
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() != 4) return false;
    long long v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toLongLong(&ok);
        if (!ok || v[i] < INT_MIN || v[i] > INT_MAX) return false;
    }
    if (v[2] <= 0 || v[3] <= 0 || v[0] + v[2] > INT_MAX || v[1] + v[3] > INT_MAX) return false;
    bounds = Math::Box2di(int(v[0]), int(v[1]), int(v[2]), int(v[3]));
    return true;
}

bool emptyFolder(const QString& path) {
    return QDir(path)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
        .isEmpty();
}

// Writes one tile into `file`; false after one line naming `shown`.
bool writeTile(const BM_SystemEngineI& engine, const TileWriter& w, const BM_UncompressedBitmap& tile,
               const QString& file, const QString& shown, int quality) {
    const QXMessage::Capture capture;
    bool ok = false;
    if (w.jpeg) {
        BM_StoredBitmap stored;
        QFile f(file);
        ok = engine.store(tile, unsigned(quality), stored) && f.open(QIODevice::WriteOnly) &&
             f.write(reinterpret_cast<const char*>(stored.data()), qint64(stored.size())) ==
                 qint64(stored.size()) &&
             f.flush();
        if (!ok) {
            error(QStringLiteral("%1: %2").arg(shown, f.error() != QFileDevice::NoError
                                                          ? f.errorString()
                                                          : QStringLiteral("JPEG store failed")));
            return false;
        }
        return true;
    }
    const PL_FileSpec spec(file);
    const QString main = w.handler->getExtensions().value(0);
    if (main == QLatin1String("PNG"))
        ok = engine.saveToPNG(spec, tile);
    else if (main == QLatin1String("TGA"))
        ok = engine.saveToTGA(spec, tile);
    else if (main == QLatin1String("PSD"))
        ok = engine.saveToPSD(spec, tile);
    else
        ok = engine.save(spec, tile, main.toUtf8().constData(), w.code.toUtf8().constData());
    // Some writers report a failed close and still return true.
    QString cause;
    for (const MSG_Record& r : capture.records()) {
        if (r.code == 20) ok = false;
        if (cause.isEmpty()) cause = r.translated.simplified().replace(file, shown);
    }
    if (!ok) {
        error(QStringLiteral("%1: %2").arg(
            shown, cause.isEmpty() ? QStringLiteral("the %1 writer failed").arg(w.name) : cause));
        return false;
    }
    return true;
}

} // namespace

int runTiles(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption boundsOpt(
        QStringLiteral("bounds"),
        QStringLiteral("The layer's box, origin at the canvas centre (default: the "
                       "canvas, -W/2,-H/2,W,H)."),
        QStringLiteral("X,Y,W,H"));
    const QCommandLineOption formatOpt(QStringLiteral("format"),
                                       QStringLiteral("Tile files: png (default), tga, psd, jpg or another "
                                                      "format's extension."),
                                       QStringLiteral("EXT"));
    const QCommandLineOption qualityOpt(QStringLiteral("quality"),
                                        QStringLiteral("JPEG quality of jpg tiles, 1 to 100 (default 90)."),
                                        QStringLiteral("Q"));
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("Print the index."));
    parser.addOptions({boundsOpt, formatOpt, qualityOpt, jsonOpt});
    parser.addPositionalArgument(QStringLiteral("IN"), QStringLiteral("The picture."));
    parser.addPositionalArgument(QStringLiteral("OUTDIR"),
                                 QStringLiteral("A folder that does not exist or is empty."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("tiles"), kSynopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("tiles takes IN and OUTDIR"));
        return kUsage;
    }
    const QString in = pos[0], outDir = pos[1];

    TileWriter writer;
    if (!writerFor(parser.isSet(formatOpt) ? parser.value(formatOpt) : QStringLiteral("png"), writer))
        return kUsage;
    int quality = 90;
    if (parser.isSet(qualityOpt)) {
        bool ok = false;
        quality = parser.value(qualityOpt).toInt(&ok);
        if (!ok || quality < 1 || quality > 100 || !writer.jpeg) {
            error(writer.jpeg ? QStringLiteral("--quality takes a number from 1 to 100")
                              : QStringLiteral("--quality is for jpg tiles"));
            return kUsage;
        }
    }
    Math::Box2di bounds;
    const bool boundsGiven = parser.isSet(boundsOpt);
    if (boundsGiven && !parseBounds(parser.value(boundsOpt), bounds)) {
        error(QStringLiteral(
            "--bounds takes X,Y,W,H: integers, W and H above 0, the box inside the integer range"));
        return kUsage;
    }
    const QFileInfo outInfo(outDir);
    if (outInfo.exists() && !outInfo.isDir()) {
        error(QStringLiteral("%1: not a directory").arg(outDir));
        return kUsage;
    }
    if (outInfo.exists() && !emptyFolder(outDir)) {
        error(QStringLiteral("%1: not empty").arg(outDir));
        return kUsage;
    }

    const UT_SharedPtr<CEL_Cel> cel = readCel(in);
    if (!cel) return kFailure;
    std::unique_ptr<CEL_PixmapAreaRGBA16> area = workingArea(cel.get(), in, false);
    if (!area) return kFailure;
    const Math::Size2di canvas = area->size();
    if (!boundsGiven)
        bounds = Math::Box2di(-(canvas.width / 2), -(canvas.height / 2), canvas.width, canvas.height);
    if (bounds.hasNullArea()) {
        error(QStringLiteral("%1: an empty picture makes no layer").arg(in));
        return kFailure;
    }
    const UT_SharedPtr<BM_TiledBitmapRgba32> layer =
        CEL_Conversion::convertToBitmapLayer(UT_SharedPtr<CEL_PixmapAreaRGBA16>(area.release()), bounds);
    if (!layer) {
        error(QStringLiteral("%1: no memory for a layer of %2x%3").arg(in).arg(bounds.w()).arg(bounds.h()));
        return kFailure;
    }
    const BM_SystemEngineI* engine = BM_System::engine();
    if (!engine) {
        error(QStringLiteral("no bitmap engine"));
        return kFailure;
    }

    // Everything goes into a folder beside OUTDIR, renamed at the end.
    const QString parent = outInfo.absolutePath();
    if (!QDir().mkpath(parent)) {
        error(QStringLiteral("%1: cannot create its parent folder").arg(outDir));
        return kFailure;
    }
    QTemporaryDir staging(parent + QStringLiteral("/.") + outInfo.fileName() +
                          QStringLiteral(".celtool-XXXXXX"));
    if (!staging.isValid()) {
        error(QStringLiteral("%1: %2").arg(outDir, staging.errorString()));
        return kFailure;
    }

    TileIndex index;
    index.canvas = canvas;
    index.bounds = bounds;
    index.tileSize = BM_TiledBitmapRgba32::TileSize;
    index.format = writer.extension;
    bool transparent = false;
    std::vector<BM_PixelRgba32> copy;
    for (int row = 0; row < layer->rows(); ++row)
        for (int column = 0; column < layer->columns(); ++column) {
            BM_PixelRgba32* pixels = layer->tile(column, row);
            if (!pixels) continue;
            const Math::Box2di rect = layer->tileRect(column, row);
            const long long n = rect.area();
            for (long long i = 0; i < n && !transparent; ++i) transparent = pixels[i].a != 255;
            if (writer.premultiply) {
                copy.assign(pixels, pixels + n);
                premultiplyPixels(copy.data(), n);
                pixels = copy.data();
            }
            const BM_UncompressedBitmap tile(BM_Bitmap::RGBA32, rect, pixels, rect.w() * 4LL);
            TileEntry e{column, row, rect,
                        QStringLiteral("tile_%1_%2.%3").arg(column).arg(row).arg(writer.extension), 0};
            const QString file = staging.filePath(e.file);
            if (!writeTile(*engine, writer, tile, file, QDir(outDir).filePath(e.file), quality))
                return kFailure;
            e.bytes = QFileInfo(file).size();
            index.tiles.push_back(e);
        }
    const QByteArray json = index.toJson();
    QFile indexFile(staging.filePath(QStringLiteral("index.json")));
    if (!indexFile.open(QIODevice::WriteOnly) || indexFile.write(json) != json.size() || !indexFile.flush()) {
        error(QStringLiteral("%1: %2").arg(QDir(outDir).filePath(QStringLiteral("index.json")),
                                           indexFile.errorString()));
        return kFailure;
    }
    indexFile.close();

    // The folder gets the permissions a new folder would have had.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(QFile::encodeName(staging.path()).constData(), 0777 & ~mask);
    if (::rename(QFile::encodeName(staging.path()).constData(), QFile::encodeName(outDir).constData()) != 0) {
        error(QStringLiteral("%1: %2").arg(outDir, QString::fromLocal8Bit(std::strerror(errno))));
        return kFailure;
    }
    staging.setAutoRemove(false);

    if (transparent && !writer.keepsAlpha)
        error(QStringLiteral("%1: alpha dropped: %2 has no alpha").arg(outDir, writer.name));
    if (parser.isSet(jsonOpt))
        std::fwrite(json.constData(), 1, std::size_t(json.size()), stdout);
    else
        print(QStringLiteral("wrote %1 of %2 tiles (%3x%4 grid of %5) and index.json to %6")
                  .arg(index.tiles.size())
                  .arg(layer->columns() * layer->rows())
                  .arg(layer->columns())
                  .arg(layer->rows())
                  .arg(index.tileSize)
                  .arg(outDir));
    return kSuccess;
}

} // namespace celtool
