// The one place that lists the raster file handlers of the library.
//
// Adding a file format: write its handler as one source pair in this folder,
// include its header below and add one add<...>() line at its place in the list.
// The order matters: common formats come first, and when two handlers list the
// same extension the one registered later serves it through the extension table
// (PSB is listed by the PSD and the PSB handlers; the PSB handler wins).

#include <typeinfo>

#include "celio/Manager.h"
#include "celio/handlers/BmpHandler.h"
#include "celio/handlers/IffHandler.h"
#include "celio/handlers/JpegHandler.h"
#include "celio/handlers/OptHandler.h"
#include "celio/handlers/PngHandler.h"
#include "celio/handlers/PsdHandler.h"
#include "celio/handlers/RawHandlers.h"
#include "celio/handlers/SgiHandler.h"
#include "celio/handlers/TgaHandler.h"
#include "celio/handlers/TiffHandler.h"
#include "celio/handlers/VarScanHandler.h"
#include "celio/handlers/VideoFrameHandler.h"

namespace {

// Registers a new T unless a T is already registered, so a second call of
// qxCelAddPixmapHandler() adds nothing.
template <class T> void add(CELIO_Manager* manager) {
    for (const CELIO_Handler* h : manager->handlers())
        if (typeid(*h) == typeid(T)) return;
    manager->addHandler(new T);
}

} // namespace

void qxCelAddPixmapHandler() {
    [[maybe_unused]] CELIO_Manager* manager = CELIO_Manager::getInstance();
    add<QXCelUioTgaHandler>(manager);
    add<QXCelUioSgiHandler>(manager);
    add<CELIO_PsdHandler>(manager);
    add<CELIO_PsbHandler>(manager);
    add<QXCelUioYuvHandler>(manager);
    add<QXCelUioPalHandler>(manager);
    add<QXCelUioScanHandler>(manager);
    add<QXCelUioPngHandler>(manager);
    add<QXCelUioJpegHandler>(manager);
    add<QXCelUioBmpHandler>(manager);
    add<CELIO_UioRawPixMapHandler>(manager);
    add<QxCelUioIffHandler>(manager);
    add<QXCelUioOptHandler>(manager);
    add<QXCelUioVarHandler>(manager);
    add<QxCelUioTiffHandler>(manager);
    // In this order (one line each as the handlers land):
    //   TGA   QXCelUioTgaHandler
    //   SGI   QXCelUioSgiHandler
    //   PSD   CELIO_PsdHandler
    //   PSB   CELIO_PsbHandler
    //   YUV   QXCelUioYuvHandler
    //   PAL   QXCelUioPalHandler
    //   SCAN  QXCelUioScanHandler
    //   PNG   QXCelUioPngHandler
    //   JPEG  QXCelUioJpegHandler
    //   BMP   QXCelUioBmpHandler
    //   DAT   CELIO_UioRawPixMapHandler
    //   IFF   QxCelUioIffHandler
    //   OPT   QXCelUioOptHandler
    //   VAR   QXCelUioVarHandler
    //   TIF   QxCelUioTiffHandler
    // Not registered here (applications add them when they want them): the OMF
    // handler and the raw depth handler CELIO_UioRawFloatHandler.
}
