#include "celio/handlers/VarScanHandler.h"

#include <QByteArray>
#include <algorithm>
#include <atomic>
#include <unordered_map>

#include "base/Message.h"
#include "cel/Cel.h"
#include "celio/ByteIO.h"
#include "celio/MemoryFile.h"
#include "celio/handlers/WriteLimitsDetail.h"
#include "pixel/PixmapCanvas.h"

// ------------------------------------------------------------------ per-thread strings

namespace {

using StringMap = std::unordered_map<uint64_t, QString>; // node-based: references stay valid

std::atomic<uint64_t> g_nextStringId{1};

// The calling thread's strings, made on first use and freed when the thread
// ends. After that the pointer is null again, so a handler destroyed late
// (at process exit, after the main thread's own objects) touches nothing freed.
thread_local StringMap* t_strings = nullptr;

struct StringMapOwner {
    void own() {}
    ~StringMapOwner() {
        delete t_strings;
        t_strings = nullptr;
    }
};
thread_local StringMapOwner t_stringsOwner;

StringMap& threadStrings() {
    if (!t_strings) {
        t_stringsOwner.own(); // constructs the owner, whose destructor frees the map
        t_strings = new StringMap;
    }
    return *t_strings;
}

} // namespace

CELIO_ThreadInfoString::CELIO_ThreadInfoString() : m_id(g_nextStringId.fetch_add(1)) {}

CELIO_ThreadInfoString::CELIO_ThreadInfoString(const CELIO_ThreadInfoString& other)
    : m_id(g_nextStringId.fetch_add(1)) {
    get() = other.get();
}

CELIO_ThreadInfoString& CELIO_ThreadInfoString::operator=(const CELIO_ThreadInfoString& other) {
    if (this != &other) get() = other.get();
    return *this;
}

CELIO_ThreadInfoString::~CELIO_ThreadInfoString() {
    // Other threads' copies are freed when those threads end.
    if (t_strings) t_strings->erase(m_id);
}

QString& CELIO_ThreadInfoString::get() const {
    return threadStrings()[m_id];
}

// ------------------------------------------------------------------ file layout

namespace {

constexpr int kHeaderSize = 12;
constexpr char kStringTag[] = ">>STRLEN:";

struct VarHeader {
    uint32_t type = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

bool readHeader(ibuf& in, VarHeader& h) {
    uint8_t b[kHeaderSize];
    if (in.readSome(b, sizeof b) != sizeof b) return false;
    h.type = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    h.width = uint16_t(b[4] << 8 | b[5]);
    h.height = uint16_t(b[6] << 8 | b[7]);
    return true; // bytes 8 to 11 (bits per pixel, reserved) are not used
}

// The type table of both families (3, 7 and 9 are one channel here, unlike OPT).
bool varType(uint32_t type, int& channels, bool& compressed) {
    switch (type) {
    case 1:
        channels = 3, compressed = false;
        return true;
    case 2:
        channels = 4, compressed = false;
        return true;
    case 3:
    case 7:
    case 9:
        channels = 1, compressed = false;
        return true;
    case 4:
        channels = 3, compressed = true;
        return true;
    case 5:
        channels = 4, compressed = true;
        return true;
    case 6:
        channels = 1, compressed = true;
        return true;
    default:
        return false;
    }
}

// Replaces s with the string of the block at the input's position. The bytes
// are appended as they arrive, so a count larger than the data fails at the
// data's end without having reserved anything for it.
void readStringBlock(ibuf& in, QString& s) {
    s.clear();
    in.skip(int64_t(sizeof kStringTag - 1)); // not compared
    const int64_t n = in.readDecimal();
    in.skip(2); // "<<"
    char chunk[4096];
    for (int64_t left = n; left > 0;) {
        const size_t k = size_t(std::min<int64_t>(left, int64_t(sizeof chunk)));
        in.read(chunk, k);
        s.append(QLatin1StringView(chunk, qsizetype(k)));
        left -= int64_t(k);
    }
}

void writeStringBlock(obuf& out, const QString& s) {
    const QByteArray text = s.isEmpty() ? QByteArray("Stage") : s.toUtf8();
    QByteArray block = QByteArray(kStringTag) + QByteArray::number(text.size() + 1) + "<<" + text;
    block.append('\0');
    out.write(block.constData(), size_t(block.size()));
}

void writeHeader(obuf& out, uint32_t type, int width, int height, int bits) {
    const uint8_t b[kHeaderSize] = {uint8_t(type >> 24),
                                    uint8_t(type >> 16),
                                    uint8_t(type >> 8),
                                    uint8_t(type),
                                    uint8_t(width >> 8),
                                    uint8_t(width),
                                    uint8_t(height >> 8),
                                    uint8_t(height),
                                    uint8_t(bits),
                                    0,
                                    0,
                                    0};
    out.write(b, sizeof b);
}

// What a write code asks for.
struct Shape {
    uint32_t type;
    int bits;
    int channels;
    CEL_Representation::CelFormat format;
};

const Shape kMatteShape = {6, 8, 1, CEL_Representation::PIXMAP_MATTE8};

Shape scanShape(const QString& code) {
    const QString c = code.toUpper();
    if (c == QLatin1String("SCAN32")) return {5, 32, 4, CEL_Representation::PIXMAP_RGBA8};
    if (c == QLatin1String("SCAN24")) return {4, 24, 3, CEL_Representation::PIXMAP_RGBA8};
    return kMatteShape;
}

// The cel's pixels in the shape's format (null bytes without pixels); false
// when it does not convert, or (with the writers' message) when a side exceeds
// the header's 65535.
bool pixelsFor(CEL_Cel* cel, const Shape& shape, const char* family, UT_SharedPtr<CEL_Representation>& rep,
               const uint8_t*& bytes, int& width, int& height) {
    if (!cel || !cel->convertibleTo(shape.format)) return false;
    rep = cel->convertTo(shape.format);
    const CEL_Pixmap* pixmap = nullptr;
    bytes = nullptr;
    if (shape.channels == 1) {
        if (const auto* m = dynamic_cast<const CEL_PixmapMatte8*>(rep.get())) pixmap = m, bytes = m->data();
    } else if (const auto* p = dynamic_cast<const CEL_PixmapRGBA8*>(rep.get())) {
        pixmap = p, bytes = reinterpret_cast<const uint8_t*>(p->data());
    }
    if (!pixmap) return false;
    width = pixmap->width();
    height = pixmap->height();
    if (width < 0 || height < 0 || !celio_detail::fitsHeader("qxcelio", family, width, height, 65535, 65535))
        return false;
    return bytes || size_t(width) * size_t(height) == 0;
}

// read() of both families; readPixels(in, channels, width, height, compressed)
// runs the OPT readers.
template <class ReadString, class ReadPixels>
bool readFile(ibuf& in, CELIO_RepresentationList& list, const ReadString& readString,
              const ReadPixels& readPixels) {
    try {
        if (!in.isOpen()) return false;
        VarHeader h;
        if (!readHeader(in, h)) return false;
        int channels = 0;
        bool compressed = false;
        if (!varType(h.type, channels, compressed)) {
            // No message code is fixed for it; 10 is the one of failed reads.
            MSG_Scope("qxcelio", "unknown var type %1", 6).arg(QString::number(h.type)).post(10);
            return false;
        }
        readString(in);
        CEL_Representation* rep = readPixels(in, channels, h.width, h.height, compressed);
        if (!rep) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(rep));
        return true;
    } catch (...) { // data that ends early
        return false;
    }
}

// readInfo() of both families; fills everything but the code and description,
// which describe(type, compressed) returns.
template <class ReadString, class Describe>
CELIO_State readFileInfo(ibuf& in, CELIO_Info& info, const ReadString& readString, const Describe& describe) {
    try {
        if (!in.isOpen()) return CELIO_STATE_FAILED;
        VarHeader h;
        int channels = 0;
        bool compressed = false;
        if (!readHeader(in, h) || !varType(h.type, channels, compressed)) return CELIO_STATE_FAILED;
        readString(in);
        info.width = h.width;
        info.height = h.height;
        info.channels = uint32_t(channels);
        info.bytesPerChannel = 1;
        describe(h.type, compressed);
        return CELIO_STATE_OK;
    } catch (...) {
        return CELIO_STATE_FAILED;
    }
}

// write() of both families; writePlanes(out, pixels, count, channels) runs the OPT encoder.
template <class WriteString, class WritePlanes>
bool writeFile(CEL_Cel* cel, const QString& path, const Shape& shape, const char* family,
               const WriteString& writeString, const WritePlanes& writePlanes) {
    UT_SharedPtr<CEL_Representation> rep;
    const uint8_t* pixels = nullptr;
    int width = 0, height = 0;
    if (!pixelsFor(cel, shape, family, rep, pixels, width, height)) return false;
    obuf out(path);
    if (!out.isOpen()) return false;
    writeHeader(out, shape.type, width, height, shape.bits);
    writeString(out);
    writePlanes(out, pixels, size_t(width) * size_t(height), shape.channels);
    out.close(); // a failure is reported by the output; the write still counts as done
    return true;
}

} // namespace

// ------------------------------------------------------------------ VAR

QStringList QXCelUioVarHandler::getExtensions() const {
    return {QStringLiteral("VAR")};
}

QStringList QXCelUioVarHandler::getWriteOptionCodes() const {
    return {QStringLiteral("VAR")};
}

void QXCelUioVarHandler::getWriteOptions(CELIO_WriteOptions&) const {}

QString QXCelUioVarHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("VAR");
}

void QXCelUioVarHandler::setInfoString(const QString& text) const {
    m_infoString.get() = text;
}

QString QXCelUioVarHandler::infoString() const {
    return m_infoString.get();
}

void QXCelUioVarHandler::readString(ibuf& in) const {
    readStringBlock(in, m_infoString.get());
}

void QXCelUioVarHandler::writeString(obuf& out) const {
    writeStringBlock(out, m_infoString.get());
}

bool QXCelUioVarHandler::read(const QString& path, const CEL_Context&, CELIO_RepresentationList& list) const {
    ibuf in(path);
    return readFrom(in, list);
}

CELIO_State QXCelUioVarHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                           CELIO_RepresentationList& list) const {
    ibuf in(file.data(), file.size());
    return readFrom(in, list) ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

bool QXCelUioVarHandler::readFrom(ibuf& source, CELIO_RepresentationList& list) const {
    return readFile(
        source, list, [this](ibuf& in) { readString(in); },
        [this](ibuf& in, int channels, int w, int h, bool compressed) {
            return compressed ? readCompressed(in, channels, w, h) : readUncompressed(in, channels, w, h);
        });
}

CELIO_State QXCelUioVarHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    ibuf in(path);
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioVarHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                               CELIO_Info& info) const {
    ibuf in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioVarHandler::readInfoFrom(ibuf& source, CELIO_Info& info) const {
    return readFileInfo(
        source, info, [this](ibuf& in) { readString(in); },
        [&](uint32_t type, bool compressed) {
            info.optionCode = type == 1 || type == 4   ? QStringLiteral("VAR3")
                              : type == 2 || type == 5 ? QStringLiteral("VAR4")
                                                       : QStringLiteral("VAR");
            const QString& text = m_infoString.get();
            info.description = compressed ? QStringLiteral("Run-length encoded\n    ") + text : text;
        });
}

bool QXCelUioVarHandler::write(CEL_Cel* cel, const QString& path, const QString&) const {
    return writeFile(
        cel, path, kMatteShape, "VAR", [this](obuf& out) { writeString(out); },
        [this](obuf& out, const uint8_t* px, size_t count, int channels) {
            writeCompressedPlanes(out, px, count, channels);
        });
}

// ------------------------------------------------------------------ SCAN

QStringList QXCelUioScanHandler::getExtensions() const {
    return {QStringLiteral("SCAN")};
}

QStringList QXCelUioScanHandler::getWriteOptionCodes() const {
    return {QStringLiteral("SCAN")};
}

void QXCelUioScanHandler::getWriteOptions(CELIO_WriteOptions&) const {}

QString QXCelUioScanHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return QStringLiteral("SCAN");
}

void QXCelUioScanHandler::setInfoString(const QString& text) const {
    m_infoString.get() = text;
}

QString QXCelUioScanHandler::infoString() const {
    return m_infoString.get();
}

bool QXCelUioScanHandler::getCallerInfoString(QString& out) const {
    out = m_infoString.get();
    return true;
}

void QXCelUioScanHandler::setCallerInfoString(const QString& text) {
    m_infoString.get() = text;
}

void QXCelUioScanHandler::readString(ibuf& in) const {
    readStringBlock(in, m_infoString.get());
}

void QXCelUioScanHandler::writeString(obuf& out) const {
    writeStringBlock(out, m_infoString.get());
}

bool QXCelUioScanHandler::read(const QString& path, const CEL_Context&,
                               CELIO_RepresentationList& list) const {
    ibuf in(path);
    return readFrom(in, list);
}

CELIO_State QXCelUioScanHandler::readMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                            CELIO_RepresentationList& list) const {
    ibuf in(file.data(), file.size());
    return readFrom(in, list) ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

bool QXCelUioScanHandler::readFrom(ibuf& source, CELIO_RepresentationList& list) const {
    return readFile(
        source, list, [this](ibuf& in) { readString(in); },
        [this](ibuf& in, int channels, int w, int h, bool compressed) {
            return compressed ? readCompressed(in, channels, w, h) : readUncompressed(in, channels, w, h);
        });
}

CELIO_State QXCelUioScanHandler::readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const {
    ibuf in(path);
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioScanHandler::readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context&,
                                                CELIO_Info& info) const {
    ibuf in(file.data(), file.size());
    return readInfoFrom(in, info);
}

CELIO_State QXCelUioScanHandler::readInfoFrom(ibuf& source, CELIO_Info& info) const {
    return readFileInfo(
        source, info, [this](ibuf& in) { readString(in); },
        [&](uint32_t, bool compressed) {
            info.optionCode = QStringLiteral("SCAN");
            const QString& text = m_infoString.get();
            info.description = compressed ? QStringLiteral("RLE encoded, ") + text : text;
        });
}

bool QXCelUioScanHandler::write(CEL_Cel* cel, const QString& path, const QString& code) const {
    return writeFile(
        cel, path, scanShape(code), "SCAN", [this](obuf& out) { writeString(out); },
        [this](obuf& out, const uint8_t* px, size_t count, int channels) {
            writeCompressedPlanes(out, px, count, channels);
        });
}
