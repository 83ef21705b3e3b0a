#pragma once
// Movie frames as cels. A CELMOV_MovieFrame remembers a movie file and a frame
// number and decodes that frame into an 8-bit pixmap when converted. Decoding
// is done by plug-in decoders (MOV_AbstractMovieDecoder) that the host
// registers per file extension with MOV_AbstractMovieDecoder::setFactory; this
// library holds only the interface and the registry, and registers a file
// handler for the same extensions so that movie files open like images:
//
//   static MyFactory factory;
//   MOV_AbstractMovieDecoder::setFactory({"mov", "mp4"}, &factory);
//   CELMOV_MovieFrame frame("clip.mov", 1);  // frames count from 1
//   bool ok = false;
//   std::unique_ptr<CEL_Representation> p(frame.convertToImpl(CEL_Representation::PIXMAP_RGBA8, ok));
//
// Concurrency: every decode and availability query of one decoder runs under
// its decodeMutex; frames made with cloneNewFrame or copied share the decoder,
// so they decode one after the other. The registry is filled at start-up and
// read afterwards without locking.

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "base/MathTypes.h"
#include "base/Mutex.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_PixmapRGBA8;

class CELCORE_EXPORT MOV_AbstractMovieDecoder {
public:
    // What the host asks of the decoder at open.
    struct DecodeRequest {
        bool overridden = false;     // the decoded size below was asked for
        uint32_t requestedWidth = 0; // decoded size wanted when overridden
        uint32_t requestedHeight = 0;
        uint32_t version = 1; // layout version of this record
    };
    // What open() tells of the movie.
    struct MovieInfo {
        int32_t movieWidth = 0; // as stored
        int32_t movieHeight = 0;
        int32_t decodedWidth = 0; // of the pixels decodeFrame writes
        int32_t decodedHeight = 0;
        double frameRate = 24.0;
        int32_t numberOfFrames = 0;
        int32_t bitsPerChannel = 8; // of the decoded pixels
        int32_t version = 1;        // layout version of this record
        bool hasAlpha = false;      // the stream carries alpha (decoded premultiplied)
        QString codecName;          // short name ("h264", "prores")
    };

    // Creates decoders for the extensions it is registered for.
    class CELCORE_EXPORT Factory {
    public:
        Factory() = default;
        Factory(const Factory&) = delete;
        Factory& operator=(const Factory&) = delete;
        virtual ~Factory();
        // A new decoder, owned by the caller; not yet opened.
        virtual MOV_AbstractMovieDecoder* createDecoder() const = 0;
        // A movie file is about to be renamed; the arguments are passed on as given.
        virtual void aboutToRenameMovieFile(const QString& a, const QString& path,
                                            const QString& c) const = 0;
    };

    MOV_AbstractMovieDecoder() = default;
    MOV_AbstractMovieDecoder(const MOV_AbstractMovieDecoder&) = delete;
    MOV_AbstractMovieDecoder& operator=(const MOV_AbstractMovieDecoder&) = delete;
    virtual ~MOV_AbstractMovieDecoder();

    // Opens the file (a UTF-8 path) with the request and fills `info`. Called
    // again to reopen with another request.
    virtual bool open(const char* utf8Path, DecodeRequest* request, MovieInfo* info) = 0;
    // Decodes the 0-based frame into decodedWidth x decodedHeight CEL_PixelRGBA8.
    virtual bool decodeFrame(int index, void* buffer) = 0;
    // Whether the 1-based frame can be decoded now.
    virtual bool frameDataAvailable(int frame) = 0;
    // Drops what the decoder keeps between decodes (buffered frames, caches).
    // Never called by this library.
    virtual void releaseCaches() = 0;
    // Decoding for a keyed consumer; default false.
    virtual bool oglDecodeFrame(UT_DynKey key, int index, void* buffer);
    // Availability for a keyed consumer (1-based frame); default false.
    virtual bool oglFrameDataAvailable(UT_DynKey key, int frame);
    // When true, CELMOV_MovieFrame::filename() is empty; default false.
    virtual bool hidesFilename() const;
    // Default false.
    virtual bool audioSupported() const;
    // Whether the file's codec is one the decoder handles; default false.
    virtual bool fileCodecIsSupported(const QString& path) const;

    PL_SpinMutex& decodeMutex() { return m_decodeMutex; }

    // Enters each extension, lower-cased, into the registry (replacing an
    // earlier factory; the factory is not owned) and registers with the I/O
    // manager a new movie file handler for them.
    static void setFactory(const QStringList& extensions, const Factory* factory);
    // A decoder from the factory of the path's extension (after the last ".",
    // any case), owned by the caller; null when none is registered.
    static MOV_AbstractMovieDecoder* createDecoder(const QString& path);
    static bool canCreateDecoderForExtension(const QString& ext);
    // Ask a fresh decoder for the path; false without one.
    static bool isAudioSupported(const QString& path);
    static bool isFileSupported(const QString& path);
    // Tells the factory registered for path's extension.
    static void aboutToRenameMovieFile(const QString& a, const QString& path, const QString& c);

protected:
    PL_SpinMutex m_decodeMutex;
};

class CELCORE_EXPORT CELMOV_MovieFrame : public CEL_Representation {
public:
    // Creates and opens a decoder for the file; without a factory, or when
    // opening fails, the frame holds none (format NONE).
    CELMOV_MovieFrame(const QString& filename, int frame);
    CELMOV_MovieFrame(const CELMOV_MovieFrame& other);
    CELMOV_MovieFrame& operator=(const CELMOV_MovieFrame&) = delete;
    ~CELMOV_MovieFrame() override;

    // Another frame of the same movie, sharing the decoder; owned by the caller.
    CELMOV_MovieFrame* cloneNewFrame(int frame) const;
    int getFrame() const { return m_frame; }

    // MOVIE_FRAME with a decoder, else NONE.
    CelFormat getFormat() const override;
    using CEL_Representation::clone;
    CELMOV_MovieFrame* clone() const override;
    // True for formats 4 to 8.
    bool convertibleTo(CelFormat format) const override;
    // convertToImpl without its success flag.
    CEL_Representation* convertTo(CelFormat format) const override;
    // Decodes the frame into a new CEL_PixmapRGBA8 (16 x 16 when the decoded
    // size has no area) and converts it to `format`. Null without a decoder or
    // a pixmap; `ok` is whether the decode succeeded (a failed one leaves the
    // pixmap cleared).
    CEL_Representation* convertToImpl(CelFormat format, bool& ok) const;
    unsigned long long allocatedSize() const override;
    Math::Box2di canvasRect() const override;

    // With a decoder, frameDataAvailable(frame) under its mutex; else false.
    bool isFrameDataAvailable() const;
    Math::Size2di movieSize() const;
    Math::Size2di decodedSize() const;
    double movieFrameRate() const;
    int movieNumberOfFrames() const;
    // Our addition: whether the decoded pixels carry alpha, and the codec's name.
    bool movieHasAlpha() const;
    QString movieCodecName() const;
    // Empty when the decoder hides it.
    QString filename() const;
    bool hasDecoder() const;

    // Once per movie: when the size differs from the decoded one, records the
    // override and reopens the decoder with it (printing a line on standard
    // output). Later calls do nothing.
    void setDecodedSize(const Math::Size2di& size);

    // A per-movie table of weak references for the host.
    UT_SharedWeakPtr<UT_SharedWeakBase> getObject(UT_DynKey key) const;
    void setObject(UT_DynKey key, UT_SharedWeakPtr<UT_SharedWeakBase> object);

    // Keyed variants through the decoder's keyed slots; oglGetFrame returns a
    // new pixmap (owned by the caller) or null.
    bool oglFrameDataAvailable(UT_DynKey key) const;
    CEL_PixmapRGBA8* oglGetFrame(UT_DynKey key) const;

    struct Shared;

private:
    CELMOV_MovieFrame(std::shared_ptr<Shared> shared, int frame);

    std::shared_ptr<Shared> m_shared;
    int m_frame;
};
