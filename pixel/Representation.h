#pragma once
// The representation family: every form a cel can take (raster pixmap, depth
// pixmap, vector drawing, movie frame, proxy on disk) is a CEL_Representation,
// and CEL_Pixmap is the base of the raster ones.
//
// Ownership: clone() and convertTo() return a new object owned by the caller
// (reference count 0 until a UT_SharedPtr takes it), or null.
//
// Byte accounting: every pixel buffer a pixmap allocates, adopts, frees or
// hands back is reported through onAlloc()/onDealloc(), so that
// CEL_PixmapAllocationCounter::allocatedSizeTotal() always equals the sum of
// allocatedSize() over the live pixmaps. A pixmap that shares a buffer with
// another one (the depth buffer of CEL_PixmapAreaZ) reports it too.

#include <QImage>
#include <cstdint>

#include "base/MathTypes.h"
#include "base/SharedPtr.h"
#include "celcore_export.h"

class CELCORE_EXPORT CEL_Representation : public UT_ShareBaseSafe {
public:
    // The kind of a representation, and its rank: when a cel picks among the
    // representations it holds, the smaller value wins.
    enum CelFormat {
        NONE = 0,
        VECTOR = 1,
        VECTOR_RESERVED_2 = 2, // reported by no class; counts as a vector format
        VECTOR_RESERVED_3 = 3, // reported by no class; counts as a vector format
        PIXMAP_AREA_RGBA16 = 4,
        PIXMAP_AREA_RGBAFLOAT = 5,
        PIXMAP_RGBA16 = 6,
        PIXMAP_RGBA8 = 7,
        PIXMAP_MATTE8 = 8,
        PIXMAP_MATTE16 = 9,
        PIXMAP_RGBA8_THUMBNAIL = 10,
        PIXMAP_AREA_3D = 11,
        PIXMAP_AREA_ZBUF = 12,
        PROXY = 13,
        VECTOR_OPTIMIZED = 16,
        MOVIE_FRAME = 17
    };

    CEL_Representation() = default;
    CEL_Representation(const CEL_Representation&) = default;
    CEL_Representation& operator=(const CEL_Representation&) = default;
    ~CEL_Representation() override;

    virtual CelFormat getFormat() const = 0;
    // A copy restricted to rect; null unless the class supports it.
    virtual CEL_Representation* clone(const Math::Box2di& rect) const;
    // A deep copy.
    virtual CEL_Representation* clone() const = 0;
    virtual bool convertibleTo(CelFormat format) const = 0;
    // A new object of the given format, or null (also for some formats that
    // convertibleTo accepts but that are produced elsewhere).
    virtual CEL_Representation* convertTo(CelFormat format) const = 0;
    // Bytes of the pixel buffer held; 0 by default.
    virtual unsigned long long allocatedSize() const;
    // Stores a new image (owned by the caller) in *out; does nothing by default.
    virtual void getImage(QImage** out) const;
    // A null image by default.
    virtual QImage getImage() const;
    // The empty box by default.
    virtual Math::Box2di canvasRect() const;
};

// The process-wide byte count of all pixmap buffers.
class CELCORE_EXPORT CEL_PixmapAllocationCounter {
public:
    static void add(unsigned long long bytes);
    static void substract(unsigned long long bytes);
    static unsigned long long allocatedSizeTotal();
};

class CELCORE_EXPORT CEL_Pixmap : public CEL_Representation {
public:
    // Lets a client widen the rectangles that area pixmaps allocate (for
    // example to a tile grid). The pixmap does not own it.
    class CELCORE_EXPORT AllocationRectPolicy {
    public:
        AllocationRectPolicy() = default;
        AllocationRectPolicy(const AllocationRectPolicy&) = default;
        AllocationRectPolicy& operator=(const AllocationRectPolicy&) = default;
        virtual ~AllocationRectPolicy();
        virtual Math::Box2di preferredAllocatedRect(const Math::Box2di& requested) = 0;
    };

    explicit CEL_Pixmap(const Math::Size2di& size);
    // Copies the size only: the derived copy allocates and reports its own buffer.
    CEL_Pixmap(const CEL_Pixmap& other);
    // Copies size, allocatedSize and the policy pointer. Classes that own a
    // buffer do not offer assignment, so this never double-counts a buffer.
    CEL_Pixmap& operator=(const CEL_Pixmap& other);
    ~CEL_Pixmap() override;

    int width() const { return m_size.width; }
    int height() const { return m_size.height; }
    const Math::Size2di& size() const { return m_size; }
    // Changes the recorded size only; no buffer is touched.
    void setSize(const Math::Size2di& size) { m_size = size; }

    AllocationRectPolicy* allocationRectPolicy() const { return m_allocationRectPolicy; }
    // Replaces the policy; the old one is not deleted.
    void setAllocationRectPolicy(AllocationRectPolicy* policy) { m_allocationRectPolicy = policy; }
    // The policy's choice for rect, or rect itself without a policy.
    Math::Box2di calcPreferredAllocatedRect(const Math::Box2di& rect) const;

    unsigned long long allocatedSize() const override { return m_allocatedSize; }
    // (0, 0)-(width, height).
    Math::Box2di canvasRect() const override;

    // Alpha operations, implemented per pixel type. The defaults print a
    // debug warning and change nothing.
    virtual void multiplyColorByAlpha();
    virtual void demultiplyColorByAlpha();
    virtual void unmultiplyColorByAlpha();
    virtual void clampColorToAlpha();
    virtual void invertAlpha();

    // Process-wide cap on the size of ONE pixel buffer. A larger request is
    // treated as a failed allocation before any memory is touched (on Linux
    // an oversized new may succeed and fail later, on first write). Default:
    // the environment variable CELCORE_MAX_PIXMAP_BYTES when set (read once),
    // else the machine's physical memory. Setting 0 restores that default.
    static void setMaxPixmapBytes(unsigned long long bytes);
    static unsigned long long maxPixmapBytes();

protected:
    // Records bytes as allocatedSize and adds them to the process-wide count.
    // Called right after a buffer is allocated or adopted.
    void onAlloc(unsigned long long bytes);
    // Removes the recorded bytes from the count and resets allocatedSize to 0.
    // Called right after a buffer is freed or handed to a caller.
    void onDealloc();

private:
    Math::Size2di m_size;
    unsigned long long m_allocatedSize = 0;
    AllocationRectPolicy* m_allocationRectPolicy = nullptr;
};
