#pragma once
// CEL_Context: the options a cel is read with. Every read of the I/O framework
// takes one by constant reference: colour recovery of vector drawings and the
// palette list to use, the animation frame of a multi-frame file, the layer of a
// layered file, the depth scale and whether the pixels may be loaded later.
//
// A small value object: copies are independent, except that they share the
// palette list (a copy keeps the list alive as long as it lives).

#include <QString>

#include "celcore_export.h"

class CM_PaletteList;

class CELCORE_EXPORT CEL_Context {
public:
    // Defaults from the process's colour-recovery and batch settings, read now:
    // delayed colour recovery is off in a batch-rendering process.
    CEL_Context();
    // Every option explicitly; loadDelayed is false. The context takes a share
    // of paletteList (which may be null).
    CEL_Context(bool colorRecovery, bool delayedColorRecovery, bool useElementPaletteList,
                CM_PaletteList* paletteList, int animationFrame, const QString& layerPath,
                double zMultiplier);
    CEL_Context(const CEL_Context& other);
    CEL_Context& operator=(const CEL_Context& other);
    virtual ~CEL_Context();

    bool isColorRecovery() const;
    bool isDelayedColorRecovery() const;
    bool useElementPaletteList() const;
    // Not owned by the caller: valid while this context (or a copy) holds it.
    CM_PaletteList* paletteList() const;
    int animationFrame() const;
    const QString& layerPath() const;
    double zMultiplier() const;
    bool loadDelayed() const;

    void setZMultiplier(double zMultiplier);
    void setLoadDelayed(bool loadDelayed);

private:
    struct Impl;
    Impl* m_impl;
};
