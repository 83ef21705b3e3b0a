#include "Console.h"

#include <QSet>
#include <chrono>
#include <mutex>
#include <unistd.h>
#include <utility>

namespace celtool {

namespace {

std::mutex g_mutex; // one line at a time, whole
bool g_statusOn = false;
bool g_statusShown = false;
std::chrono::steady_clock::time_point g_lastDraw;
WarningMode g_warningMode = WarningMode::Every;
QSet<QString> g_warningKinds;
int g_heldBack = 0;
thread_local QString t_lastError;

// Caller holds g_mutex.
void clearStatusLocked() {
    if (!g_statusShown) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    g_statusShown = false;
}

} // namespace

void writeLine(FILE* out, const QByteArray& line) {
    std::lock_guard lock(g_mutex);
    clearStatusLocked();
    std::fwrite(line.constData(), 1, size_t(line.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
}

void setWarningMode(WarningMode mode) {
    std::lock_guard lock(g_mutex);
    g_warningMode = mode;
}

void warning(const QString& text) {
    {
        std::lock_guard lock(g_mutex);
        if (g_warningMode == WarningMode::None) return;
        if (g_warningMode == WarningMode::OncePerKind) {
            // "f.0007.png: alpha dropped: PNG..." is of the kind "alpha dropped: PNG..."
            const qsizetype colon = text.indexOf(QLatin1String(": "));
            const QString kind = colon < 0 ? text : text.mid(colon + 2);
            if (g_warningKinds.contains(kind)) {
                ++g_heldBack;
                return;
            }
            g_warningKinds.insert(kind);
        }
    }
    writeLine(stderr, "celtool: " + text.toUtf8());
}

int heldBackWarnings() {
    std::lock_guard lock(g_mutex);
    return g_heldBack;
}

QString takeThreadError() {
    return std::exchange(t_lastError, QString());
}

void noteThreadError(const QString& text) {
    t_lastError = text;
}

void enableStatus(bool enable) {
    std::lock_guard lock(g_mutex);
    g_statusOn = enable && ::isatty(2);
    if (!g_statusOn) clearStatusLocked();
}

bool statusEnabled() {
    std::lock_guard lock(g_mutex);
    return g_statusOn;
}

void setStatus(const QString& text, bool force) {
    std::lock_guard lock(g_mutex);
    if (!g_statusOn) return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - g_lastDraw < std::chrono::milliseconds(100)) return;
    g_lastDraw = now;
    const QByteArray bytes = "\r" + text.toUtf8() + "\033[K";
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    g_statusShown = true;
}

void clearStatus() {
    std::lock_guard lock(g_mutex);
    clearStatusLocked();
}

} // namespace celtool
