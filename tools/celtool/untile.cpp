// celtool untile: a folder written by `tiles` back into one picture: every
// tile through the bitmap engine into a tiled layer, the layer into a pixmap.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <climits>
#include <memory>

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

const QString kSynopsis = QStringLiteral("[--canvas WxH] [--code CODE] DIR OUT");

bool parseCanvas(const QString& text, Math::Size2di& size) {
    const QStringList parts = text.toLower().split(QLatin1Char('x'));
    if (parts.size() != 2) return false;
    bool okW = false, okH = false;
    const long long w = parts[0].toLongLong(&okW), h = parts[1].toLongLong(&okH);
    if (!okW || !okH || w < 0 || h < 0 || w > INT_MAX || h > INT_MAX) return false;
    size = Math::Size2di(int(w), int(h));
    return true;
}

// The tile's pixels through the engine: JPEG data by its load from memory,
// other files by its load from the file. Null after one line naming the file.
std::unique_ptr<BM_UncompressedBitmap> loadTile(const BM_SystemEngineI& engine, const QString& path) {
    const auto fail = [&path](const QString& cause) {
        error(QStringLiteral("%1: %2").arg(path, cause));
        return nullptr;
    };
    const QFileInfo info(path);
    if (!info.exists()) return fail(QStringLiteral("no such file"));
    if (!info.isFile()) return fail(QStringLiteral("not a file"));
    const QString ext = info.suffix().toLower();
    const QXMessage::Capture capture;
    std::unique_ptr<BM_Bitmap> b;
    if (ext == QLatin1String("jpg") || ext == QLatin1String("jpeg")) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return fail(f.errorString());
        const QByteArray bytes = f.readAll();
        BM_StoredBitmap stored;
        if (!stored.allocate(std::size_t(bytes.size()))) return fail(QStringLiteral("out of memory"));
        std::memcpy(stored.data(), bytes.constData(), std::size_t(bytes.size()));
        b.reset(engine.load(stored, 0));
    } else {
        b.reset(engine.load(PL_FileSpec(path), 0));
    }
    auto* u = dynamic_cast<BM_UncompressedBitmap*>(b.get());
    if (!u || !u->isValid() || u->layout() != BM_Bitmap::RGBA32) {
        QString cause;
        for (const MSG_Record& r : capture.records())
            if (!r.source.startsWith(QLatin1String("unable to read"))) cause = r.translated.simplified();
        return fail(cause.isEmpty() ? QStringLiteral("not a readable tile")
                                    : QStringLiteral("not a readable tile (%1)").arg(cause));
    }
    b.release();
    return std::unique_ptr<BM_UncompressedBitmap>(u);
}

} // namespace

int runUntile(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption canvasOpt(QStringLiteral("canvas"),
                                       QStringLiteral("The picture's canvas (default: the index's)."),
                                       QStringLiteral("WxH"));
    const QCommandLineOption codeOpt(QStringLiteral("code"), QStringLiteral("Option code of OUT."),
                                     QStringLiteral("CODE"));
    parser.addOptions({canvasOpt, codeOpt});
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("A folder written by tiles."));
    parser.addPositionalArgument(QStringLiteral("OUT"), QStringLiteral("The picture to write."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("untile"), kSynopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    if (pos.size() != 2) {
        error(QStringLiteral("untile takes DIR and OUT"));
        return kUsage;
    }
    const QString dirPath = pos[0], out = pos[1];
    WriteOptions options;
    options.code = parser.value(codeOpt);
    Math::Size2di canvas;
    const bool canvasGiven = parser.isSet(canvasOpt);
    if (canvasGiven && !parseCanvas(parser.value(canvasOpt), canvas)) {
        error(QStringLiteral("--canvas takes WxH (two integers from 0)"));
        return kUsage;
    }
    if (const int check = checkOutput(out, options); check != kSuccess) return check;

    const QDir dir(dirPath);
    const QString indexPath = dir.filePath(QStringLiteral("index.json"));
    QFile indexFile(indexPath);
    if (!QFileInfo(dirPath).isDir()) {
        error(QStringLiteral("%1: %2").arg(dirPath, QFileInfo::exists(dirPath)
                                                        ? QStringLiteral("not a directory")
                                                        : QStringLiteral("no such directory")));
        return kFailure;
    }
    if (!indexFile.open(QIODevice::ReadOnly)) {
        error(QStringLiteral("%1: %2").arg(indexPath, indexFile.exists() ? indexFile.errorString()
                                                                         : QStringLiteral("no such file")));
        return kFailure;
    }
    TileIndex index;
    QString why;
    if (!TileIndex::fromJson(indexFile.readAll(), index, why)) {
        error(QStringLiteral("%1: %2").arg(indexPath, why));
        return kFailure;
    }
    if (!canvasGiven) canvas = index.canvas;

    const BM_SystemEngineI* engine = BM_System::engine();
    const UT_SharedPtr<BM_TiledBitmapRgba32> layer(new BM_TiledBitmapRgba32(index.bounds));
    if (!engine || !layer->isValid()) {
        error(QStringLiteral("%1: no memory for a layer of %2x%3")
                  .arg(indexPath)
                  .arg(index.bounds.w())
                  .arg(index.bounds.h()));
        return kFailure;
    }
    for (const TileEntry& e : index.tiles) {
        const QString path = dir.filePath(e.file);
        const std::unique_ptr<BM_UncompressedBitmap> tile = loadTile(*engine, path);
        if (!tile) return kFailure;
        if (tile->width() != e.rect.w() || tile->height() != e.rect.h()) {
            error(QStringLiteral("%1: %2x%3 pixels where the grid has a %4x%5 tile")
                      .arg(path)
                      .arg(tile->width())
                      .arg(tile->height())
                      .arg(e.rect.w())
                      .arg(e.rect.h()));
            return kFailure;
        }
        BM_PixelRgba32* pixels = layer->tileForWrite(e.column, e.row, false);
        if (!pixels) {
            error(QStringLiteral("%1: out of memory").arg(path));
            return kFailure;
        }
        for (int y = 0; y < e.rect.h(); ++y)
            std::memcpy(static_cast<void*>(pixels + (long long)y * e.rect.w()), tile->row(y),
                        std::size_t(e.rect.w()) * 4);
        // Tiles hold straight colour: files of a premultiplied family are demultiplied.
        const CELIO_Handler* h = CELIO_Manager::getInstance()->findHandler(QFileInfo(path).suffix());
        if (h && CELIO_FormatTable::readAlpha(*h, path) == CELIO_Alpha::Premultiplied)
            demultiplyPixels(pixels, e.rect.area());
    }

    const UT_SharedPtr<CEL_PixmapAreaRGBA16> area = CEL_Conversion::convertToPixmapArea(*layer, canvas);
    if (!area) {
        error(QStringLiteral("%1: no memory for a picture of the layer's %2x%3 pixels on a %4x%5 canvas")
                  .arg(dirPath)
                  .arg(index.bounds.w())
                  .arg(index.bounds.h())
                  .arg(canvas.width)
                  .arg(canvas.height));
        return kFailure;
    }
    const UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_AREA_RGBA16));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(area.get()));
    setOrigin(cel.get(), CelOrigin{{4, false}, CELIO_Alpha::Premultiplied, index.format.toUpper()});
    return writeCel(cel.get(), out, options);
}

} // namespace celtool
