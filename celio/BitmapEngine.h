#pragma once
// CELIO_BitmapEngine: the engine the I/O manager registers with the graphics
// library's bitmap system when it is created, so bitmaps load and save through
// the manager's handlers. It carries no state.

#include "base/BitmapSystem.h"
#include "celcore_export.h"

class CELCORE_EXPORT CELIO_BitmapEngine : public BM_SystemEngineI {
public:
    CELIO_BitmapEngine() = default;
    ~CELIO_BitmapEngine() override;
};
