#pragma once
// The depth parts of celtool: `dump --depth z`, `convert --depth-view`,
// `composite --by-depth` and the demo's depth crossing. The subcommands hand
// over to these when they see the depth options.

#include <QString>
#include <QStringList>

namespace celtool {

// The cel's depth (PIXMAP_AREA_ZBUF) over its canvas as float32 little-endian
// values, top row first; CEL_PixelFloat::Zero where there is none. Prints WIDTHxHEIGHT.
int dumpDepth(const QString& in, const QString& out, const QString& format, const QString& layer);

// True when args ask for `convert --depth-view` / `composite --by-depth`.
bool wantsDepthView(const QStringList& args);
bool wantsCompositeByDepth(const QStringList& args);

// `convert --depth-view [--z-range LOW,HIGH] [--fill-holes] [--layer PATH] [--format EXT] IN OUT`
int runDepthView(const QStringList& args);
// `composite --by-depth [--premultiply] [--mask FILE [--mask-outside]] [--raw16 FILE] -o OUT LAYER...`
int runCompositeByDepth(const QStringList& args);

// Writes depth-crossing.png and depth-crossing-z.png into outDir.
int demoDepth(const QString& outDir);

} // namespace celtool
