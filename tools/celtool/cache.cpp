// celtool cache: what is in the render cache folders, clearing what crashed
// or killed processes left there, and one image through the cache and back.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>

#include "CelFiles.h"
#include "Command.h"
#include "cel/Cel.h"
#include "cel/Proxy.h"
#include "celio/handlers/RawHandlers.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace celtool {

namespace {

using R = CEL_Representation;

const QString kSynopsis = QStringLiteral("stats [--json] [--cache SPEC] | clear [--cache SPEC] [--dry-run] | "
                                         "roundtrip [--cache SPEC] [--json] IN OUT");

// A folder a cache manager would put its own folder in.
struct Location {
    QString folder;
    long long megabytes = 0;
    bool temporary = false; // the fallback, for a short value or one with errors
};

// The value of --cache, else QAV_CACHE_PATH, read by the library (which posts
// its errors); the locations a cache manager would use with it.
std::vector<Location> locationsOf(const QCommandLineParser& parser, const QCommandLineOption& cacheOpt,
                                  CEL_CachePathSpec& spec) {
    const QString value =
        parser.isSet(cacheOpt)
            ? parser.value(cacheOpt)
            : QProcessEnvironment::systemEnvironment().value(QStringLiteral("QAV_CACHE_PATH"));
    spec = CEL_CacheLocationManager::parseCachePath(value);
    CEL_CacheLocationManager::reportErrors(spec);
    std::vector<Location> out;
    for (const CEL_CachePathEntry& e : spec.entries) out.push_back({e.path, e.megabytes, false});
    if (out.empty())
        out.push_back(
            {CEL_CacheLocationManager::tempDirRoot(), CEL_CacheLocationManager::TempDirCapacityMB, true});
    return out;
}

QJsonObject folderJson(const CEL_CacheLocationManager::FolderInfo& f) {
    return QJsonObject{
        {QStringLiteral("name"), f.name},           {QStringLiteral("path"), f.path},
        {QStringLiteral("live"), f.live},           {QStringLiteral("files"), double(f.files)},
        {QStringLiteral("bytes"), double(f.bytes)}, {QStringLiteral("partFiles"), double(f.partFiles)}};
}

void printJson(const QJsonObject& o) {
    print(QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)));
}

int stats(const std::vector<Location>& locations, const CEL_CachePathSpec& spec, bool json) {
    QJsonArray all;
    for (size_t i = 0; i < locations.size(); ++i) {
        const Location& l = locations[i];
        const auto folders = CEL_CacheLocationManager::inspect(l.folder);
        if (json) {
            QJsonArray caches;
            for (const auto& f : folders) caches.append(folderJson(f));
            all.append(QJsonObject{{QStringLiteral("folder"), l.folder},
                                   {QStringLiteral("capacityMB"), double(l.megabytes)},
                                   {QStringLiteral("capacityBytes"), double(l.megabytes) * 1048576.0},
                                   {QStringLiteral("temporary"), l.temporary},
                                   {QStringLiteral("caches"), caches}});
            continue;
        }
        print(QStringLiteral("location %1: %2, capacity %3 MB%4")
                  .arg(i + 1)
                  .arg(l.folder)
                  .arg(l.megabytes)
                  .arg(l.temporary ? QStringLiteral(" (temporary folder)") : QString()));
        if (folders.empty()) print(QStringLiteral("  no cache folders"));
        for (const auto& f : folders)
            print(QStringLiteral("  %1  %2  %3 files, %4 bytes, %5 part files")
                      .arg(f.name, f.live ? QStringLiteral("live ") : QStringLiteral("stale"))
                      .arg(f.files)
                      .arg(f.bytes)
                      .arg(f.partFiles));
    }
    if (json)
        printJson(QJsonObject{{QStringLiteral("value"), spec.value},
                              {QStringLiteral("errors"), QJsonArray::fromStringList(spec.errors)},
                              {QStringLiteral("locations"), all}});
    return spec.hasErrors() ? kFailure : kSuccess;
}

int clear(const std::vector<Location>& locations, const CEL_CachePathSpec& spec, bool dryRun) {
    long long freed = 0;
    for (const Location& l : locations) {
        std::vector<CEL_CacheLocationManager::FolderInfo> removed;
        freed += CEL_CacheLocationManager::clearStale(l.folder, dryRun, &removed);
        for (const auto& f : removed)
            print(QStringLiteral("%1 %2 (%3 bytes)")
                      .arg(dryRun ? QStringLiteral("would remove") : QStringLiteral("removed"), f.path)
                      .arg(f.bytes));
    }
    print(QStringLiteral("%1 %2 bytes")
              .arg(dryRun ? QStringLiteral("would free") : QStringLiteral("freed"))
              .arg(freed));
    return spec.hasErrors() ? kFailure : kSuccess;
}

// Why toProxy refused the cel, found by asking what it asks.
QString refusal(const CEL_Cel& cel, const CEL_ProxyManager& proxies) {
    if (cel.findRepresentation(R::PIXMAP_AREA_ZBUF)) return QStringLiteral("the image has a depth buffer");
    if (!cel.convertibleTo(R::PROXY)) return QStringLiteral("the image is blank or empty");
    const auto& locations = proxies.cacheLocationManager().locations();
    if (locations.empty()) return QStringLiteral("the cache has no usable folder");
    long long pixels = 0;
    const UT_SharedPtr<R> best(cel.findBestPixmapRepresentation().get());
    if (const auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(best.get()))
        pixels = area->allocatedArea();
    const long long bytes = CELIO_UioRawPixMapHandler::HeaderSize + 8 * pixels;
    long long room = 0;
    for (const auto& l : locations) room = std::max(room, l->freeBytes());
    if (room < bytes)
        return QStringLiteral("no cache folder has room for %1 bytes (at most %2 free)").arg(bytes).arg(room);
    return QStringLiteral("the proxy file could not be written");
}

int roundtrip(const QString& value, bool json, const QString& in, const QString& out) {
    const UT_SharedPtr<CEL_Cel> cel = readCel(in, QString(), QString());
    if (!cel) return kFailure;
    // The cache keeps 16-bit area pixmaps (cropped to their content).
    cel->convertTo(R::PIXMAP_AREA_RGBA16);
    CEL_ProxyManager proxies(value);
    if (!proxies.toProxy(*cel)) {
        error(QStringLiteral("%1: not moved into the cache: %2").arg(in, refusal(*cel, proxies)));
        return kFailure;
    }
    const auto* proxy = dynamic_cast<const CEL_Proxy*>(cel->findRepresentation(R::PROXY).get());
    const CEL_CacheLocationAccess* access = proxy ? proxy->getCacheLocationAccess() : nullptr;
    if (!access) return kFailure;
    const QString file = access->filePath();
    const QString folder = access->location()->directory();
    if (json)
        printJson(QJsonObject{{QStringLiteral("file"), file},
                              {QStringLiteral("bytes"), double(access->reservedBytes())},
                              {QStringLiteral("location"), folder},
                              {QStringLiteral("capacityBytes"), double(access->location()->capacity())}});
    else
        print(QStringLiteral("moved %1 into the cache: %2 (%3 bytes) in %4")
                  .arg(in, file)
                  .arg(access->reservedBytes())
                  .arg(folder));
    // Back from the file, then out.
    if (!cel->convertTo(R::PIXMAP_AREA_RGBA16)) {
        error(QStringLiteral("%1: cannot be read back").arg(file));
        return kFailure;
    }
    cel->removeRepresentation(R::PROXY);
    return writeCel(cel.get(), out, WriteOptions());
}

} // namespace

int runCache(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption cacheOpt(QStringLiteral("cache"),
                                      QStringLiteral("Cache path value (default: $QAV_CACHE_PATH): "
                                                     "\"FOLDER;MEGABYTES[;FOLDER;MEGABYTES...]\"."),
                                      QStringLiteral("SPEC"));
    const QCommandLineOption jsonOpt(QStringLiteral("json"), QStringLiteral("Print JSON."));
    const QCommandLineOption dryOpt(QStringLiteral("dry-run"),
                                    QStringLiteral("List what clear would remove."));
    parser.addOptions({cacheOpt, jsonOpt, dryOpt});
    parser.addPositionalArgument(QStringLiteral("ACTION"), QStringLiteral("stats, clear or roundtrip."));
    int rc = kSuccess;
    if (!parseArgs(parser, QStringLiteral("cache"), kSynopsis, args, &rc)) return rc;
    const QStringList pos = parser.positionalArguments();
    const QString action = pos.value(0);
    const bool json = parser.isSet(jsonOpt);
    const auto usage = [](const QString& text) {
        error(text);
        return int(kUsage);
    };
    if (action == QLatin1String("roundtrip")) {
        if (pos.size() != 3 || parser.isSet(dryOpt))
            return usage(QStringLiteral("cache roundtrip needs IN and OUT"));
        const QString value =
            parser.isSet(cacheOpt)
                ? parser.value(cacheOpt)
                : QProcessEnvironment::systemEnvironment().value(QStringLiteral("QAV_CACHE_PATH"));
        return roundtrip(value, json, pos[1], pos[2]);
    }
    if (action != QLatin1String("stats") && action != QLatin1String("clear"))
        return usage(QStringLiteral("cache needs stats, clear or roundtrip"));
    if (pos.size() != 1) return usage(QStringLiteral("cache %1 takes no file").arg(action));
    if (action == QLatin1String("stats") && parser.isSet(dryOpt))
        return usage(QStringLiteral("--dry-run goes with clear"));
    if (action == QLatin1String("clear") && json)
        return usage(QStringLiteral("--json goes with stats and roundtrip"));
    CEL_CachePathSpec spec;
    const std::vector<Location> locations = locationsOf(parser, cacheOpt, spec);
    return action == QLatin1String("stats") ? stats(locations, spec, json)
                                            : clear(locations, spec, parser.isSet(dryOpt));
}

} // namespace celtool
