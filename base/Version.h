#pragma once
#include "celcore_export.h"

// The library's version, "major.minor.patch", as built.
CELCORE_EXPORT const char* celcoreVersion();
