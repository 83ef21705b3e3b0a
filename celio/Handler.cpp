#include "celio/Handler.h"

#include "base/FileSpec.h"
#include "base/Platform.h"
#include "cel/Context.h"
#include "celio/InputStream.h"
#include "celio/MemoryFile.h"

// Each a fresh key, made when the library is loaded (the key counter is
// constant-initialised, so the order of static initialisation does not matter).
const UT_DynKey CELIO_PixmapFormat;
const UT_DynKey CELIO_VectorFormat;
const UT_DynKey CELIO_3dFormat;

CELIO_Handler::~CELIO_Handler() = default;

QStringList CELIO_Handler::getWriteExtensions() const {
    return getExtensions();
}

void CELIO_Handler::getWriteOptions(CELIO_WriteOptions&) const {}

CELIO_State CELIO_Handler::readLayerInfo(const QString&, CELIO_LayerInfo&) const {
    return CELIO_STATE_UNSUPPORTED;
}

CELIO_State CELIO_Handler::readMemory(const CELIO_MemoryFile&, const CEL_Context&,
                                      CELIO_RepresentationList&) const {
    return CELIO_STATE_UNSUPPORTED;
}

CELIO_State CELIO_Handler::readInfoMemory(const CELIO_MemoryFile&, const CEL_Context&, CELIO_Info&) const {
    return CELIO_STATE_UNSUPPORTED;
}

bool CELIO_Handler::convert(const CEL_Cel*, const CELIO_ConvertOptions&, CELIO_RepresentationList&) const {
    return false;
}

int CELIO_Handler::getFileHeaderSize() const {
    return -1;
}

bool CELIO_Handler::canWriteMultiLayer() const {
    return false;
}

bool CELIO_Handler::getCallerInfoString(QString&) const {
    return false;
}

void CELIO_Handler::setCallerInfoString(const QString&) {}

bool CELIO_StreamHandler::read(const QString& path, const CEL_Context& context,
                               CELIO_RepresentationList& list) const {
    if (path == QLatin1String("-") && !WHO_Identity::isInteractive()) {
        CELIO_StdinInputBlock block;
        CELIO_InputStream stream(block);
        return readFromStream(stream, context, list);
    }
    // Remapped like every other file access of the handlers (the manager passes
    // the path as its caller wrote it).
    CELIO_FileInputBlock block(PL_FileSpec(oswRemapPath::RemapPath2(path)).get_fs("rb"));
    if (!block.isOpen()) return false;
    CELIO_InputStream stream(block);
    return readFromStream(stream, context, list);
}

CELIO_State CELIO_StreamHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                                            CELIO_RepresentationList& list) const {
    if (file.size() > UINT32_MAX) return CELIO_STATE_UNSUPPORTED; // the block counts in 32 bits
    CELIO_MemoryInputBlock block(file.data(), uint32_t(file.size()));
    CELIO_InputStream stream(block);
    return readFromStream(stream, context, list) ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

bool CELIO_StreamHandler::readFromStream(CELIO_InputStream& stream, const CEL_Context&,
                                         CELIO_RepresentationList& list) const {
    CEL_Representation* rep = read(stream);
    if (!rep) return false;
    list.push_back(UT_SharedPtr<CEL_Representation>(rep));
    return true;
}
