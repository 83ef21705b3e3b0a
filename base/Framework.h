#pragma once
// The process framework of the base library, reduced to what this library
// uses: one framework object per process, and the set-up it gives each thread
// this library starts (the background loader's workers call initThread() once,
// on the new thread, before their first task).
//
// A host replaces the default object with its own (derived) one through
// setInstance, before it starts threads that call it; the host keeps ownership
// and must keep the object alive while such threads run.

#include <QString>

#include "celcore_export.h"

class CELCORE_EXPORT B3D_Framework {
public:
    B3D_Framework() = default;
    B3D_Framework(const B3D_Framework&) = delete;
    B3D_Framework& operator=(const B3D_Framework&) = delete;
    virtual ~B3D_Framework();

    // The base of the names the default set-up gives threads ("celcore").
    virtual QString threadBaseName() const;
    // Per-thread set-up, called on the thread itself. The default names the
    // thread for debuggers and `top -H`: threadBaseName(), "-" and a number
    // counted over the process (cut to the system's 15 characters).
    virtual void initThread();

    // The framework object: the host's when one is installed, else the default.
    static B3D_Framework* instance();
    // Installs the host's object (null: the default again); returns the host's
    // object it replaces (null when the default was in place).
    static B3D_Framework* setInstance(B3D_Framework* framework);
};
