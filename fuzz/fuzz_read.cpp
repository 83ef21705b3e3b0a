// libFuzzer harness of every reader. The first byte of an input picks a
// registered handler (its value modulo the number of handlers, in registration
// order); the rest is the file. With CELCORE_FUZZ_HANDLER set to an extension
// ("tga", "png" ...) every input is a whole file for that handler: the
// per-handler slices that `make fuzz` runs, whose corpora are plain files.
//
// Each input goes through the manager's in-memory read (celfuzz::exerciseRead):
// header query, read, conversion of the result to 8- and 16-bit RGBA, and the
// layers of a layered file.
#include <cstdio>
#include <cstdlib>

#include "FuzzExercise.h"

namespace {

const CELIO_Handler* g_pinned = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    celfuzz::startUp((*argv)[0]);
    if (const char* name = std::getenv("CELCORE_FUZZ_HANDLER")) {
        g_pinned = celfuzz::handlerFor(QString::fromUtf8(name));
        if (!g_pinned) {
            std::fprintf(stderr, "fuzz_read: no handler for \"%s\"; registered:", name);
            for (const CELIO_Handler* h : celfuzz::handlers())
                std::fprintf(stderr, " %s", qPrintable(celfuzz::nameOf(*h)));
            std::fprintf(stderr, "\n");
            std::exit(2);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const CELIO_Handler* handler = g_pinned;
    if (!handler) {
        const auto& all = celfuzz::handlers();
        if (size == 0 || all.empty()) return 0;
        handler = all[data[0] % all.size()];
        ++data, --size;
    }
    celfuzz::exerciseRead(*handler, data, size);
    return 0;
}
