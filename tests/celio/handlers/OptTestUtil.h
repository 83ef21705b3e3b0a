#pragma once
// Byte-level builders of OPT, VAR and SCAN files for the tests, written from
// the layouts (never by the library's writer), and a plane encoder that
// follows the packet rules literally, to hold the library's encoder against.

#include <QString>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "cel/Context.h"
#include "celio/Handler.h"
#include "support/TestSupport.h"

namespace opttest {

using Bytes = std::vector<uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
inline Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}
inline Bytes be16(unsigned v) {
    return {uint8_t(v >> 8), uint8_t(v)};
}

// A packet repeating v count times (count 0..32767).
inline Bytes runPacket(int count, uint8_t v) {
    return cat({be16(unsigned(count)), {v}});
}
// A literal packet of the values (1..32768 of them).
inline Bytes literalPacket(const Bytes& values) {
    return cat({be16(unsigned(-int(values.size())) & 0xffff), values});
}

// The 32-byte OPT header then data; the channel byte and scale are free so
// that tests can show they are not read.
inline Bytes optFile(uint32_t type, int w, int h, const Bytes& data, uint8_t channelByte = 3,
                     uint32_t scale = 0x3F800000u) {
    return cat({be32(type), be16(unsigned(w)), be16(unsigned(h)), Bytes(4, 0), Bytes(1, channelByte),
                Bytes(3, 0), be32(scale), Bytes(12, 0), data});
}

// A string block as the layout gives it.
inline Bytes stringBlock(const QByteArray& utf8WithZero) {
    const QByteArray head = ">>STRLEN:" + QByteArray::number(utf8WithZero.size()) + "<<";
    return cat({Bytes(head.begin(), head.end()), Bytes(utf8WithZero.begin(), utf8WithZero.end())});
}

// The 12-byte VAR/SCAN header then data.
inline Bytes varFile(uint32_t type, int w, int h, int bits, const Bytes& data) {
    return cat({be32(type), be16(unsigned(w)), be16(unsigned(h)), {uint8_t(bits), 0, 0, 0}, data});
}

inline QString put(const celtest::TempDir& dir, const QString& name, const Bytes& b) {
    const QString path = dir.path(name);
    celtest::writeFile(path, QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size())));
    return path;
}

inline Bytes fileBytes(const QString& path) {
    const QByteArray b = celtest::readFile(path);
    return Bytes(b.begin(), b.end());
}

// r, g, b, a per pixel from planes (alpha 255 without a fourth plane, grey
// for one plane), as celtest::values gives them.
inline celtest::Values pixelsOf(const std::vector<Bytes>& planes) {
    celtest::Values v;
    for (size_t i = 0; i < planes[0].size(); ++i)
        for (size_t c = 0; c < 4; ++c)
            v.push_back(c < planes.size() ? planes[c][i] : c < 3 ? planes[0][i] : 255);
    return v;
}

// The handler's decoding of a file, or null.
inline UT_SharedPtr<CEL_Representation> decode(const CELIO_Handler& h, const QString& path) {
    CELIO_RepresentationList list;
    if (!h.read(path, CEL_Context(), list) || list.size() != 1) return {};
    return list.front();
}

// The plane encoding as the rules read, over a whole plane: a run of three or
// more is run packets of at most 32767; otherwise a literal span grows from
// the end of that run until a value equals its predecessor and its
// successor, and ends before the predecessor.
inline Bytes referencePlane(const Bytes& v) {
    Bytes o;
    const auto add = [&o](const Bytes& packet) { o.insert(o.end(), packet.begin(), packet.end()); };
    const size_t n = v.size();
    for (size_t p = 0; p < n;) {
        size_t r = 1;
        while (p + r < n && v[p + r] == v[p]) ++r;
        if (r >= 3) {
            for (size_t left = r; left; left -= std::min<size_t>(left, 32767))
                add(runPacket(int(std::min<size_t>(left, 32767)), v[p]));
            p += r;
            continue;
        }
        size_t i = p + r;
        while (i < n && !(i + 1 < n && v[i] == v[i - 1] && v[i] == v[i + 1])) ++i;
        const size_t end = i < n ? i - 1 : n;
        for (size_t at = p; at < end; at += 32767)
            add(literalPacket(Bytes(v.begin() + long(at), v.begin() + long(std::min(end, at + 32767)))));
        p = end;
    }
    return o;
}

} // namespace opttest
