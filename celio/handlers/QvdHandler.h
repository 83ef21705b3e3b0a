#pragma once
// The vector drawing handlers: QVX files (a composite drawing, held by
// CELVEC_Qvd) and QVXO files (an optimised drawing, held by CELVEC_Qvdo). The
// files themselves are the vector cels' business (cel/VectorQvd.h, layouts in
// base/VectorFile.h); the handlers pick the source or target and wrap what
// was read as a representation. Neither holds state.
//
// Registration: qxCelAddQvdHandler() adds the QVX handler, then, while the
// optimised-vector feature is on (ST_Features, the default), the QVXO one. A
// handler already registered is skipped.
//
// Reading "-" in a process that is not interactive reads standard input
// (QVX); writing "-" writes standard output. Writing a cel without the
// representation a handler writes (a raster cel) gives false and creates no
// file. readInfo answers CELIO_STATE_UNSUPPORTED: drawings have no pixel size
// of their own.

#include "celio/Handler.h"

class CELCORE_EXPORT QXCelUioQvdHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;                                    // "QVX"
    QStringList getWriteOptionCodes() const override;                              // "QVX"
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override; // "QVX"
    // Appends a CELVEC_Qvd.
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The cel's best vector representation, stored under the palette lock; the code is not read.
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override; // CELIO_VectorFormat
};

class CELCORE_EXPORT CELVECIO_QvdoHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;                                    // "QVXO"
    QStringList getWriteOptionCodes() const override;                              // "QVXO"
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override; // "QVXO"
    // Appends a CELVEC_Qvdo.
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The cel's CELVEC_Qvdo; the code is not read.
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override; // CELIO_VectorFormat
};

// Registers the vector drawing handlers with the I/O manager (once at start-up).
CELCORE_EXPORT void qxCelAddQvdHandler();
