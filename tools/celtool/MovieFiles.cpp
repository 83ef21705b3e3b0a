#include "MovieFiles.h"

#include <memory>

#include "Command.h"
#include "Console.h"
#include "cel/MovieFrame.h"
#include "celio/handlers/MovieHandler.h"

namespace celtool {

QCommandLineOption frameOption() {
    return QCommandLineOption(QStringLiteral("frame"),
                              QStringLiteral("Frame of a movie to read, from 1 (default 1)."),
                              QStringLiteral("N"), QStringLiteral("1"));
}

bool frameOf(const QCommandLineParser& parser, const QCommandLineOption& option, int& frame) {
    bool ok = false;
    frame = parser.value(option).toInt(&ok);
    if (ok && frame >= 1) return true;
    error(QStringLiteral("--frame takes a frame number from 1, not '%1'").arg(parser.value(option)));
    return false;
}

UT_SharedPtr<CEL_Representation> decodeMovieFrame(const QString& file, int frame, QString& why) {
    const std::unique_ptr<CELMOV_MovieFrame> movie(CELMOV_MovieHandler::movieFrame(file, frame));
    if (!movie) return {};
    const int frames = movie->movieNumberOfFrames();
    if (frame < 1 || frame > frames) {
        why = QStringLiteral("frame %1 out of range 1\u2013%2").arg(frame).arg(frames);
        return {};
    }
    bool ok = false;
    UT_SharedPtr<CEL_Representation> pixels(movie->convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
    if (!ok || !pixels) {
        // Never a cleared frame in place of the picture.
        why = pixels ? QStringLiteral("frame %1 could not be decoded").arg(frame)
                     : QStringLiteral("frame %1 too large to hold").arg(frame);
        return {};
    }
    return pixels;
}

bool movieFacts(const QString& file, MovieFacts& facts) {
    const std::unique_ptr<CELMOV_MovieFrame> movie(CELMOV_MovieHandler::movieFrame(file, 1));
    if (!movie) return false;
    facts.frames = movie->movieNumberOfFrames();
    facts.frameRate = movie->movieFrameRate();
    facts.codec = movie->movieCodecName();
    return true;
}

} // namespace celtool
