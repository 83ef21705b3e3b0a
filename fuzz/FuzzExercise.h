#pragma once
// What the fuzzing harnesses do with one input, shared with the test that
// replays the inputs that once broke a reader (tests/reliability), so that a
// replay runs exactly what the fuzzer ran.
//
// Handlers come from the registry (qxCelAddPixmapHandler), in registration
// order: a handler that lands is fuzzed without a change here.

#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class CELIO_Handler;
class CEL_Cel;

namespace celfuzz {

// Registers the handlers, silences the library's reports (messages, the TIFF
// diagnostics, Qt's log) and caps pixmaps at PixmapCap bytes. Call once; a
// QCoreApplication must exist.
void setUp(bool quiet = true);
// What a harness's LLVMFuzzerInitialize does: a QCoreApplication for the
// program `argv0`, then setUp().
void startUp(char* argv0);

// The pixmap cap the harnesses run with: what a small input can make a reader
// allocate stays far below the fuzzer's memory limit, and runs stay quick.
constexpr unsigned long long PixmapCap = 32ull << 20;

// The registered handlers that read, in registration order.
const std::vector<const CELIO_Handler*>& handlers();
// The handler whose main extension is `extension` (any case), else the first
// that lists it, or null.
const CELIO_Handler* handlerFor(const QString& extension);
// The lower-case main extension: the name of the handler's corpus, dictionary
// and regression folders.
QString nameOf(const CELIO_Handler& handler);

// One file through the manager's in-memory path (a temporary file for handlers
// that need a path): the header query, the read, the conversions of the result
// to 8- and 16-bit RGBA (images of up to a million pixels: the conversions do
// the same for any size); for layered formats the layer tree and the read of
// each listed layer. Never throws; returns whether the read gave an image.
bool exerciseRead(const CELIO_Handler& handler, const uint8_t* data, size_t size);

// The same read through a file of the given path (written by the caller).
bool exerciseReadFile(const CELIO_Handler& handler, const QString& path);

// A small cel built from bytes: width, height and pixel kind from the first
// three, pixel values from the rest (repeated, or a pattern when there are none).
CEL_Cel* celFromBytes(const uint8_t* data, size_t size);

} // namespace celfuzz
