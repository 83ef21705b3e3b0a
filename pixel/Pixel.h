#pragma once
// Pixel structures: the elements of every pixel buffer of the library.
//
// They are plain value types with fixed channel orders and no virtual
// functions; a buffer of width w stores pixel (x, y) at index y * w + x.
// Converting a buffer is assigning each source pixel to the destination pixel
// of the same index, so every conversion is an assignment operator on the
// destination type.
//
// 16-bit channels are SIGNED and full scale is 32767 (not 65535): 32767 is
// full intensity and full opacity. Negative values are legal in intermediate
// results (tone pixels, float-derived values).
//
// Channel rules used by the conversions:
//   8 -> 16     v * 32767 / 255 in unsigned 32-bit, truncated (255 -> 32767, 128 -> 16447)
//   16 -> 8     0 when v < 1, else v >> 7 (32767 -> 255)
//   float -> 8  clamp to [0, 1], * 255.0 in double, truncated
//   float -> 16 clamp to [-1, 1], * 32767.0 in double, truncated toward zero
//   8 -> float  v / 255.0f;  16 -> float  v / 32767.0f

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>

struct CEL_PixelRGBA8;
struct CEL_PixelBGRA8;
struct CEL_PixelRGB8;
struct CEL_PixelBGR8;
struct CEL_PixelRGBA16;
struct CEL_PixelRGBAFloat;
struct CEL_Pixel3D;

namespace CEL_PixelRule {

constexpr int16_t from8(uint8_t v) {
    return int16_t(uint32_t(v) * 32767u / 255u);
}
constexpr uint8_t to8(int16_t v) {
    return v < 1 ? uint8_t(0) : uint8_t(v >> 7);
}
// NaN counts as 0. Clamping is exact in float (the bounds are representable);
// the scaling is in double.
constexpr float clampUnit(float v, float lo) {
    v = v != v ? 0.0f : v;
    v = v < lo ? lo : v;
    return v > 1.0f ? 1.0f : v;
}
constexpr uint8_t floatTo8(float v) {
    return uint8_t(int(double(clampUnit(v, 0.0f)) * 255.0));
}
constexpr int16_t floatTo16(float v) {
    return int16_t(int(double(clampUnit(v, -1.0f)) * 32767.0));
}
constexpr float from8ToFloat(uint8_t v) {
    return float(v) / 255.0f;
}
constexpr float from16ToFloat(int16_t v) {
    return float(v) / 32767.0f;
}

} // namespace CEL_PixelRule

struct CEL_PixelRGB8 {
    uint8_t r, g, b;

    inline CEL_PixelRGB8& operator=(const CEL_PixelRGBA8& p);
};

struct CEL_PixelBGR8 {
    uint8_t b, g, r;

    inline CEL_PixelBGR8& operator=(const CEL_PixelRGBA8& p);
};

struct CEL_PixelRGBA8 {
    uint8_t r, g, b, a;

    CEL_PixelRGBA8& operator=(const CEL_PixelRGBA8&) = default;
    CEL_PixelRGBA8& operator=(const CEL_PixelBGR8& p) {
        r = p.r, g = p.g, b = p.b, a = 255;
        return *this;
    }
    inline CEL_PixelRGBA8& operator=(const CEL_PixelBGRA8& p);
    CEL_PixelRGBA8& operator=(const CEL_PixelRGB8& p) {
        r = p.r, g = p.g, b = p.b, a = 255;
        return *this;
    }
    inline CEL_PixelRGBA8& operator=(const CEL_PixelRGBA16& p);
    inline CEL_PixelRGBA8& operator=(const CEL_PixelRGBAFloat& p);

    bool operator==(const CEL_PixelRGBA8& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const CEL_PixelRGBA8& o) const { return !(*this == o); }
    // Colour only: alpha is not compared.
    bool compare(const CEL_PixelRGBA8* o) const { return r == o->r && g == o->g && b == o->b; }
    // Transparent black (all four bytes 0), not merely black colour.
    bool isBlack() const { return (r | g | b | a) == 0; }
};

struct CEL_PixelBGRA8 {
    uint8_t b, g, r, a;

    CEL_PixelBGRA8& operator=(const CEL_PixelBGRA8&) = default;
    CEL_PixelBGRA8& operator=(unsigned char v) {
        b = g = r = v;
        a = 255;
        return *this;
    }
    CEL_PixelBGRA8& operator=(const CEL_PixelRGBA8& p) {
        b = p.b, g = p.g, r = p.r, a = p.a;
        return *this;
    }
    inline CEL_PixelBGRA8& operator=(const CEL_PixelRGBA16& p);
    inline CEL_PixelBGRA8& operator=(const CEL_PixelRGBAFloat& p);

    bool isBlack() const { return (r | g | b | a) == 0; }
};

struct CEL_PixelRGBA16 {
    int16_t r, g, b, a;

    CEL_PixelRGBA16& operator=(const CEL_PixelRGBA16&) = default;
    CEL_PixelRGBA16& operator=(unsigned char v) {
        r = g = b = CEL_PixelRule::from8(v);
        a = 32767;
        return *this;
    }
    CEL_PixelRGBA16& operator=(const CEL_PixelBGR8& p) {
        r = CEL_PixelRule::from8(p.r), g = CEL_PixelRule::from8(p.g), b = CEL_PixelRule::from8(p.b);
        a = 32767;
        return *this;
    }
    CEL_PixelRGBA16& operator=(const CEL_PixelRGB8& p) {
        r = CEL_PixelRule::from8(p.r), g = CEL_PixelRule::from8(p.g), b = CEL_PixelRule::from8(p.b);
        a = 32767;
        return *this;
    }
    CEL_PixelRGBA16& operator=(const CEL_PixelRGBA8& p) {
        r = CEL_PixelRule::from8(p.r), g = CEL_PixelRule::from8(p.g), b = CEL_PixelRule::from8(p.b);
        a = CEL_PixelRule::from8(p.a);
        return *this;
    }
    inline CEL_PixelRGBA16& operator=(const CEL_PixelRGBAFloat& p);
    inline CEL_PixelRGBA16& operator=(const CEL_Pixel3D& p);

    // One 8-byte comparison.
    bool operator==(const CEL_PixelRGBA16& o) const {
        uint64_t x, y;
        std::memcpy(&x, this, 8);
        std::memcpy(&y, &o, 8);
        return x == y;
    }
    bool operator!=(const CEL_PixelRGBA16& o) const { return !(*this == o); }
    // Transparent black: all four channels 0 (opaque black is not "black" here).
    bool isBlack() const { return (r | g | b | a) == 0; }
    // Caps each colour channel at limit (signed); alpha is left alone.
    void clampRGB(short limit) {
        if (r > limit) r = limit;
        if (g > limit) g = limit;
        if (b > limit) b = limit;
    }

    // Over with straight colour: this is underneath, top is laid on it.
    // With t = top.a / 32767 and u = 1 - t (double), each channel (alpha
    // included) is trunc(this.c * u + 0.5) + trunc(top.c * t); an opaque top
    // is returned bit for bit. Each sum is capped at 32767 by an UNSIGNED
    // comparison, so a negative sum also becomes 32767.
    CEL_PixelRGBA16 operator/(const CEL_PixelRGBA16& top) const;
    // Over with premultiplied colour: trunc(this.c * u + 0.5) + top.c, capped
    // like operator/.
    CEL_PixelRGBA16 operator%(const CEL_PixelRGBA16& top) const;
};

struct CEL_PixelRGB16 {
    int16_t r, g, b;
};

// 4:2:2 video samples of a pixel pair, copied as they are.
struct CEL_PixelYUV {
    uint8_t u, y0, v, y1;
};

struct CEL_PixelRGBAFloat {
    float r, g, b, a;

    CEL_PixelRGBAFloat& operator=(const CEL_PixelRGBAFloat&) = default;
    // The 3-channel sources leave alpha as it was.
    CEL_PixelRGBAFloat& operator=(const CEL_PixelBGR8& p) {
        r = CEL_PixelRule::from8ToFloat(p.r), g = CEL_PixelRule::from8ToFloat(p.g);
        b = CEL_PixelRule::from8ToFloat(p.b);
        return *this;
    }
    CEL_PixelRGBAFloat& operator=(const CEL_PixelRGB8& p) {
        r = CEL_PixelRule::from8ToFloat(p.r), g = CEL_PixelRule::from8ToFloat(p.g);
        b = CEL_PixelRule::from8ToFloat(p.b);
        return *this;
    }
    CEL_PixelRGBAFloat& operator=(const CEL_PixelBGRA8& p) {
        r = CEL_PixelRule::from8ToFloat(p.r), g = CEL_PixelRule::from8ToFloat(p.g);
        b = CEL_PixelRule::from8ToFloat(p.b), a = CEL_PixelRule::from8ToFloat(p.a);
        return *this;
    }
    CEL_PixelRGBAFloat& operator=(const CEL_PixelRGBA16& p) {
        r = CEL_PixelRule::from16ToFloat(p.r), g = CEL_PixelRule::from16ToFloat(p.g);
        b = CEL_PixelRule::from16ToFloat(p.b), a = CEL_PixelRule::from16ToFloat(p.a);
        return *this;
    }

    bool operator==(const CEL_PixelRGBAFloat& o) const {
        return r == o.r && g == o.g && b == o.b && a == o.a;
    }
    bool operator!=(const CEL_PixelRGBAFloat& o) const { return !(*this == o); }
};

// A depth value. Zero (-FLT_MAX) marks a pixel without depth; 0.0f is a real depth.
struct CEL_PixelFloat {
    static constexpr float Zero = -FLT_MAX;

    float value;

    CEL_PixelFloat() : value(Zero) {}
    CEL_PixelFloat(const CEL_PixelFloat&) = default;
    CEL_PixelFloat& operator=(const CEL_PixelFloat&) = default;
    CEL_PixelFloat& operator=(float v) {
        value = v;
        return *this;
    }
    float operator*() const { return value; }
    // Scaling keeps a pixel without depth without depth.
    float operator*(float f) const { return value == Zero ? Zero : value * f; }
    bool isZero() const { return value == Zero; }
};

// One sample of a depth pixmap. Larger z is nearer the viewer. next is the
// index of the following sample of the same pixel in the owner's overflow
// store; 0 ends the list.
struct CEL_Pixel3D {
    CEL_PixelRGBA16 colour;  // premultiplied
    float z;                 // depth; larger is nearer
    uint32_t depthBufferId;  // layer that produced the sample; 0 = none
    unsigned long long next; // overflow-store index of the next sample; 0 = end

    CEL_Pixel3D& operator=(const CEL_Pixel3D&) = default;
    // Colour only; z, depthBufferId and next are kept.
    CEL_Pixel3D& operator=(const CEL_PixelRGBA16& p) {
        colour = p;
        return *this;
    }
    bool isBlack() const { return colour.isBlack(); }
};

static_assert(sizeof(CEL_PixelRGBA8) == 4 && offsetof(CEL_PixelRGBA8, a) == 3);
static_assert(sizeof(CEL_PixelBGRA8) == 4 && offsetof(CEL_PixelBGRA8, b) == 0 &&
              offsetof(CEL_PixelBGRA8, r) == 2);
static_assert(sizeof(CEL_PixelRGB8) == 3);
static_assert(sizeof(CEL_PixelBGR8) == 3 && offsetof(CEL_PixelBGR8, r) == 2);
static_assert(sizeof(CEL_PixelRGBA16) == 8 && offsetof(CEL_PixelRGBA16, a) == 6);
static_assert(sizeof(CEL_PixelRGB16) == 6);
static_assert(sizeof(CEL_PixelYUV) == 4);
static_assert(sizeof(CEL_PixelRGBAFloat) == 16 && offsetof(CEL_PixelRGBAFloat, a) == 12);
static_assert(sizeof(CEL_PixelFloat) == 4);
static_assert(sizeof(CEL_Pixel3D) == 24 && offsetof(CEL_Pixel3D, z) == 8 &&
              offsetof(CEL_Pixel3D, depthBufferId) == 12 && offsetof(CEL_Pixel3D, next) == 16);

// ---------------------------------------------------------------------------
// Conversions that need a type declared later.

inline CEL_PixelRGB8& CEL_PixelRGB8::operator=(const CEL_PixelRGBA8& p) {
    r = p.r, g = p.g, b = p.b;
    return *this;
}

inline CEL_PixelBGR8& CEL_PixelBGR8::operator=(const CEL_PixelRGBA8& p) {
    b = p.b, g = p.g, r = p.r;
    return *this;
}

inline CEL_PixelRGBA8& CEL_PixelRGBA8::operator=(const CEL_PixelBGRA8& p) {
    r = p.r, g = p.g, b = p.b, a = p.a;
    return *this;
}

inline CEL_PixelRGBA8& CEL_PixelRGBA8::operator=(const CEL_PixelRGBA16& p) {
    r = CEL_PixelRule::to8(p.r), g = CEL_PixelRule::to8(p.g), b = CEL_PixelRule::to8(p.b);
    a = CEL_PixelRule::to8(p.a);
    return *this;
}

inline CEL_PixelRGBA8& CEL_PixelRGBA8::operator=(const CEL_PixelRGBAFloat& p) {
    r = CEL_PixelRule::floatTo8(p.r), g = CEL_PixelRule::floatTo8(p.g), b = CEL_PixelRule::floatTo8(p.b);
    a = CEL_PixelRule::floatTo8(p.a);
    return *this;
}

inline CEL_PixelBGRA8& CEL_PixelBGRA8::operator=(const CEL_PixelRGBA16& p) {
    b = CEL_PixelRule::to8(p.b), g = CEL_PixelRule::to8(p.g), r = CEL_PixelRule::to8(p.r);
    a = CEL_PixelRule::to8(p.a);
    return *this;
}

inline CEL_PixelBGRA8& CEL_PixelBGRA8::operator=(const CEL_PixelRGBAFloat& p) {
    b = CEL_PixelRule::floatTo8(p.b), g = CEL_PixelRule::floatTo8(p.g), r = CEL_PixelRule::floatTo8(p.r);
    a = CEL_PixelRule::floatTo8(p.a);
    return *this;
}

inline CEL_PixelRGBA16& CEL_PixelRGBA16::operator=(const CEL_PixelRGBAFloat& p) {
    r = CEL_PixelRule::floatTo16(p.r), g = CEL_PixelRule::floatTo16(p.g), b = CEL_PixelRule::floatTo16(p.b);
    a = CEL_PixelRule::floatTo16(p.a);
    return *this;
}

inline CEL_PixelRGBA16& CEL_PixelRGBA16::operator=(const CEL_Pixel3D& p) {
    return *this = p.colour;
}

namespace CEL_PixelRule {

// Shared body of the two over operators: u = 1 - top.a / 32767 in double.
inline int16_t overCap(int32_t sum) {
    return uint32_t(sum) > 32767u ? int16_t(32767) : int16_t(sum);
}
inline int32_t underPart(int16_t c, double u) {
    return int32_t(double(c) * u + 0.5);
}

} // namespace CEL_PixelRule

inline CEL_PixelRGBA16 CEL_PixelRGBA16::operator/(const CEL_PixelRGBA16& top) const {
    using namespace CEL_PixelRule;
    if (top.a == 32767) return top;
    const double t = double(top.a) / 32767.0;
    const double u = 1.0 - t;
    CEL_PixelRGBA16 out;
    out.r = overCap(underPart(r, u) + int32_t(double(top.r) * t));
    out.g = overCap(underPart(g, u) + int32_t(double(top.g) * t));
    out.b = overCap(underPart(b, u) + int32_t(double(top.b) * t));
    out.a = overCap(underPart(a, u) + int32_t(double(top.a) * t));
    return out;
}

inline CEL_PixelRGBA16 CEL_PixelRGBA16::operator%(const CEL_PixelRGBA16& top) const {
    using namespace CEL_PixelRule;
    if (top.a == 32767) return top;
    const double u = 1.0 - double(top.a) / 32767.0;
    CEL_PixelRGBA16 out;
    out.r = overCap(underPart(r, u) + top.r);
    out.g = overCap(underPart(g, u) + top.g);
    out.b = overCap(underPart(b, u) + top.b);
    out.a = overCap(underPart(a, u) + top.a);
    return out;
}
