// libFuzzer harness of the OMF media container's reader: each input is a whole
// file, opened from memory. What opens is then read as a program would: every
// media's descriptor, its samples as stored and decoded (RGB and RGBA), into
// buffers of exactly the size asked for (so that the address sanitizer sees
// one byte written past them) and into one byte too few (which must write
// nothing).
//
//   omf/fuzz/fuzz_omf -dict=omf/fuzz/omf.dict CORPUS omf/fuzz/seeds
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "omf/OmfContainer.h"

namespace {

// What one input may make the harness allocate: decoded frames of a tiny file
// may claim far more than the fuzzer's memory limit.
constexpr uint64_t kBufferCap = 64ull << 20;

void readMedia(OMF_File& file, uint32_t media) {
    OMF_VideoDescriptor d;
    if (file.videoDescriptor(media, d) != OMF_Status::Ok) std::abort(); // numbers 1..mediaCount()
    // As stored, decoded to RGB, decoded to RGBA.
    for (const int mode : {0, 3, 4}) {
        file.setDecompression(mode != 0);
        file.setDecodedAlpha(mode == 4);
        uint64_t need = d.storedBytes;
        if (mode != 0 && d.compressed &&
            (__builtin_mul_overflow(uint64_t(d.width) * d.height, uint64_t(mode) * d.sampleCount, &need) ||
             d.sampleCount > kBufferCap))
            continue;
        if (need > kBufferCap) continue;
        // One byte too few: refused, and the guard byte stays as it was.
        if (need > 0) {
            std::unique_ptr<uint8_t[]> small(new uint8_t[need]);
            small[need - 1] = 0xA5;
            if (file.readSamples(media, small.get(), need - 1) >= 0 || small[need - 1] != 0xA5) std::abort();
        }
        std::unique_ptr<uint8_t[]> buffer(new uint8_t[need ? need : 1]);
        const int64_t got = file.readSamples(media, buffer.get(), need);
        if (got > int64_t(need)) std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    OMF_Toolkit::start();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    OMF_File file;
    if (file.openMemory(data, size) != OMF_Status::Ok) return 0;
    const uint32_t count = file.mediaCount();
    OMF_VideoDescriptor none;
    if (file.videoDescriptor(0, none) != OMF_Status::NoSuchMedia ||
        file.videoDescriptor(count + 1, none) != OMF_Status::NoSuchMedia)
        std::abort();
    for (uint32_t media = 1; media <= count && media <= 16; ++media) readMedia(file, media);
    file.close();
    return 0;
}
