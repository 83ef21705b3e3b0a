#include "FuzzExercise.h"

#ifdef CELFUZZ_HAVE_MOVIES
#include "plugins/movie/FfmpegMovieDecoder.h"
#endif

#include <QCoreApplication>
#include <QtGlobal>
#include <algorithm>
#include <map>
#include <ostream>
#include <streambuf>

#include "base/Message.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/LayerInfo.h"
#include "celio/Manager.h"
#include "celio/MemoryFile.h"
#include "celio/handlers/TiffHandler.h"
#include "pixel/PixmapCanvas.h"

namespace celfuzz {
namespace {

// A stream that drops what it is given.
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return c == traits_type::eof() ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

struct Registry {
    std::vector<const CELIO_Handler*> readers;
    std::map<const CELIO_Handler*, bool> layered;
};

Registry& registry() {
    static Registry r;
    return r;
}

// Whether a handler answers the layer-tree query: the base class answers
// "unsupported" for any path, a layered handler "failed" for a missing file.
bool answersLayerQueries(const CELIO_Handler& h) {
    CELIO_LayerInfo layers;
    try {
        return h.readLayerInfo(QStringLiteral("/nonexistent/celfuzz-probe"), layers) !=
               CELIO_STATE_UNSUPPORTED;
    } catch (...) {
        return true;
    }
}

// Converts what a read produced, as a host would before using it.
void convertAll(const CELIO_RepresentationList& list) {
    for (const UT_SharedPtr<CEL_Representation>& rep : list) {
        const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(rep.get());
        if (!rep || (pixmap && int64_t(pixmap->width()) * pixmap->height() > (int64_t(1) << 20))) continue;
        UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(rep->getFormat()));
        cel->addRepresentation(rep);
        cel->convertTo(CEL_Representation::PIXMAP_RGBA8);
        cel->convertTo(CEL_Representation::PIXMAP_RGBA16);
    }
}

// At most this many layers of a layered file are read one by one.
constexpr int kMaxLayers = 16;

} // namespace

void setUp(bool quiet) {
    qxCelAddPixmapHandler();
#ifdef CELFUZZ_HAVE_MOVIES
    // Movies through the libav plug-in: the container's index and the
    // decoders behind it (the slice reads every input as a MOV/MP4 file).
    MOV_registerFfmpegDecoders();
#endif
    Registry& r = registry();
    r.readers.clear();
    for (const CELIO_Handler* h : CELIO_Manager::getInstance()->handlers()) {
        if (h->getExtensions().isEmpty()) continue;
        r.readers.push_back(h);
        r.layered[h] = answersLayerQueries(*h);
    }
    CEL_Pixmap::setMaxPixmapBytes(PixmapCap);
    if (quiet) {
        static NullBuffer nothing;
        static std::ostream sink(&nothing);
        QXMessage::instance().setSink([](const MSG_Record&) {});
        QxCelUioTiffHandler::setDiagnosticStream(&sink);
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    }
}

void startUp(char* argv0) {
    static int argc = 1;
    static char* argv[] = {argv0, nullptr};
    new QCoreApplication(argc, argv);
    setUp();
}

const std::vector<const CELIO_Handler*>& handlers() {
    return registry().readers;
}

const CELIO_Handler* handlerFor(const QString& extension) {
    // The handler whose main extension it is first: PSD's handler also lists PSB.
    for (const CELIO_Handler* h : registry().readers)
        if (nameOf(*h).compare(extension, Qt::CaseInsensitive) == 0) return h;
    for (const CELIO_Handler* h : registry().readers)
        if (h->getExtensions().contains(extension, Qt::CaseInsensitive)) return h;
    return nullptr;
}

QString nameOf(const CELIO_Handler& handler) {
    return handler.getExtensions().value(0).toLower();
}

bool exerciseRead(const CELIO_Handler& handler, const uint8_t* data, size_t size) {
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const CELIO_MemoryFile file(data, size, QStringLiteral("fuzz.") + nameOf(handler));
    const CEL_Context context;
    CELIO_Info info;
    manager->loadInfo(file, context, info);
    CELIO_RepresentationList list;
    const bool read = manager->read(file, context, list);
    convertAll(list);

    if (registry().layered[&handler]) {
        CELIO_LayerInfo layers;
        if (manager->loadLayerInfo(file, layers) == CELIO_STATE_OK) {
            int n = 0;
            for (CELIO_LayerInfo::Iterator it(layers); !it.end() && n < kMaxLayers; ++it, ++n) {
                const CEL_Context layer(context.isColorRecovery(), context.isDelayedColorRecovery(),
                                        context.useElementPaletteList(), nullptr, 0, it->path(":"), 1.0);
                CELIO_RepresentationList one;
                manager->read(file, layer, one);
                convertAll(one);
            }
        }
    }
    return read;
}

bool exerciseReadFile(const CELIO_Handler& handler, const QString& path) {
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const CEL_Context context;
    QDateTime modified;
    CELIO_Info info;
    manager->loadInfo(path, modified, context, info);
    CELIO_RepresentationList list;
    bool read = false;
    try {
        read = handler.read(path, context, list);
    } catch (...) { // the manager's callers see handler exceptions too; here they are no fault
    }
    convertAll(list);
    return read;
}

CEL_Cel* celFromBytes(const uint8_t* data, size_t size) {
    const auto byte = [&](size_t i) { return i < size ? data[i] : uint8_t(0); };
    const int w = 1 + byte(0) % 64, h = 1 + byte(1) % 64, kind = byte(2) % 4;
    const uint8_t* values = size > 3 ? data + 3 : nullptr;
    const size_t count = size > 3 ? size - 3 : 0;
    // Byte i of the pixels: the input's, repeated, or a pattern without any.
    const auto value = [&](size_t i) { return count ? values[i % count] : uint8_t(i * 37 + i / 7); };
    const size_t pixels = size_t(w) * size_t(h);
    CEL_Pixmap* p = nullptr;
    switch (kind) {
    case 0: {
        auto* q = new CEL_PixmapRGBA8(w, h);
        auto* b = reinterpret_cast<uint8_t*>(q->data());
        for (size_t i = 0; i < 4 * pixels; ++i) b[i] = value(i);
        p = q;
        break;
    }
    case 1: {
        auto* q = new CEL_PixmapRGBA16(w, h);
        auto* s = reinterpret_cast<int16_t*>(q->data());
        for (size_t i = 0; i < 4 * pixels; ++i) s[i] = int16_t(value(2 * i) | value(2 * i + 1) << 8);
        p = q;
        break;
    }
    case 2: {
        auto* q = new CEL_PixmapMatte8(w, h);
        for (size_t i = 0; i < pixels; ++i) q->data()[i] = value(i);
        p = q;
        break;
    }
    default: {
        auto* q = new CEL_PixmapMatte16(w, h);
        for (size_t i = 0; i < pixels; ++i) q->data()[i] = short(value(2 * i) | value(2 * i + 1) << 8);
        p = q;
        break;
    }
    }
    auto* cel = new CEL_Cel(p->getFormat());
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return cel;
}

} // namespace celfuzz
