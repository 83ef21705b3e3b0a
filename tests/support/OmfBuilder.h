#pragma once
// Builds OMF media files byte by byte from the documented structure
// (omf/OmfContainer.h), independently of the container's writer: header,
// objects, properties. Records where every 64-bit length field lies, so tests
// can make each one lie.

#include <QByteArray>
#include <cstdint>
#include <vector>

namespace celtest {

class OmfBuilder {
public:
    enum Type : uint8_t { U32 = 1, I64 = 2, Text = 3, Bytes = 4 };

    explicit OmfBuilder(uint16_t major = 1, uint16_t minor = 0) {
        m_bytes = QByteArray("\x89OMF\r\n\x1a\n", 8);
        putLE(m_bytes, major, 2);
        putLE(m_bytes, minor, 2);
        putLE(m_bytes, 0, 4);
    }

    // One property: name, type, u64 length, value.
    static QByteArray property(const char* name, uint8_t type, const QByteArray& value) {
        QByteArray p(name, 4);
        p.append(char(type));
        putLE(p, uint64_t(value.size()), 8);
        return p + value;
    }
    static QByteArray u32(const char* name, uint32_t v) {
        QByteArray value;
        putLE(value, v, 4);
        return property(name, U32, value);
    }

    // An object of the class with the given properties as its body.
    OmfBuilder& object(const char* cls, const QByteArray& body) {
        m_bytes.append(cls, 4);
        m_lengths.push_back(m_bytes.size());
        putLE(m_bytes, uint64_t(body.size()), 8);
        // The properties' own length fields, found by walking the body.
        for (qsizetype at = 0; at + 13 <= body.size();) {
            m_lengths.push_back(m_bytes.size() + at + 5);
            uint64_t length = 0;
            for (int i = 0; i < 8; ++i) length |= uint64_t(uint8_t(body[at + 5 + i])) << (8 * i);
            at += 13 + qsizetype(length);
        }
        m_bytes += body;
        return *this;
    }

    static QByteArray videoBody(uint32_t id, uint32_t width, uint32_t height, uint32_t bits = 24,
                                uint32_t layout = 1, uint32_t compression = 0,
                                const QByteArray& creator = "OMF QAV 6.0") {
        return u32("MDID", id) + u32("KIND", 1) + property("CRTR", Text, creator) + u32("WDTH", width) +
               u32("HGHT", height) + u32("BITS", bits) + u32("FLAY", layout) + u32("CMPR", compression);
    }
    OmfBuilder& video(uint32_t id, uint32_t width, uint32_t height, uint32_t bits = 24, uint32_t layout = 1,
                      uint32_t compression = 0) {
        return object("MDES", videoBody(id, width, height, bits, layout, compression));
    }
    OmfBuilder& sound(uint32_t id) {
        return object("MDES", u32("MDID", id) + u32("KIND", 2) + property("CRTR", Text, "a recorder"));
    }
    OmfBuilder& sample(uint32_t media, const QByteArray& data) {
        return object("SAMP", u32("MDID", media) + property("DATA", Bytes, data));
    }
    OmfBuilder& raw(const QByteArray& bytes) {
        m_bytes += bytes;
        return *this;
    }

    const QByteArray& bytes() const { return m_bytes; }
    // Offsets of every u64 length field (objects and properties).
    const std::vector<qsizetype>& lengthFields() const { return m_lengths; }

    static void putLE(QByteArray& out, uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out.append(char(uint8_t(v >> (8 * i))));
    }

private:
    QByteArray m_bytes;
    std::vector<qsizetype> m_lengths;
};

} // namespace celtest
