// The format tables. A new handler adds a reader row, writer rows where its
// codes differ from the defaults, and a signature row; nothing else changes.
#include "celio/handlers/FormatTable.h"

#include <string_view>

#include "celio/Handler.h"
#include "celio/handlers/TiffHandler.h"

namespace {

using A = CELIO_Alpha;

A straight(const QString&) {
    return A::Straight;
}

A premultiplied(const QString&) {
    return A::Premultiplied;
}

// TIFF files name their alpha in the extra-samples tag; one that does not say
// is taken as straight, as other programs read it.
A tiffAlpha(const QString& path) {
    return QxCelUioTiffHandler::hasAssociatedAlpha(path) ? A::Premultiplied : A::Straight;
}

// ---------------------------------------------------------------- reading

struct ReaderRow {
    const char* family; // the handler's main extension
    const char* name;   // how messages name the family
    A (*alpha)(const QString& path);
    bool readsAlpha; // false: the reader makes every pixel opaque
};

// The decoders pass the files' samples on; files written by other programs
// carry straight colour in these families.
const ReaderRow kReaders[] = {
    {"TGA", "TGA", straight, true},
    {"SGI", "SGI", straight, true},
    {"PNG", "PNG", straight, true},
    {"JPG", "JPEG", straight, true},
    {"BMP", "BMP", straight, false},
    {"TIF", "TIFF", tiffAlpha, true},
    {"PSD", "PSD", straight, true},
    {"PSB", "PSB", straight, true},
    // The legacy planar families hold the library's own values: only this
    // library's writers make them.
    {"OPT", "OPT", premultiplied, true},
    {"SCAN", "SCAN", premultiplied, true},
    {"VAR", "VAR", premultiplied, true},
    {"IFF", "IFF", premultiplied, true},  // renderers' output: colour multiplied by alpha
    {"OMF", "OMF", premultiplied, false}, // RGB media read opaque; the library's own values
    // Video frames: opaque colour (alpha 255), which both conventions read alike.
    {"PAL", "PAL", premultiplied, false},
    {"YUV", "YUV", premultiplied, false},
};

// ---------------------------------------------------------------- writing

enum KeepsAlpha : int8_t { AsNamed, NoAlpha, KeepsIt, OneChannel }; // OneChannel: a matte, whatever the code

struct WriterRow {
    const char* family;
    const char* code; // "*": the family's other codes
    A expects;
    KeepsAlpha alpha;
};

const WriterRow kWriters[] = {
    {"TGA", "*", A::Straight, AsNamed},         // stores the values as given
    {"SGI", "*", A::Straight, AsNamed},         //
    {"PNG", "PNG4", A::Premultiplied, AsNamed}, // un-premultiplies before storing
    {"PNG", "*", A::Straight, AsNamed},         // PNGDP4 stores the values as given
    {"JPG", "*", A::Straight, AsNamed},         //
    {"BMP", "BMP4", A::Premultiplied, NoAlpha}, // un-premultiplies; the file stays 24-bit
    {"BMP", "*", A::Straight, AsNamed},         //
    {"TIF", "*", A::Premultiplied, KeepsIt},    // RGBA with associated alpha, whatever the code
    {"IFF", "*", A::Premultiplied, KeepsIt},    // always RGBA, as renderers write it
    {"PSD", "*", A::Straight, AsNamed},         // stores the values as given; PSD1 writes the luma
    {"OPT", "*", A::Premultiplied, AsNamed},    // stores the values as given
    {"SCAN", "SCAN24", A::Premultiplied, NoAlpha},
    {"SCAN", "SCAN32", A::Premultiplied, KeepsIt},
    {"SCAN", "*", A::Premultiplied, OneChannel}, // any other code writes the matte
    {"VAR", "*", A::Premultiplied, OneChannel},  // always the matte
    {"OMF", "*", A::Premultiplied, NoAlpha},     // RGB as stored: premultiplied colour is colour over black
    // Video frames store colour as given and drop alpha: premultiplied colour
    // shows the picture laid over black.
    {"PAL", "*", A::Premultiplied, NoAlpha},
    {"YUV", "*", A::Premultiplied, NoAlpha},
};

// ---------------------------------------------------------------- signatures

using Head = std::string_view;

unsigned byteAt(Head h, size_t i) {
    return i < h.size() ? static_cast<unsigned char>(h[i]) : 0u;
}
unsigned le16(Head h, size_t i) {
    return byteAt(h, i) | byteAt(h, i + 1) << 8;
}
unsigned be16(Head h, size_t i) {
    return byteAt(h, i) << 8 | byteAt(h, i + 1);
}

bool anything(Head) {
    return true;
}

// Storage 0 or 1, 1 or 2 bytes per channel, 1 to 3 dimensions.
bool sgiHeader(Head h) {
    return h.size() >= 6 && byteAt(h, 2) <= 1 && (byteAt(h, 3) == 1 || byteAt(h, 3) == 2) &&
           be16(h, 4) >= 1 && be16(h, 4) <= 3;
}

// The information header has one of the sizes the format's versions define.
bool bmpHeader(Head h) {
    const unsigned size = le16(h, 14) | le16(h, 16) << 16;
    return size == 12 || size == 16 || size == 40 || size == 52 || size == 56 || size == 64 || size == 108 ||
           size == 124;
}

// Image types of the OPT family's tables (a 32-bit big-endian field).
bool planarType(Head h) {
    const unsigned type = byteAt(h, 3);
    return byteAt(h, 0) == 0 && byteAt(h, 1) == 0 && byteAt(h, 2) == 0 && type >= 1 && type <= 9 && type != 8;
}

// OPT: a known type and the scale of 1.0 every writer of the family stores.
bool optHeader(Head h) {
    return planarType(h) && h.substr(16, 4) == std::string_view("\x3f\x80\0\0", 4);
}

// SCAN (and VAR, whose files are laid out the same and are found as SCAN): a
// known type, the bits per pixel, and the string block's tag.
bool scanHeader(Head h) {
    const unsigned bits = byteAt(h, 8);
    return planarType(h) && (bits == 8 || bits == 24 || bits == 32) && h.substr(12, 9) == ">>STRLEN:";
}

bool webp(Head h) {
    return h.substr(8, 4) == "WEBP";
}

bool iffImage(Head h) {
    return h.substr(8, 4) == "CIMG";
}

uint32_t be32(Head h, size_t i) {
    return uint32_t(be16(h, i)) << 16 | be16(h, i + 2);
}

// QuickTime and MP4 (ISO media): a first box of a type such files start
// with, of a possible size; picture formats built on the same boxes (HEIF,
// AVIF) are left out by their brands.
bool isoMedia(Head h) {
    if (h.size() < 12) return false;
    const Head type = h.substr(4, 4);
    const uint32_t size = be32(h, 0);
    if (size != 0 && size != 1 && size < 8) return false;
    if (type == "ftyp") {
        const Head brand = h.substr(8, 4);
        for (const char* picture :
             {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "avis"})
            if (brand == picture) return false;
        return true;
    }
    return type == "moov" || type == "mdat" || type == "wide" || type == "free" || type == "skip" ||
           type == "pnot";
}

bool aviRiff(Head h) {
    return h.substr(8, 4) == "AVI ";
}

// TGA files have no magic number: a header whose fields all hold values the
// format defines. The weakest signature, tried last.
bool tgaHeader(Head h) {
    if (h.size() < 18) return false;
    const unsigned mapType = byteAt(h, 1), type = byteAt(h, 2), depth = byteAt(h, 16),
                   descriptor = byteAt(h, 17);
    const bool mapped = type == 1 || type == 9;
    const bool known = mapped || type == 2 || type == 3 || type == 10 || type == 11;
    const bool mapFields =
        mapType == 1 ? mapped : mapType == 0 && le16(h, 3) == 0 && le16(h, 5) == 0 && byteAt(h, 7) == 0;
    return known && mapFields && le16(h, 12) > 0 && le16(h, 14) > 0 &&
           (depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32) &&
           (descriptor & 0xc0) == 0 && (descriptor & 15) <= 8;
}

// Raw pixmap files: format 4 or 6 and 8 bytes per pixel (the magic), then a
// pixel count and sizes that are not negative.
bool datHeader(Head h) {
    return h.size() >= 24 && byteAt(h, 15) < 0x80 && byteAt(h, 19) < 0x80 && byteAt(h, 23) < 0x80;
}

struct SignatureRow {
    const char* family; // main extension; a family without a handler is named only
    Head magic;         // the first bytes
    bool (*plausible)(Head head);
    // The extension such content goes by where the family's handler reads
    // several containers and picks its reader by name (movies); null: the family's.
    const char* extension = nullptr;
};

using namespace std::string_view_literals;

const SignatureRow kSignatures[] = {
    {"PNG", "\x89PNG\r\n\x1a\n"sv, anything},
    {"JPG", "\xff\xd8\xff"sv, anything},
    {"TIF", "II*\0"sv, anything},
    {"TIF", "MM\0*"sv, anything},
    {"TIF", "II+\0"sv, anything}, // BigTIFF
    {"TIF", "MM\0+"sv, anything},
    {"SGI", "\x01\xda"sv, sgiHeader},
    {"PSD", "8BPS\0\x01"sv, anything},
    {"PSB", "8BPS\0\x02"sv, anything},
    {"BMP", "BM"sv, bmpHeader},
    {"GIF", "GIF8"sv, anything},
    {"WEBP", "RIFF"sv, webp},
    {"IFF", "FOR4"sv, iffImage},
    {"EXR", "\x76\x2f\x31\x01"sv, anything},
    {"DAT", "\x04\0\0\0\x08\0\0\0"sv, datHeader},
    {"DAT", "\x06\0\0\0\x08\0\0\0"sv, datHeader},
    {"OMF", "\x89OMF\r\n\x1a\n"sv, anything},
    {"QVX", "QVX\x1a"sv, anything},
    {"QVXO", "QVXO"sv, anything},
    // Movie containers, all read by the movie handler (family MOV).
    {"MOV", "\x1a\x45\xdf\xa3"sv, anything, "mkv"}, // Matroska, WebM
    {"MOV", "RIFF"sv, aviRiff, "avi"},
    {"MOV", "\x06\x0e\x2b\x34\x02\x05\x01\x01\x0d\x01\x02"sv, anything, "mxf"}, // header partition
    {"MOV", ""sv, isoMedia, "mov"},
    {"OPT", ""sv, optHeader},
    {"SCAN", ""sv, scanHeader},
    {"TGA", ""sv, tgaHeader},
    // PAL and YUV frames have no header: no signature, found by extension only.
};

bool rowMatches(const SignatureRow& row, Head head) {
    return head.substr(0, row.magic.size()) == row.magic && row.plausible(head);
}

QString familyOf(const CELIO_Handler& handler) {
    return handler.getExtensions().value(0).toUpper();
}

const ReaderRow* readerRow(const CELIO_Handler& handler) {
    const QString family = familyOf(handler);
    for (const ReaderRow& row : kReaders)
        if (family == QLatin1String(row.family)) return &row;
    return nullptr;
}

const WriterRow* writerRow(const CELIO_Handler& handler, const QString& code) {
    const QString family = familyOf(handler);
    const WriterRow* other = nullptr;
    for (const WriterRow& row : kWriters) {
        if (family != QLatin1String(row.family)) continue;
        if (code.compare(QLatin1String(row.code), Qt::CaseInsensitive) == 0) return &row;
        if (row.code == std::string_view("*")) other = &row;
    }
    return other;
}

// The flag combinations, fewest flags first.
CELIO_WriteOptions flagsOf(int mask) {
    CELIO_WriteOptions o;
    o.singleChannel = mask & 1;
    o.alpha = mask & 2;
    o.deepPixels = mask & 4;
    return o;
}
constexpr int kMasks[] = {0, 1, 2, 4, 3, 5, 6, 7};

CELIO_Shape shapeOfFlags(const CELIO_WriteOptions& o) {
    return {o.singleChannel ? 1 : o.alpha ? 4 : 3, o.deepPixels};
}

// The option-code convention: the last character 1, 3 or 4, "DP" before it.
CELIO_Shape shapeOfName(const QString& code) {
    const QString c = code.toUpper();
    const QChar last = c.isEmpty() ? QChar() : c.back();
    if (last != QLatin1Char('1') && last != QLatin1Char('3') && last != QLatin1Char('4')) return {};
    return {last.digitValue(), c.chopped(1).endsWith(QLatin1String("DP"))};
}

int score(const CELIO_Shape& s, const CELIO_Shape& want) {
    const bool keepsColour = want.channels < 3 || s.channels >= 3;
    const bool keepsAlpha = want.channels != 4 || s.channels == 4;
    const bool keepsDepth = !want.deep || s.deep;
    const bool noExtraDepth = want.deep || !s.deep;
    const bool noExtraAlpha = want.channels == 4 || s.channels != 4;
    const bool sameChannels = want.channels == s.channels;
    return keepsColour << 5 | keepsAlpha << 4 | keepsDepth << 3 | noExtraDepth << 2 | noExtraAlpha << 1 |
           sameChannels;
}

} // namespace

QString CELIO_FormatTable::name(const CELIO_Handler& handler) {
    const ReaderRow* row = readerRow(handler);
    return row ? QLatin1String(row->name) : familyOf(handler);
}

CELIO_Alpha CELIO_FormatTable::readAlpha(const CELIO_Handler& handler, const QString& path) {
    const ReaderRow* row = readerRow(handler);
    return row ? row->alpha(path) : A::Premultiplied;
}

bool CELIO_FormatTable::readsAlpha(const CELIO_Handler& handler) {
    const ReaderRow* row = readerRow(handler);
    return !row || row->readsAlpha;
}

CELIO_Alpha CELIO_FormatTable::writeAlpha(const CELIO_Handler& handler, const QString& code) {
    const WriterRow* row = writerRow(handler, code);
    return row ? row->expects : A::Premultiplied;
}

CELIO_Shape CELIO_FormatTable::codeShape(const CELIO_Handler& handler, const QString& code) {
    CELIO_WriteOptions caps;
    handler.getWriteOptions(caps);
    const int capMask = caps.singleChannel | caps.alpha << 1 | caps.deepPixels << 2;
    CELIO_Shape shape = shapeOfName(code);
    for (int mask : kMasks) {
        if ((mask & capMask) != mask) continue;
        const CELIO_WriteOptions flags = flagsOf(mask);
        if (handler.getWriteOptionsCode(flags).compare(code, Qt::CaseInsensitive) == 0) {
            shape = shapeOfFlags(flags);
            break;
        }
    }
    if (const WriterRow* row = writerRow(handler, code)) {
        if (row->alpha == KeepsIt) shape.channels = 4;
        if (row->alpha == NoAlpha && shape.channels == 4) shape.channels = 3;
        if (row->alpha == OneChannel) shape.channels = 1;
    }
    return shape;
}

QString CELIO_FormatTable::codeFor(const CELIO_Handler& handler, const CELIO_Shape& want) {
    CELIO_WriteOptions caps;
    handler.getWriteOptions(caps);
    CELIO_WriteOptions flags;
    flags.alpha = want.channels == 4 && caps.alpha;
    flags.deepPixels = want.deep && caps.deepPixels;
    // Grey in three channels keeps its depth; one 8-bit channel would not.
    flags.singleChannel = want.channels == 1 && caps.singleChannel && !flags.deepPixels;
    QStringList candidates{handler.getWriteOptionsCode(flags)};
    candidates += handler.getWriteOptionCodes();
    candidates += handler.getWriteOptionsCode(caps);
    QString best;
    int bestScore = -1;
    for (const QString& code : candidates) {
        if (code.isEmpty()) continue;
        const int s = score(codeShape(handler, code), want);
        if (s > bestScore) best = code, bestScore = s;
    }
    return best;
}

QString CELIO_FormatTable::detect(const QByteArray& head) {
    const Head h(head.constData(), size_t(head.size()));
    for (const SignatureRow& row : kSignatures)
        if (rowMatches(row, h)) return QLatin1String(row.family);
    return QString();
}

QString CELIO_FormatTable::detectExtension(const QByteArray& head) {
    const Head h(head.constData(), size_t(head.size()));
    for (const SignatureRow& row : kSignatures)
        if (rowMatches(row, h))
            return row.extension ? QLatin1String(row.extension) : QString::fromLatin1(row.family).toLower();
    return QString();
}

bool CELIO_FormatTable::matches(const CELIO_Handler& handler, const QByteArray& head) {
    const QString family = familyOf(handler);
    const Head h(head.constData(), size_t(head.size()));
    for (const SignatureRow& row : kSignatures)
        if (family == QLatin1String(row.family) && rowMatches(row, h)) return true;
    return false;
}

bool CELIO_FormatTable::hasSignature(const CELIO_Handler& handler) {
    const QString family = familyOf(handler);
    for (const SignatureRow& row : kSignatures)
        if (family == QLatin1String(row.family)) return true;
    return false;
}
