#include "celio/BitmapEngine.h"

CELIO_BitmapEngine::~CELIO_BitmapEngine() = default;
