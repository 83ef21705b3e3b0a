#pragma once
// Movies in the tool through the libav plug-in, loaded the first time a
// movie is opened or written: libav and its dependencies take three times as
// long to load as the rest of the tool, and most runs never open a movie.

#include <QString>
#include <vector>

class CEL_PixmapRGBA8;

namespace celtool {

// Registers the plug-in's extensions (mov, mp4, m4v, mkv, webm, avi, mxf) with
// a factory that loads it on first use. Without a plug-in built, nothing.
void registerMovies();

// Encodes frames through the plug-in (see MOV_encodeFfmpegMovie); false with
// the reason when it fails or the plug-in cannot be loaded.
bool encodeMovie(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                 const QString& codec, int gop, QString& error);

} // namespace celtool
