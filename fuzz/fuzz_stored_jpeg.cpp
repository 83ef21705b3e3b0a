// libFuzzer harness of the bitmap engine's load of stored JPEG data (the
// bytes a bitmap is kept as in memory, which reach the engine from caches and
// documents rather than through a file handler): every input is the stored
// data. A bitmap that loads is walked end to end, so that the address
// sanitizer sees a buffer shorter than its declared size.
#include <cstdint>
#include <cstring>
#include <memory>

#include "FuzzExercise.h"
#include "base/Bitmap.h"
#include "celio/BitmapEngine.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    (void)argc;
    celfuzz::startUp((*argv)[0]);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    BM_StoredBitmap stored;
    if (size == 0 || !stored.allocate(size)) return 0;
    std::memcpy(stored.data(), data, size);
    const CELIO_BitmapEngine engine;
    const std::unique_ptr<BM_Bitmap> bitmap(engine.load(stored, 0));
    if (const auto* pixels = dynamic_cast<const BM_UncompressedBitmap*>(bitmap.get());
        pixels && pixels->data()) {
        // The first and last byte of every row, kept from being optimised away.
        const long long last = BM_UncompressedBitmap::minimalStride(pixels->layout(), pixels->width()) - 1;
        unsigned sum = 0;
        for (int y = pixels->bounds().y1(); y < pixels->bounds().y1() + pixels->height(); ++y)
            sum += pixels->row(y)[0] + pixels->row(y)[last];
        volatile unsigned sink = sum;
        (void)sink;
    }
    return 0;
}
