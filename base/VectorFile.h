#pragma once
// The vector drawing files, little-endian throughout.
//
// QVX (a composite drawing, GR_CompositeVectorDrawingObj):
//   "QVX\x1a", u16 version (1), u16 0, u32 layer count; then per layer:
//     u32 type, u8 visible (0 or 1), 3 zero bytes, u32 shape count; per shape:
//       u8 flags (1 fill, 2 stroke), 3 zero bytes,
//       fill: r, g, b, a (straight), u64 palette id (0: none),
//       stroke: r, g, b, a, u64 palette id,
//       f32 stroke width (world units, 0 ... 65536),
//       u32 verb count, u32 point count,
//       the verbs, one byte each (0 move, 1 line, 2 quad, 3 cubic, 4 close),
//       the points, f32 x, f32 y each (world units, |v| <= 2^24).
// QVXO (an optimised drawing, GR_OptimizedVectorDrawingObj):
//   "QVXO", u16 version (1), u16 0, f64 box x1, y1, x2, y2, f64 pivot x, y,
//   u8 pivot defined (0 or 1), 3 zero bytes, f32 field size, u32 polygon
//   count; per polygon: r, g, b, a, u32 point count n, n times f32 x, f32 y.
//
// Readers check every count against the bytes left before they allocate, and
// refuse a file with anything out of place (unknown version or verb, a path
// that does not start with a move or whose points do not match its verbs,
// non-finite or out-of-range numbers, non-zero padding, bytes after the end):
// a drawing that loads is one the renderer can take. Writers store exactly
// what they are given, so a file read and written again is the same bytes.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

#include "base/VectorDrawing.h"
#include "celcore_export.h"

namespace GR_VectorFile {

inline constexpr char kQvxMagic[] = "QVX\x1a";
inline constexpr char kQvxoMagic[] = "QVXO";
inline constexpr uint16_t kVersion = 1;

// False with the fault in *why; `layers` is untouched then.
CELCORE_EXPORT bool readQvx(const QByteArray& bytes, std::vector<GR_Layer>& layers, QString* why = nullptr);
CELCORE_EXPORT QByteArray writeQvx(const std::vector<GR_Layer>& layers);

CELCORE_EXPORT bool readQvxo(const QByteArray& bytes, GR_OptimizedVectorDrawingObj& drawing,
                             QString* why = nullptr);
CELCORE_EXPORT QByteArray writeQvxo(const GR_OptimizedVectorDrawingObj& drawing);

// A whole file, or the whole of standard input; false with the cause in *why.
CELCORE_EXPORT bool readFile(const QString& path, QByteArray& bytes, QString* why = nullptr);
CELCORE_EXPORT bool readStdin(QByteArray& bytes);
// Writes, flushes and closes; false when any of it fails.
CELCORE_EXPORT bool writeFile(const QString& path, const QByteArray& bytes);
CELCORE_EXPORT bool writeStdout(const QByteArray& bytes);

} // namespace GR_VectorFile
