#pragma once
// The index of a folder of layer tiles, index.json: what `tiles` writes and
// `untile` reads back; and the alpha conversions of tile pixels.
//
//   {"canvas": {"width": W, "height": H},
//    "bounds": {"x": X, "y": Y, "width": BW, "height": BH},   layer coordinates,
//                                                             origin at the canvas centre
//    "tileSize": 256, "format": "png",
//    "tiles": [{"column": C, "row": R,
//               "rect": {"x": ..., "y": ..., "width": ..., "height": ...},
//               "file": "tile_C_R.png", "bytes": N}, ...]}
//
// Tiles are listed row by row; a tile that is not listed is empty
// (transparent). Tiles hold straight colour.

#include <QByteArray>
#include <QString>
#include <vector>

#include "base/Bitmap.h"
#include "base/MathTypes.h"

namespace celtool {

struct TileEntry {
    int column = 0;
    int row = 0;
    Math::Box2di rect; // layer coordinates
    QString file;      // a plain name inside the folder
    long long bytes = 0;
};

struct TileIndex {
    Math::Size2di canvas;
    Math::Box2di bounds;
    int tileSize = 256;
    QString format; // the tiles' extension, lower case
    std::vector<TileEntry> tiles;

    QByteArray toJson() const;
    // Reads and checks an index: integer sizes, non-empty bounds inside the
    // int range, the tile size of this build's layers, every tile at its place
    // in the grid (inside the bounds, its rectangle the grid's), listed once,
    // with a plain file name. False with the reason in `why`.
    static bool fromJson(const QByteArray& text, TileIndex& index, QString& why);
};

// n straight pixels premultiplied, or premultiplied pixels demultiplied, in
// 16-bit precision (the library's alpha operations on the 8 -> 16 values)
// and rounded back to 8 bits: what a writer or reader of the other
// convention needs.
void premultiplyPixels(BM_PixelRgba32* pixels, long long n);
void demultiplyPixels(BM_PixelRgba32* pixels, long long n);

// The demo's bitmap layer and JPEG round trips: tiles.png in outDir. kSuccess
// when it was written.
int demoTiles(const QString& outDir);

} // namespace celtool
