#pragma once
// celtool info --layers: prints the layer tree of one layered file (an
// indented listing, or one JSON object with asJson). kSuccess or kFailure
// after a message: not a PSD or PSB file, or a tree that cannot be read.

#include <QString>

namespace celtool {

int printLayers(const QString& file, bool asJson);

} // namespace celtool
