#include "MoviePlugin.h"

#ifdef CELTOOL_MOVIE_PLUGIN
#include <dlfcn.h>

#include <cstdlib>

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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// The plug-in's own libraries first when it resolves symbols. libav brings a
// hundred-odd libraries, most bound at load, and each of their twenty
// thousand symbol lookups otherwise walks the tool's own fifty libraries
// before its own (3 ms of a 95 ms frame extract). Not when something is
// preloaded (an allocator the tool's side would use and the plug-in's not)
// and not under sanitizers, whose run-times refuse it.
int bindingFlags() {
    int flags = RTLD_LAZY | RTLD_LOCAL;
#ifdef RTLD_DEEPBIND
    const char* preload = std::getenv("LD_PRELOAD");
    if (!kSanitized && (!preload || !*preload)) flags |= RTLD_DEEPBIND;
#endif
    return flags;
}

// Loaded once, on first use, and kept for the life of the process. By its
// soname: the dynamic linker finds it where the tool's run path says (the
// build's library folder, or ../lib of an installed tool). Lazy binding:
// resolving every symbol of libav's dependencies up front costs more than
// decoding a frame.
const Plugin& plugin() {
    static const Plugin loaded = [] {
        Plugin p;
        void* handle = dlopen(CELTOOL_MOVIE_PLUGIN, bindingFlags());
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
