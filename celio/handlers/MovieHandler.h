#pragma once
// The file handler for movie files: one is registered by every
// MOV_AbstractMovieDecoder::setFactory call, for the extensions given there.
// A read yields one CELMOV_MovieFrame for the context's animation frame
// (0-based there, 1-based in the movie frame). Reads of one movie on one
// thread share its decoder: each thread keeps the last few movies it opened,
// known by path, size and modification time, so a changed file is reopened.
// Movie files are read only: the handler has no write codes.

#include "celcore_export.h"
#include "celio/Handler.h"

class CELMOV_MovieFrame;

class CELCORE_EXPORT CELMOV_MovieHandler final : public CELIO_Handler {
public:
    explicit CELMOV_MovieHandler(const QStringList& extensions);

    // The extensions as given to setFactory.
    QStringList getExtensions() const override;
    QStringList getWriteExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    // False when no decoder opens the file or the frame is out of range.
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    // Decoded size, 3 or 4 channels of 1 byte, an empty code, and a description
    // "h264, 120 frames, 24 fps". CELIO_STATE_FAILED when no decoder opens it.
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // A new frame (owned by the caller) of the movie at `path`, sharing the
    // decoder this thread keeps for it; the frame number is not checked. Null
    // when no decoder opens the file.
    static CELMOV_MovieFrame* movieFrame(const QString& path, int frame);

    // Movies each thread keeps open.
    static constexpr int kDecodersPerThread = 4;

private:
    QStringList m_extensions;
};
