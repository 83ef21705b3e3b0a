#pragma once
// Builds PSD and PSB files byte by byte, so that tests can make exactly the
// documents they need, layouts the library's writer does not make included:
// any header, colour-mode data, layer records with groups and blend keys,
// channel data raw, run-length or deflate coded.
//
//   psdbuild::Document d;                         // 8-bit RGB, no layers
//   d.width = 4; d.height = 2;
//   d.layers.push_back(psdbuild::pixelLayer("Ink", {0, 0, 4, 2}, rgba, 1));
//   QByteArray file = psdbuild::build(d);

#include <QByteArray>
#include <cstdint>
#include <vector>
#include <zlib.h>

namespace psdbuild {

inline void put16(QByteArray& b, uint32_t v) {
    b.append(char(v >> 8)).append(char(v));
}
inline void put32(QByteArray& b, uint32_t v) {
    put16(b, v >> 16);
    put16(b, v & 0xFFFF);
}
inline void put64(QByteArray& b, uint64_t v) {
    put32(b, uint32_t(v >> 32));
    put32(b, uint32_t(v));
}
inline void putLength(QByteArray& b, uint64_t v, bool psb) {
    psb ? put64(b, v) : put32(b, uint32_t(v));
}

// PackBits: runs of 2..128 equal bytes, literals of up to 128.
inline QByteArray packBits(const uint8_t* p, size_t n) {
    QByteArray out;
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < 128 && p[i + run] == p[i]) ++run;
        if (run >= 2) {
            out.append(char(257 - run)).append(char(p[i]));
            i += run;
            continue;
        }
        size_t lit = 1;
        while (i + lit < n && lit < 128 && !(i + lit + 1 < n && p[i + lit] == p[i + lit + 1])) ++lit;
        out.append(char(lit - 1)).append(reinterpret_cast<const char*>(p + i), qsizetype(lit));
        i += lit;
    }
    return out;
}

// One channel record with its data (the bytes after the compression field).
struct Channel {
    int16_t id = 0;
    uint16_t compression = 0;
    QByteArray data;
};

// Planes of rowBytes x rows bytes each, coded as one piece of channel data:
// 1 run-length (all counts, then all rows), 2 deflate, 3 deflate with
// prediction (per byte, or per 16-bit value when deep), else raw.
inline QByteArray codePlanes(const std::vector<QByteArray>& planes, int rowBytes, int rows,
                             uint16_t compression, bool psb = false, bool deep = false) {
    QByteArray out;
    if (compression == 1) {
        QByteArray counts, data;
        for (const QByteArray& plane : planes)
            for (int y = 0; y < rows; ++y) {
                const QByteArray row = packBits(
                    reinterpret_cast<const uint8_t*>(plane.constData()) + y * rowBytes, size_t(rowBytes));
                psb ? put32(counts, uint32_t(row.size())) : put16(counts, uint32_t(row.size()));
                data += row;
            }
        return counts + data;
    }
    QByteArray all;
    for (QByteArray plane : planes) {
        if (compression == 3)
            for (int y = 0; y < rows; ++y) {
                auto* r = reinterpret_cast<uint8_t*>(plane.data()) + y * rowBytes;
                if (deep)
                    for (int x = rowBytes / 2 - 1; x > 0; --x) {
                        const uint16_t d =
                            uint16_t((r[2 * x] << 8 | r[2 * x + 1]) - (r[2 * x - 2] << 8 | r[2 * x - 1]));
                        r[2 * x] = uint8_t(d >> 8);
                        r[2 * x + 1] = uint8_t(d);
                    }
                else
                    for (int x = rowBytes - 1; x > 0; --x) r[x] = uint8_t(r[x] - r[x - 1]);
            }
        all += plane;
    }
    if (compression != 2 && compression != 3) return all;
    uLongf n = compressBound(uLong(all.size()));
    out.resize(qsizetype(n));
    compress2(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(all.constData()),
              uLong(all.size()), 6);
    out.resize(qsizetype(n));
    return out;
}

struct Layer {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<Channel> channels;
    QByteArray key = "norm";
    uint8_t opacity = 255;
    uint8_t flags = 0;      // 2: hidden
    QByteArray name;        // as stored (UTF-8)
    int divider = -1;       // section-divider type (1 folder, 3 end marker), -1 none
    QByteArray dividerKey;  // the divider's own blend key (a 12-byte block); empty: a 4-byte block
    QByteArray extraBlocks; // further blocks, as they stand
};

struct Document {
    uint16_t version = 1; // 2: PSB
    uint16_t channels = 3;
    uint32_t width = 0, height = 0;
    uint16_t depth = 8;
    uint16_t mode = 3;
    QByteArray colourData;
    int64_t colourLength = -1; // the length field when not colourData's size
    std::vector<Layer> layers; // file order: bottom of the stack first
    bool negativeCount = false;
    bool inLr16 = false; // layers in an "Lr16" block after an empty layer information
    uint16_t compositeCompression = 0;
    QByteArray composite; // after the compression field; empty: zero samples, raw
};

inline QByteArray record(const Layer& l, bool psb) {
    QByteArray b;
    put32(b, uint32_t(l.top));
    put32(b, uint32_t(l.left));
    put32(b, uint32_t(l.bottom));
    put32(b, uint32_t(l.right));
    put16(b, uint32_t(l.channels.size()));
    for (const Channel& c : l.channels) {
        put16(b, uint16_t(c.id));
        putLength(b, uint64_t(c.data.size()) + 2, psb);
    }
    b += "8BIM";
    b += l.key.leftJustified(4, ' ', true);
    b.append(char(l.opacity)).append('\0').append(char(l.flags)).append('\0');
    QByteArray extra;
    put32(extra, 0); // mask
    put32(extra, 0); // blending ranges
    extra.append(char(l.name.size())).append(l.name);
    while (extra.size() % 4) extra.append('\0'); // the name field ends on a multiple of 4
    if (l.divider >= 0) {
        extra += "8BIMlsct";
        put32(extra, l.dividerKey.isEmpty() ? 4 : 12);
        put32(extra, uint32_t(l.divider));
        if (!l.dividerKey.isEmpty()) extra += "8BIM" + l.dividerKey.leftJustified(4, ' ', true);
    }
    extra += l.extraBlocks;
    put32(b, uint32_t(extra.size()));
    return b + extra;
}

inline QByteArray build(const Document& d) {
    const bool psb = d.version == 2;
    QByteArray b("8BPS");
    put16(b, d.version);
    b.append(6, '\0');
    put16(b, d.channels);
    put32(b, d.height);
    put32(b, d.width);
    put16(b, d.depth);
    put16(b, d.mode);
    put32(b, uint32_t(d.colourLength >= 0 ? d.colourLength : d.colourData.size()));
    b += d.colourData;
    put32(b, 0); // image resources
    QByteArray section;
    if (!d.layers.empty()) {
        QByteArray info;
        put16(info, uint16_t(d.negativeCount ? -int(d.layers.size()) : int(d.layers.size())));
        for (const Layer& l : d.layers) info += record(l, psb);
        for (const Layer& l : d.layers)
            for (const Channel& c : l.channels) {
                put16(info, c.compression);
                info += c.data;
            }
        if (d.inLr16) {
            putLength(section, 0, psb);
            put32(section, 0); // global mask
            section += "8BIMLr16";
            putLength(section, uint64_t(info.size()), psb);
            section += info;
        } else {
            putLength(section, uint64_t(info.size()), psb);
            section += info;
            put32(section, 0); // global mask
        }
    }
    putLength(b, uint64_t(section.size()), psb);
    b += section;
    put16(b, d.compositeCompression);
    if (d.composite.isEmpty())
        b.append(qsizetype(d.width) * d.height * d.channels * (d.depth == 16 ? 2 : 1), '\0');
    else
        b += d.composite;
    return b;
}

// A layer of straight RGBA8 pixels (top row first) at `box` = {left, top,
// right, bottom}, channels 0, 1, 2 and -1 coded with `compression`.
inline Layer pixelLayer(const QByteArray& name, const std::vector<int>& box, const std::vector<uint8_t>& rgba,
                        uint16_t compression = 0, bool psb = false) {
    Layer l;
    l.name = name;
    l.left = box[0];
    l.top = box[1];
    l.right = box[2];
    l.bottom = box[3];
    const int w = l.right - l.left, h = l.bottom - l.top;
    for (int c = 0; c < 4; ++c) {
        QByteArray plane;
        for (int i = 0; i < w * h; ++i) plane.append(char(rgba[size_t(i) * 4 + size_t(c)]));
        l.channels.push_back(
            {int16_t(c == 3 ? -1 : c), compression, codePlanes({plane}, w, h, compression, psb)});
    }
    return l;
}

// The two records that open and close a group around the records put between them.
inline Layer groupEnd() {
    Layer l;
    l.name = "</Layer group>";
    l.divider = 3;
    return l;
}
inline Layer folder(const QByteArray& name, const QByteArray& key = "pass", uint8_t opacity = 255,
                    bool hidden = false) {
    Layer l;
    l.name = name;
    l.divider = 1;
    l.dividerKey = key;
    l.opacity = opacity;
    l.flags = hidden ? 2 : 0;
    return l;
}

} // namespace psdbuild
