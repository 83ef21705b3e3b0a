// libFuzzer harness of every writer: the input becomes a small cel (size,
// pixel kind and values, celfuzz::celFromBytes), which is written with every
// option code of every registered handler that writes and read back. Nothing
// may crash, and a code that writes a file must read it back at the cel's
// size (video frames: a frame of their own size that holds the cel). CELCORE_FUZZ_HANDLER, set to an
// extension, limits the run to one handler.
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

#include "FuzzExercise.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/handlers/VideoFrameHandler.h"

namespace {

const CELIO_Handler* g_pinned = nullptr;
QTemporaryDir* g_dir = nullptr;

[[noreturn]] void fail(const CELIO_Handler& h, const QString& code, const char* what) {
    std::fprintf(stderr, "fuzz_write_read: %s code \"%s\": %s\n", qPrintable(celfuzz::nameOf(h)),
                 qPrintable(code), what);
    std::abort();
}

void writeAndReadBack(const CELIO_Handler& h, CEL_Cel* cel, int w, int ht) {
    const CELIO_Manager* manager = CELIO_Manager::getInstance();
    const QString ext = h.getExtensions().value(0);
    const QString path = g_dir->filePath(QStringLiteral("out.") + h.getWriteExtensions().value(0).toLower());
    QStringList codes = h.getWriteOptionCodes();
    if (codes.isEmpty()) codes << QString(); // the manager's default shape
    for (const QString& code : codes) {
        QFile::remove(path);
        bool written = false;
        try {
            written = manager->write(cel, path, ext, code);
        } catch (int) { // a failed transfer, reported as the writers document
        }
        // A writer may succeed without bytes (a code it skips, a cel it cannot convert).
        if (!written || QFileInfo(path).size() == 0) continue;
        CELIO_RepresentationList list;
        if (!h.read(path, CEL_Context(), list) || list.empty()) fail(h, code, "written but not read back");
        const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(list.front().get());
        // PAL and YUV files are whole frames: the picture comes back centred in one.
        const bool fixedFrame =
            dynamic_cast<const QXCelUioPalHandler*>(&h) || dynamic_cast<const QXCelUioYuvHandler*>(&h);
        const bool sizeOk = pixmap && (fixedFrame ? pixmap->width() >= w && pixmap->height() >= ht
                                                  : pixmap->width() == w && pixmap->height() == ht);
        if (!sizeOk) fail(h, code, "read back at another size");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    celfuzz::startUp((*argv)[0]);
    g_dir = new QTemporaryDir;
    if (!g_dir->isValid()) {
        std::fprintf(stderr, "fuzz_write_read: no temporary folder\n");
        std::exit(2);
    }
    if (const char* name = std::getenv("CELCORE_FUZZ_HANDLER")) {
        g_pinned = celfuzz::handlerFor(QString::fromUtf8(name));
        if (!g_pinned) {
            std::fprintf(stderr, "fuzz_write_read: no handler for \"%s\"\n", name);
            std::exit(2);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const UT_SharedPtr<CEL_Cel> cel(celfuzz::celFromBytes(data, size));
    const auto* pixmap = dynamic_cast<const CEL_Pixmap*>(cel->findBestRepresentation().get());
    const int w = pixmap->width(), h = pixmap->height();
    for (const CELIO_Handler* handler : celfuzz::handlers()) {
        if (g_pinned && handler != g_pinned) continue;
        if (handler->getWriteExtensions().isEmpty()) continue;
        writeAndReadBack(*handler, cel.get(), w, h);
    }
    return 0;
}
