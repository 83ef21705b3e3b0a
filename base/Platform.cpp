#include "base/Platform.h"

#include <QDir>
#include <atomic>
#include <mutex>

QString oswUtil::getTempDir() {
    QString dir = QDir::tempPath();
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    return dir;
}

namespace {
std::mutex g_remapMutex;
oswRemapPath::RemapFunction g_remap;

std::atomic<bool> g_interactive{true};
std::atomic<bool> g_colorRecovery{false};
std::atomic<bool> g_delayedColorRecovery{false};
std::atomic<bool> g_useElementPaletteList{false};
std::atomic<bool> g_batchRendering{false};
std::atomic<bool> g_optimizedVector{true};
} // namespace

QString oswRemapPath::RemapPath2(const QString& path) {
    RemapFunction f;
    {
        std::lock_guard lock(g_remapMutex);
        f = g_remap;
    }
    return f ? f(path) : path;
}

void oswRemapPath::setRemapFunction(RemapFunction f) {
    std::lock_guard lock(g_remapMutex);
    g_remap = std::move(f);
}

bool WHO_Identity::isInteractive() {
    return g_interactive.load();
}
void WHO_Identity::setInteractive(bool v) {
    g_interactive.store(v);
}

bool ST_ColorRecovery::isColorRecovery() {
    return g_colorRecovery.load();
}
bool ST_ColorRecovery::isDelayedColorRecovery() {
    return g_delayedColorRecovery.load();
}
bool ST_ColorRecovery::isUseElementPaletteList() {
    return g_useElementPaletteList.load();
}
void ST_ColorRecovery::setColorRecovery(bool v) {
    g_colorRecovery.store(v);
}
void ST_ColorRecovery::setDelayedColorRecovery(bool v) {
    g_delayedColorRecovery.store(v);
}
void ST_ColorRecovery::setUseElementPaletteList(bool v) {
    g_useElementPaletteList.store(v);
}

bool ST_BatchParams::isBatchRendering() {
    return g_batchRendering.load();
}
void ST_BatchParams::setBatchRendering(bool v) {
    g_batchRendering.store(v);
}

bool ST_Features::isOptimizedVector() {
    return g_optimizedVector.load();
}
void ST_Features::setOptimizedVector(bool v) {
    g_optimizedVector.store(v);
}
