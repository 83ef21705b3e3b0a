#pragma once
// A plain reading of the PSD and PSB layout, independent of the handler, for
// tests that check what a writer put where: header, layer records with their
// blocks, each channel's bytes, the composite. Every length field is checked
// against what it covers; `error` says which one did not add up.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace psdtest {

struct Record {
    int32_t top = 0, left = 0, bottom = 0, right = 0;
    std::vector<int16_t> ids;
    std::vector<QByteArray> data; // per channel: its compression field and bytes
    QByteArray signature, key;
    int opacity = 0, clipping = 0, flags = 0;
    uint32_t extraLength = 0;
    QByteArray name;  // as stored
    int padding = 0;  // zero bytes after the name
    int divider = -1; // lsct type
    QByteArray dividerKey;
    bool unicodeName = false;
    QString luni;
};

struct File {
    QString error; // empty when every length added up
    uint16_t version = 0, channels = 0, depth = 0, mode = 0;
    uint32_t rows = 0, columns = 0;
    uint64_t sectionLength = 0, infoLength = 0;
    int count = 0; // as stored (negative: the composite's alpha is the transparency)
    std::vector<Record> records;
    uint16_t compression = 0;
    QByteArray composite; // after its compression field
};

class Reader {
public:
    explicit Reader(const QByteArray& b) : m_b(b) {}
    bool ok() const { return m_ok; }
    qsizetype pos() const { return m_pos; }
    QByteArray bytes(qsizetype n) {
        if (n < 0 || m_pos + n > m_b.size()) {
            m_ok = false, m_pos = m_b.size();
            return QByteArray(int(std::max<qsizetype>(n, 0)), '\0');
        }
        const QByteArray r = m_b.mid(m_pos, n);
        m_pos += n;
        return r;
    }
    uint64_t be(int n) {
        const QByteArray r = bytes(n);
        uint64_t v = 0;
        for (char c : r) v = v << 8 | uint8_t(c);
        return v;
    }
    QByteArray rest() { return bytes(m_b.size() - m_pos); }

private:
    const QByteArray& m_b;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

inline File parse(const QByteArray& bytes) {
    File f;
    Reader in(bytes);
    const auto fail = [&f](const QString& why) {
        if (f.error.isEmpty()) f.error = why;
    };
    if (in.bytes(4) != "8BPS") fail("signature");
    f.version = uint16_t(in.be(2));
    const bool psb = f.version == 2;
    in.bytes(6);
    f.channels = uint16_t(in.be(2)), f.rows = uint32_t(in.be(4)), f.columns = uint32_t(in.be(4));
    f.depth = uint16_t(in.be(2)), f.mode = uint16_t(in.be(2));
    in.bytes(qsizetype(in.be(4))); // colour mode data
    in.bytes(qsizetype(in.be(4))); // image resources
    f.sectionLength = in.be(psb ? 8 : 4);
    const qsizetype sectionStart = in.pos();
    if (f.sectionLength) {
        f.infoLength = in.be(psb ? 8 : 4);
        const qsizetype infoStart = in.pos();
        f.count = int16_t(in.be(2));
        std::vector<std::vector<uint64_t>> lengths;
        for (int i = 0; i < std::abs(f.count) && in.ok(); ++i) {
            Record r;
            for (int32_t* edge : {&r.top, &r.left, &r.bottom, &r.right}) *edge = int32_t(in.be(4));
            const int n = int(in.be(2));
            std::vector<uint64_t> len;
            for (int c = 0; c < n; ++c) {
                r.ids.push_back(int16_t(in.be(2)));
                len.push_back(in.be(psb ? 8 : 4));
            }
            lengths.push_back(len);
            r.signature = in.bytes(4), r.key = in.bytes(4);
            r.opacity = int(in.be(1)), r.clipping = int(in.be(1)), r.flags = int(in.be(1));
            in.bytes(1);
            r.extraLength = uint32_t(in.be(4));
            const qsizetype extraStart = in.pos();
            in.bytes(qsizetype(in.be(4))); // mask
            in.bytes(qsizetype(in.be(4))); // blending ranges
            const int nameLength = int(in.be(1));
            r.name = in.bytes(nameLength);
            while ((in.pos() - extraStart) % 4 && in.pos() - extraStart < qsizetype(r.extraLength)) {
                if (in.be(1) != 0) fail("name padding");
                ++r.padding;
            }
            while (in.pos() - extraStart + 12 <= qsizetype(r.extraLength) && in.ok()) {
                const QByteArray sig = in.bytes(4), key = in.bytes(4);
                const qsizetype n2 = qsizetype(in.be(4));
                const QByteArray block = in.bytes(n2);
                if (sig != "8BIM") fail("block signature");
                if (key == "lsct") {
                    r.divider = int(uint8_t(block[3]));
                    if (n2 >= 12) r.dividerKey = block.mid(8, 4);
                } else if (key == "luni") {
                    r.unicodeName = true;
                    const int units = int(uint8_t(block[2]) << 8 | uint8_t(block[3]));
                    for (int u = 0; u < units; ++u)
                        r.luni += QChar(uint16_t(uint8_t(block[4 + 2 * u]) << 8 | uint8_t(block[5 + 2 * u])));
                }
            }
            if (in.pos() - extraStart != qsizetype(r.extraLength)) fail("extra data length");
            f.records.push_back(r);
        }
        for (size_t i = 0; i < f.records.size(); ++i)
            for (const uint64_t l : lengths[i]) f.records[i].data.push_back(in.bytes(qsizetype(l)));
        if (uint64_t(in.pos() - infoStart) != f.infoLength) fail("layer information length");
        in.bytes(qsizetype(in.be(4))); // global layer mask
        if (uint64_t(in.pos() - sectionStart) != f.sectionLength) fail("section length");
    }
    f.compression = uint16_t(in.be(2));
    f.composite = in.rest();
    if (!in.ok()) fail("data ended early");
    return f;
}

} // namespace psdtest
