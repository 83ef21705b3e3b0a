#include "base/Palette.h"

CM_PaletteList::~CM_PaletteList() = default;
