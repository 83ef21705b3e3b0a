#pragma once
// CEL_Cel: one image of an animation as the rest of the library sees it, a
// thread-safe bag of interchangeable representations (pixmaps of several pixel
// formats, depth buffers, vector drawings, movie frames, proxies on disk) with
// conversion on demand, plus flags and messages that loaders attach to it.
//
// Contract:
// - The cel owns its representations through shared pointers; whatever it hands
//   out is shared with it. Results of getWorkingCopy are private copies.
// - The list keeps insertion order. Ranking is by format value: when the cel
//   chooses among what it holds, the smaller CelFormat wins, and on equal values
//   the earlier entry in the list.
// - convertTo(f) returns the representation of format f the cel holds, or builds
//   it from the others along a fixed, short chain (at most two conversion steps)
//   and keeps it. When it builds a new PIXMAP_AREA_RGBA16, the cel's depth buffer
//   (PIXMAP_AREA_ZBUF) is re-fitted to the new pixmap's allocated rectangle, so
//   the two stay aligned pixel for pixel.
// - Every list, message and conversion operation holds the cel's recursive
//   mutex for its whole duration; different cels convert in parallel.
//   Representations and messages an operation drops are released only after
//   the mutex is released, so their destructors never run under it.
// - The blank and invalid flags and the read of realFormat are lock-free.

#include <QImage>
#include <QPixmap>
#include <QString>
#include <atomic>
#include <map>
#include <vector>

#include "base/Mutex.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CEL_Cel;
class CELVEC_Qvd; // cel/VectorQvd.h

// The shared pointer for results typed below CEL_Representation
// (CEL_SharedPtr<CEL_Pixmap>, CEL_SharedPtr<CELVEC_Qvd>).
template <class T> using CEL_SharedPtr = UT_SharedPtr<T>;

// Base of messages that loaders attach to a cel; clients derive from it.
class CELCORE_EXPORT CEL_DynMessage : public UT_ShareBaseSafe {
public:
    CEL_DynMessage() = default;
    ~CEL_DynMessage() override;
};

// The data of a cel. File loaders and the proxy manager reach it through
// CEL_Cel::getImpl() for the source size, the load-delayed state and shallow
// copies; everything else goes through CEL_Cel.
class CELCORE_EXPORT CEL_Impl {
public:
    using CelFormat = CEL_Representation::CelFormat;
    using RepresentationPtr = UT_SharedPtr<CEL_Representation>;
    using RepresentationList = std::vector<RepresentationPtr>;

    explicit CEL_Impl(CEL_Cel* owner, CelFormat realFormat);
    CEL_Impl(const CEL_Impl&) = delete;
    CEL_Impl& operator=(const CEL_Impl&) = delete;
    ~CEL_Impl();

    // Size of the image in its source file before any scaling.
    void setOriginalSrcSize(unsigned width, unsigned height);
    // Writes both (1 x 1 when never set); returns whether it was ever set.
    bool getOriginalSrcSize(unsigned& width, unsigned& height) const;
    // Copies the other cel's source size (not whether it was set); null: nothing.
    void copySize(const CEL_Cel* other);

    bool isLoadDelayed() const;
    void setLoadDelayed(bool loadDelayed);

    // A new cel (count 0, owned by the caller until shared) with the same
    // realFormat holding the same representation objects in the same order,
    // except that each depth buffer is replaced by a new one sharing its depths.
    // Flags and messages are not copied.
    CEL_Cel* shallowCopy() const;

    CEL_Cel* owner() const { return m_owner; }

private:
    friend class CEL_Cel;

    // Conversion with a depth budget; the caller holds m_mutex. Representations
    // dropped on the way go to `dropped`, released by the caller after unlocking.
    RepresentationPtr convert(CelFormat f, int depth, RepresentationList& dropped);
    // Appends `rep` unless one of its format is held: then the held one is
    // returned and `rep` goes to `dropped`.
    RepresentationPtr add(RepresentationPtr rep, RepresentationList& dropped);
    RepresentationPtr find(CelFormat f) const;
    void remove(CelFormat f, RepresentationList& dropped);
    RepresentationPtr bestPixmap() const;
    bool convertibleTo(CelFormat f) const;
    void fitDepthBuffer(const RepresentationPtr& source, const RepresentationPtr& area,
                        RepresentationList& dropped);

    std::atomic<int> m_realFormat;
    unsigned m_originalSrcWidth = 1;
    unsigned m_originalSrcHeight = 1;
    bool m_hasOriginalSrcSize = false;
    std::atomic<bool> m_blankImage{false};
    std::atomic<bool> m_invalid{false};
    bool m_loadDelayed = false;
    RepresentationList m_representations;
    mutable PL_RecursiveMutex m_mutex;
    std::map<UT_DynKey, UT_SharedPtr<const CEL_DynMessage>> m_messages;
    CEL_Cel* m_owner;
};

class CELCORE_EXPORT CEL_Cel : public UT_ShareBaseSafe {
public:
    using CelFormat = CEL_Representation::CelFormat;

    explicit CEL_Cel(CelFormat realFormat);
    CEL_Cel(const CEL_Cel&) = delete;
    CEL_Cel& operator=(const CEL_Cel&) = delete;
    ~CEL_Cel() override;
    // False here; cels backed by a cache say true.
    virtual bool isCached() const;

    CEL_Impl* getImpl() { return m_impl; }
    const CEL_Impl* getImpl() const { return m_impl; }

    // Appends a non-null representation (null is ignored); no check for an
    // existing one of the same format.
    void addRepresentation(const UT_SharedPtr<CEL_Representation>& rep);
    // Makes `rep` the only representation and realFormat its format (null: nothing).
    void setRepresentation(const UT_SharedPtr<CEL_Representation>& rep);
    // Drops every representation of format f.
    void removeRepresentation(CelFormat f);
    // When one of format f is held: drops every other and sets realFormat to f.
    void keepOneRepresentation(CelFormat f);

    // The first of format f in list order, or null.
    UT_SharedPtr<CEL_Representation> findRepresentation(CelFormat f) const;
    // Smallest format value, earlier in the list on ties; null when empty.
    UT_SharedPtr<CEL_Representation> findBestRepresentation() const;
    // As findBestRepresentation, ignoring the vector formats 1 to 3; null when
    // the winner is not a CEL_Pixmap.
    CEL_SharedPtr<CEL_Pixmap> findBestPixmapRepresentation() const;
    // The first VECTOR representation as a CELVEC_Qvd, or null.
    CEL_SharedPtr<CELVEC_Qvd> findBestVectorRepresentation() const;

    // Whether convertTo(f) may succeed. True does not promise success; false
    // means it never will (vector formats and 16-bit mattes are not produced by
    // conversion; a proxy needs a non-blank, non-empty 16-bit pixmap and no
    // depth buffer).
    bool convertibleTo(CelFormat f) const;
    // The held representation of format f, or one built from the others and
    // kept; null when none can be made. Thumbnails are never built here.
    UT_SharedPtr<CEL_Representation> convertTo(CelFormat f);
    // convertTo(f), then a clone of it that is not in the cel (null on failure).
    UT_SharedPtr<CEL_Representation> getWorkingCopy(CelFormat f);

    int repCount() const;
    // Sum of allocatedSize() over the representations.
    unsigned long long allocatedSize() const;
    // width / height of the best pixmap; 4/3 when there is none (or it has no height).
    double aspectRatio() const;

    CelFormat realFormat() const;
    void setRealFormat(CelFormat f);

    bool isBlankImage() const;
    void setBlankImage(bool blank);
    bool isInvalid() const;
    void setInvalid(bool invalid);

    // Takes a share of `msg` and files it under `key`, releasing an earlier
    // message with that key. A null `msg` just removes the key's message.
    void addMessage(UT_DynKey key, const CEL_DynMessage* msg);
    UT_SharedPtr<const CEL_DynMessage> findMessage(const UT_DynKey& key) const;
    // Files every message of `other` here (shared, not copied), replacing
    // messages with equal keys; null: nothing.
    void copyMessagesFrom(const CEL_Cel* other);

private:
    CEL_Impl* m_impl;
};

// Small conversions of representations to Qt images.
class CELCORE_EXPORT CEL_Util {
public:
    // The representation's image as a pixmap; empty when the image is null, and
    // also when the process has no GUI application (pixmaps need one).
    static QPixmap getPixmap(UT_SharedPtr<CEL_Representation> rep);
    // For a CEL_PixmapMatte8: an 8-bit indexed image of its size with a grey
    // colour table (entry v is opaque v, v, v) and the matte values as indices.
    // Otherwise a null image.
    static QImage getGrayScaleImage(UT_SharedPtr<CEL_Representation> rep);
    // The same, stored as a new QImage (owned by the caller) in *out.
    static void getGrayScaleImage(UT_SharedPtr<CEL_Representation> rep, QImage** out);
    // Posts "Out of memory: cel %3 (w: %1 h: %2) " (action 2, code 9) with the
    // requested size and the tag of the pixmap kind that failed.
    static void reportOutOfMemory(int width, int height, const QString& tag);
};
