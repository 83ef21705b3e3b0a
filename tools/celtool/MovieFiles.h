#pragma once
// Movie frames in the tool: which frame of a movie a subcommand reads
// (--frame N, 1-based), and the movie facts `info` shows.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QString>

#include "base/SharedPtr.h"

class CEL_Representation;

namespace celtool {

// --frame N.
QCommandLineOption frameOption();
// The frame --frame names (1 when not set); false after a usage error when it
// is not a positive whole number.
bool frameOf(const QCommandLineParser& parser, const QCommandLineOption& option, int& frame);

// Frame `frame` of the movie `file` decoded to an RGBA8 pixmap; null with the
// cause in `why` ("frame 200 out of range 1–120"; empty when the decoder did
// not open the file, whose reason the library posted).
UT_SharedPtr<CEL_Representation> decodeMovieFrame(const QString& file, int frame, QString& why);

struct MovieFacts {
    int frames = 0;
    double frameRate = 0.0;
    QString codec;
};
// The facts of a movie file; false when it is none a decoder opens.
bool movieFacts(const QString& file, MovieFacts& facts);

} // namespace celtool
