#include "celio/handlers/MovieHandler.h"

#include <QFileInfo>
#include <list>
#include <memory>

#include "cel/Context.h"
#include "cel/MovieFrame.h"

namespace {

// An opened movie kept for later reads on the same thread.
struct OpenMovie {
    QString path;
    qint64 size = -1;
    qint64 modified = 0;
    std::unique_ptr<CELMOV_MovieFrame> frame;
};

// The opened movie for `path` (most recently used first), opening it when
// the thread has none for this version of the file. Null when the path is no
// file; the frame has no decoder when none opens it.
const CELMOV_MovieFrame* openMovie(const QString& path) {
    thread_local std::list<OpenMovie> movies;
    const QFileInfo fileInfo(path);
    if (!fileInfo.isFile()) return nullptr;
    const qint64 size = fileInfo.size();
    const qint64 modified = fileInfo.lastModified().toMSecsSinceEpoch();
    for (auto it = movies.begin(); it != movies.end(); ++it) {
        if (it->path != path) continue;
        if (it->size == size && it->modified == modified) {
            movies.splice(movies.begin(), movies, it);
            return movies.front().frame.get();
        }
        movies.erase(it);
        break;
    }
    OpenMovie movie{path, size, modified, std::make_unique<CELMOV_MovieFrame>(path, 1)};
    movies.push_front(std::move(movie));
    if (movies.size() > CELMOV_MovieHandler::kDecodersPerThread) movies.pop_back();
    return movies.front().frame.get();
}

QString formatRate(double rate) {
    return QString::number(rate, 'g', 6);
}

} // namespace

CELMOV_MovieHandler::CELMOV_MovieHandler(const QStringList& extensions) : m_extensions(extensions) {}

QStringList CELMOV_MovieHandler::getExtensions() const {
    return m_extensions;
}

QStringList CELMOV_MovieHandler::getWriteExtensions() const {
    return {};
}

QStringList CELMOV_MovieHandler::getWriteOptionCodes() const {
    return {};
}

QString CELMOV_MovieHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QString();
}

bool CELMOV_MovieHandler::read(const QString& path, const CEL_Context& context,
                               CELIO_RepresentationList& list) const {
    const CELMOV_MovieFrame* movie = openMovie(path);
    if (!movie || !movie->hasDecoder()) return false;
    const int frame = context.animationFrame() + 1;
    if (frame < 1 || frame > movie->movieNumberOfFrames()) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(movie->cloneNewFrame(frame)));
    return true;
}

bool CELMOV_MovieHandler::write(CEL_Cel*, const QString&, const QString&) const {
    return false;
}

CELIO_State CELMOV_MovieHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    const CELMOV_MovieFrame* movie = openMovie(path);
    if (!movie || !movie->hasDecoder()) return CELIO_STATE_FAILED;
    const Math::Size2di size = movie->decodedSize();
    info.width = static_cast<uint32_t>(size.width);
    info.height = static_cast<uint32_t>(size.height);
    info.channels = movie->movieHasAlpha() ? 4 : 3;
    info.bytesPerChannel = 1;
    info.optionCode = QString();
    info.description = QStringLiteral("%1, %2 frames, %3 fps")
                           .arg(movie->movieCodecName())
                           .arg(movie->movieNumberOfFrames())
                           .arg(formatRate(movie->movieFrameRate()));
    return CELIO_STATE_OK;
}

CELMOV_MovieFrame* CELMOV_MovieHandler::movieFrame(const QString& path, int frame) {
    const CELMOV_MovieFrame* movie = openMovie(path);
    return movie && movie->hasDecoder() ? movie->cloneNewFrame(frame) : nullptr;
}

UT_DynKey CELMOV_MovieHandler::formatClass() const {
    return CELIO_PixmapFormat;
}
