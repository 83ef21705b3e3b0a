#pragma once
// The colour palette list of the vector library, as this library sees it: an
// opaque shared object that is handed through the load context to vector
// drawings. Nothing here owns more of it than a share, and nothing inspects it.

#include "base/SharedPtr.h"
#include "celcore_export.h"

class CELCORE_EXPORT CM_PaletteList : public UT_ShareBaseSafe {
public:
    CM_PaletteList() = default;
    ~CM_PaletteList() override;
};

// Shared holder of palette objects; the same intrusive holder as everywhere else.
template <class T> using CM_SharedPtr = UT_SharedPtr<T>;
