#include "base/Version.h"

#include "celcore_version.h"

const char* celcoreVersion() {
    return CELCORE_VERSION_STRING;
}
