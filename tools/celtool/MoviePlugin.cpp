#include "MoviePlugin.h"

#ifdef CELTOOL_MOVIE_PLUGIN
#include <dlfcn.h>

#include "base/Message.h"
#include "cel/MovieFrame.h"
#include "plugins/movie/FfmpegMovieDecoder.h"
#endif

namespace celtool {

#ifdef CELTOOL_MOVIE_PLUGIN

namespace {

struct Plugin {
    decltype(&MOV_ffmpegNewDecoder) newDecoder = nullptr;
    decltype(&MOV_ffmpegEncode) encode = nullptr;
    QString error; // why it is not loaded
};

// Loaded once, on first use, and kept for the life of the process. By its
// soname: the dynamic linker finds it where the tool's run path says (the
// build's library folder, or ../lib of an installed tool). Lazy binding:
// resolving every symbol of libav's dependencies up front costs more than
// decoding a frame.
const Plugin& plugin() {
    static const Plugin loaded = [] {
        Plugin p;
        void* handle = dlopen(CELTOOL_MOVIE_PLUGIN, RTLD_LAZY | RTLD_LOCAL);
        if (handle) {
            p.newDecoder = reinterpret_cast<decltype(p.newDecoder)>(dlsym(handle, "MOV_ffmpegNewDecoder"));
            p.encode = reinterpret_cast<decltype(p.encode)>(dlsym(handle, "MOV_ffmpegEncode"));
        }
        if (!p.newDecoder || !p.encode) {
            const char* why = dlerror();
            p.error = QStringLiteral("the movie plug-in %1 does not load: %2")
                          .arg(QLatin1String(CELTOOL_MOVIE_PLUGIN),
                               why ? QString::fromLocal8Bit(why) : QStringLiteral("entry points missing"));
        }
        return p;
    }();
    return loaded;
}

class LazyFactory final : public MOV_AbstractMovieDecoder::Factory {
public:
    MOV_AbstractMovieDecoder* createDecoder() const override {
        const Plugin& p = plugin();
        if (p.newDecoder) return p.newDecoder();
        MSG_Scope(p.error, p.error, 2).post(10);
        return nullptr;
    }
    void aboutToRenameMovieFile(const QString&, const QString&, const QString&) const override {}
};

} // namespace

void registerMovies() {
    static LazyFactory factory;
    MOV_AbstractMovieDecoder::setFactory({"mov", "mp4", "m4v", "mkv", "webm", "avi", "mxf"}, &factory);
}

bool encodeMovie(const QString& path, const std::vector<const CEL_PixmapRGBA8*>& frames, int rate,
                 const QString& codec, int gop, QString& error) {
    const Plugin& p = plugin();
    if (!p.encode) {
        error = p.error;
        return false;
    }
    return p.encode(path, frames, rate, codec, gop, error);
}

#else

void registerMovies() {}

bool encodeMovie(const QString&, const std::vector<const CEL_PixmapRGBA8*>&, int, const QString&, int,
                 QString& error) {
    error = QStringLiteral("built without the movie plug-in");
    return false;
}

#endif

} // namespace celtool
