#include "celio/handlers/QvdHandler.h"

#include <typeinfo>

#include "base/FileSpec.h"
#include "base/Mutex.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/VectorQvd.h"
#include "celio/Manager.h"

namespace {

bool isStandardStream(const QString& path) {
    return !WHO_Identity::isInteractive() && path == QLatin1String("-");
}

template <class T> void addOnce(CELIO_Manager* manager) {
    for (const CELIO_Handler* h : manager->handlers())
        if (typeid(*h) == typeid(T)) return;
    manager->addHandler(new T);
}

} // namespace

// ------------------------------------------------------------------ QVX

QStringList QXCelUioQvdHandler::getExtensions() const {
    return {QStringLiteral("QVX")};
}

QStringList QXCelUioQvdHandler::getWriteOptionCodes() const {
    return {QStringLiteral("QVX")};
}

QString QXCelUioQvdHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("QVX");
}

bool QXCelUioQvdHandler::read(const QString& path, const CEL_Context& context,
                              CELIO_RepresentationList& list) const {
    UT_SharedPtr<CELVEC_Qvd> drawing(new CELVEC_Qvd);
    bool ok = isStandardStream(path) && drawing->LoadFromStdin(context);
    if (!ok) ok = drawing->Load(UT_RelPath(path), context);
    if (!ok) return false;
    list.push_back(drawing);
    return true;
}

bool QXCelUioQvdHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    const CEL_SharedPtr<CELVEC_Qvd> drawing = cel ? cel->findBestVectorRepresentation() : nullptr;
    if (!drawing) return false;
    PL_AppLock::PaletteLock lock;
    if (isStandardStream(path)) {
        drawing->StoreToStdout(0);
        return true;
    }
    return drawing->StoreToFile(PL_FileSpec(path), 0);
}

CELIO_State QXCelUioQvdHandler::readInfo(const QString&, const CEL_Context&, CELIO_Info&) const {
    return CELIO_STATE_UNSUPPORTED;
}

UT_DynKey QXCelUioQvdHandler::formatClass() const {
    return CELIO_VectorFormat;
}

// ------------------------------------------------------------------ QVXO

QStringList CELVECIO_QvdoHandler::getExtensions() const {
    return {QStringLiteral("QVXO")};
}

QStringList CELVECIO_QvdoHandler::getWriteOptionCodes() const {
    return {QStringLiteral("QVXO")};
}

QString CELVECIO_QvdoHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("QVXO");
}

bool CELVECIO_QvdoHandler::read(const QString& path, const CEL_Context& context,
                                CELIO_RepresentationList& list) const {
    UT_SharedPtr<CELVEC_Qvdo> drawing(new CELVEC_Qvdo);
    if (!drawing->Load(PL_FileSpec(path), context)) return false;
    list.push_back(drawing);
    return true;
}

bool CELVECIO_QvdoHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    const UT_SharedPtr<CELVEC_Qvdo> drawing =
        cel ? UT_dynamicCast<CELVEC_Qvdo>(cel->findRepresentation(CEL_Representation::VECTOR_OPTIMIZED))
            : nullptr;
    return drawing && drawing->Store(PL_FileSpec(path));
}

CELIO_State CELVECIO_QvdoHandler::readInfo(const QString&, const CEL_Context&, CELIO_Info&) const {
    return CELIO_STATE_UNSUPPORTED;
}

UT_DynKey CELVECIO_QvdoHandler::formatClass() const {
    return CELIO_VectorFormat;
}

void qxCelAddQvdHandler() {
    CELIO_Manager* manager = CELIO_Manager::getInstance();
    addOnce<QXCelUioQvdHandler>(manager);
    if (ST_Features::isOptimizedVector()) addOnce<CELVECIO_QvdoHandler>(manager);
}
