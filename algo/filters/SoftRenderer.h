#pragma once
// The software renderer's plug-in points, as the pixmap adapters use them: a
// shader gives the colour of one output pixel, a bitmap cursor stores colours
// into a bitmap one pixel at a time, and the scan loops walk the pixels of a
// polygon or a window row by row, asking the shader and feeding the cursor.
//
// Colour convention (SR_Color): three channels on the 0 ... 255 scale in the
// renderer's channel order (blue, green, red: the memory order of its 32-bit
// bitmaps) and alpha on 0 ... 1. Values are doubles and are not clamped here;
// the cursor decides how they are stored.
//
// Scan rules: coordinates are output pixel coordinates, pixel (x, y) covering
// [x, x + 1) x [y, y + 1). fillPolygon visits, row by row from left to right,
// every pixel of the window that the closed convex polygon touches (its
// edge pixels included, so that a shader that averages over its footprint
// antialiases the edges); fillWindow visits every pixel of the window. For each
// visited pixel the shader is asked once; when it produces a colour the cursor
// writes it, otherwise the cursor skips the pixel. The loops only read the
// shader, so several threads may scan disjoint row ranges with their own
// cursors.

#include <vector>

#include "base/MathTypes.h"
#include "celcore_export.h"

struct SR_Color {
    double c[3] = {0.0, 0.0, 0.0}; // blue, green, red on 0 ... 255
    double alpha = 0.0;            // 0 ... 1
};

class CELCORE_EXPORT SR_Shader {
public:
    SR_Shader() = default;
    SR_Shader(const SR_Shader&) = default;
    SR_Shader& operator=(const SR_Shader&) = default;
    virtual ~SR_Shader();
    // The colour of output pixel (x, y); false when the pixel gets nothing.
    virtual bool shade(int x, int y, SR_Color& out) const = 0;
};

class CELCORE_EXPORT SR_BitMapCursor {
public:
    // Plain stores the colour as it comes (the shader gives premultiplied
    // colour); Premultiply multiplies it by alpha first and leaves pixels of
    // alpha 0 untouched (the shader gives straight colour).
    enum WriteMode { Plain, Premultiply };

    explicit SR_BitMapCursor(WriteMode mode = Plain) : m_mode(mode) {}
    SR_BitMapCursor(const SR_BitMapCursor&) = default;
    SR_BitMapCursor& operator=(const SR_BitMapCursor&) = default;
    virtual ~SR_BitMapCursor();

    WriteMode writeMode() const { return m_mode; }
    void setWriteMode(WriteMode mode) { m_mode = mode; }

    // Places the cursor on pixel (x, y) of the bitmap.
    virtual void moveTo(int x, int y) = 0;
    // Stores a colour into the current pixel and advances to the next one.
    virtual void write(const SR_Color& color) = 0;
    // Advances by n pixels without writing.
    virtual void skip(int n) = 0;

private:
    WriteMode m_mode;
};

namespace SR_Scan {

// Rows [yBegin, yEnd) (clipped to the window) of the pixels the polygon touches.
CELCORE_EXPORT void fillPolygon(const std::vector<Math::Point2d>& polygon, const Math::Box2di& window,
                                int yBegin, int yEnd, const SR_Shader& shader, SR_BitMapCursor& cursor);
// Rows [yBegin, yEnd) (clipped to the window) of every pixel of the window.
CELCORE_EXPORT void fillWindow(const Math::Box2di& window, int yBegin, int yEnd, const SR_Shader& shader,
                               SR_BitMapCursor& cursor);
// The box of the pixels fillPolygon visits (empty when none).
CELCORE_EXPORT Math::Box2di polygonPixels(const std::vector<Math::Point2d>& polygon,
                                          const Math::Box2di& window);

} // namespace SR_Scan
