#pragma once
// Multi-byte values stored in a named byte order, read from and written to
// plain byte pointers, whatever the host's own order. Shared by the byte
// readers and writers and by the handlers that parse headers in place.

#include <cstdint>

namespace ByteOrder {

inline uint16_t getU16LE(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint16_t getU16BE(const uint8_t* p) {
    return uint16_t((p[0] << 8) | p[1]);
}
inline uint32_t getU32LE(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint32_t getU32BE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void putU16LE(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putU16BE(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
inline void putU32LE(uint8_t* p, uint32_t v) {
    putU16LE(p, uint16_t(v));
    putU16LE(p + 2, uint16_t(v >> 16));
}
inline void putU32BE(uint8_t* p, uint32_t v) {
    putU16BE(p, uint16_t(v >> 16));
    putU16BE(p + 2, uint16_t(v));
}

} // namespace ByteOrder
