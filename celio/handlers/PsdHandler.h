#pragma once
// Layered image documents: PSD (file version 1) and its large-document form
// PSB (version 2), read by one code path; the version picks the widths of the
// length fields (PSB: 64-bit section and channel lengths, 32-bit run-length
// row counts).
//
// What a read gives:
// - The composite (flattened) image stored at the end of the file, or, with a
//   layer path in the context, one layer (below).
// - Pixmap by depth, channel count and colour mode: 16-bit files give
//   CEL_PixmapMatte16 (one channel) or CEL_PixmapRGBA16, other depths
//   CEL_PixmapMatte8 or CEL_PixmapRGBA8. Two grayscale channels are grey and
//   alpha; otherwise channels 0..3 go to red, green, blue, alpha and further
//   channels are not read. With fewer than four channels alpha is opaque
//   (except grey + alpha). Bitmap mode expands packed bits: set bit 0, clear
//   bit 255. Colour is stored as the file holds it (straight).
// - 16-bit samples v become v * 32767 / 65535 (unsigned, truncating).
// - Channel data: raw; run-length (PackBits, each row within its byte count;
//   16-bit rows are PackBits over the row's big-endian bytes); deflate with or
//   without per-row delta prediction at 8 and 16 bits (the delta runs per byte
//   at 8 bits, per 16-bit value at 16 bits). A deflate composite is one stream
//   holding all the planes one after the other.
// - Accepted colour modes: Bitmap (0), Grayscale (1), RGB (3), Multichannel
//   (7). Any other mode makes read() notify the message facility (code 11) and
//   throw the translated QString "Unsupported PSD mode, supported modes are
//   RGB, Grayscale, Bitmap and Multichannel." (context "qxcelio"); that
//   exception is meant for read()'s caller and is not caught here.
//
// Layers. Records are numbered in file order (bottom of the stack first,
// from 1). Names are decoded as UTF-8 and every character that is not a
// letter or digit becomes "_". Groups are carried by section-divider blocks:
// an end marker ("!" in paths), the group's contents, then the folder record
// that names the group. In the tree a group's id is the record index of its
// end marker.
// Two namings tell same-named siblings apart:
// - the tree (readLayerInfo, CELIO_LayerInfo) numbers layers and groups
//   separately, bottom first: the lower of two siblings "N" is N, the upper
//   N#2; a layer's path(":") joins its groups' display names and its own;
// - the read path (what CEL_Context::layerPath() selects) numbers records of
//   either kind top first: the upper sibling is N, the lower N#2, and a folder
//   named like a layer counts as one of its siblings. readLayerPaths() lists
//   it per record.
// Reading one layer: opacity (not 255) scales alpha (double, truncated),
// colour is left as stored, and the result is a CEL_PixmapAreaRGBA16 on the
// document canvas, allocated at the layer's rectangle and clipped to the
// canvas. A path that names no layer fails; a file without layers gives the
// composite.
//
// Bad data. Before allocating, sizes are checked against
// CEL_Pixmap::maxPixmapBytes() and claimed data against the bytes the file
// holds: raw planes must be there in full, run-length tables and rows within
// the data, inflated output is capped at the expected size, and an image of
// more than 1 MiB must hold enough data to code every row. Negative layer
// sizes and group nesting deeper than kMaxGroupDepth are bad data. End of data
// anywhere makes read() false and readInfo() CELIO_STATE_FAILED; readLayerInfo
// keeps what it had built and answers CELIO_STATE_OK.
//
// Decoding runs in parallel over rows (and over the channels of a deflate
// layer); the result is the same at any thread count.
//
// Writing (CELIO_PsdHandler only; CELIO_PsbHandler writes nothing). Codes,
// compared in upper case: "PSD"/"PSD3" 8-bit RGB, "PSD4" 8-bit RGBA, "PSD1"
// 8-bit grey, "PSDDP3"/"PSDDP4" 16-bit RGB(A); an empty code is "PSD", any
// other is refused (false, with a message listing the codes). Colour is
// stored as given (the files hold straight colour). 8-bit channels are
// run-length coded, 16-bit ones raw (v * 65535 / 32767 truncated, negatives 0).
// - write(): the cel's best representation is the composite; the file has no
//   layer records.
// - writeWithLayers(): the document layer's image is the composite, the tree
//   gives the records. By default each layer is written at the origin with
//   its image's size (an area pixmap: its canvas), blend key "norm", opacity
//   255, hidden flag kept; each group as an end marker "</Layer Set>", its
//   layers, its sub-groups and a folder record (key "pass"); a root group
//   that has layers writes only those. A layer whose image converts to no
//   colour pixmap is left out with a warning (action 0).
// - CELIO_PsdWriteExtras adds what the default leaves out (see there).
// Names are written as UTF-8, cut at a character boundary to 255 bytes. A
// document side above 30000 (PSB: 300000) is refused before the output is
// opened. The output goes through obuf: a failed byte write escapes as the int
// -1, and a target is replaced only by a complete file. Rows are encoded in
// parallel; the bytes are the same at any thread count.

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

#include "celio/Handler.h"

class ibuf;
class CEL_Pixmap;
class CEL_PixmapAreaRGBA16;
class CELIO_Layer;
class CELIO_LayerGroup;

// What writing adds to the default layout; all false writes the default.
struct CELIO_PsdWriteExtras {
    // Each layer's and group's blend key (a code the key table does not know
    // is written "norm" with a warning), opacity (round(opacity * 255)) and
    // hidden flag; layers at their allocated rectangle (canvas pixmaps at the
    // origin); layers and groups of every group, the root included, in
    // record-index order (CELIO_Layer::recordIndex, CELIO_LayerGroup::id), so
    // a tree read from a file is written back in its order and nothing is left
    // out. Layer pixels must then not carry the opacity: read them with
    // readLayerImages(path, info, false).
    bool keepLayerProperties = false;
    // A layout other programs read: group records carry four empty channels,
    // a document with alpha has a negative layer count, a flattened RGBA
    // write() also stores the image as one layer, and every record carries
    // its name as UTF-16 too ("luni").
    bool peerCompatible = false;
    // PSB (file version 2): 64-bit section and channel lengths, 32-bit
    // run-length row counts, sides up to 300000.
    bool largeDocument = false;
};

class CELCORE_EXPORT CELIO_PsdHandler : public CELIO_Handler {
public:
    // Deepest group nesting read; a deeper file is treated as ending there.
    static constexpr int kMaxGroupDepth = 64;

    // The first 26 bytes of the file; multi-byte fields are big-endian.
    struct Header {
        uint32_t signature = 0; // "8BPS"; read and not checked
        uint16_t version = 1;   // 1 PSD, 2 PSB
        uint16_t channels = 0;  // channels of the composite image
        uint32_t rows = 0;      // height
        uint32_t columns = 0;   // width
        uint16_t depth = 8;     // bits per channel: 16, else read as 8 (1 in Bitmap mode)
        uint16_t mode = 3;      // colour mode (Mode)
    };

    // The colour modes known here; every other value is unsupported.
    enum Mode { Bitmap = 0, Grayscale = 1, RGB = 3, Multichannel = 7 };

    // One channel record of a layer.
    struct ChannelInfo {
        int16_t id = 0;            // 0..2 colour, 3 transparency (-1 in the file), -2 user mask, -1 ignored
        uint64_t length = 0;       // bytes of the channel's data, its 2-byte compression field included
        std::vector<uint8_t> data; // encoded bytes; filled by the writer only
    };

    // One layer record.
    struct Layer {
        int32_t top = 0, left = 0, bottom = 0, right = 0; // rectangle in document pixels
        std::vector<ChannelInfo> channels;                // in file order
        uint32_t blendSignature = 0;                      // "8BIM"
        uint32_t blendKey = 0;       // four characters, big-endian; a section divider's key replaces it
        uint8_t opacity = 255;       // 0..255
        uint8_t clipping = 0;        //
        uint8_t flags = 0;           // bit 1 (value 2): hidden
        QString name;                // cleaned: letters, digits and "_"
        int32_t namePadding = 0;     // writer only
        int32_t extraDataLength = 0; // writer only
        int64_t recordSize = 0;      // writer only
        bool groupStart = false;     // folder record (section divider type 1 or 2)
        bool groupEnd = false;       // end marker of a group (type 3)
        QString path;                // read path; "!" for folders and end markers
        int32_t occurrence = 0;      // 1 + same-named siblings above it (read numbering)

        bool hidden() const { return (flags & 2) != 0; }
        int64_t width() const { return int64_t(right) - left; }
        int64_t height() const { return int64_t(bottom) - top; }
    };

    // The blend-mode code of a four-character key (big-endian), as stored in
    // CELIO_Layer::blendMode: "pass" 0, "norm" 1, "diss" 2, "dark" 3, "mul " 4,
    // "idiv" 5, "lbrn" 6, "dkCl" 7, "lite" 8, "scrn" 9, "div " 10, "lddg" 11,
    // "lgCl" 12, "over" 13, "sLit" 14, "hLit" 15, "vLit" 16, "lLit" 17,
    // "pLit" 18, "hMix" 19, "diff" 20, "smud" 21, "fsub" 22, "fdiv" 23,
    // "hue " 24, "sat " 25, "colr" 26, "lum " 27; -1 for any other key.
    static int blendModeCode(uint32_t key);
    // The key of a code of that table; 0 for a code outside it.
    static uint32_t blendKeyOfCode(int code);
    // Four characters as a big-endian key ("norm").
    static constexpr uint32_t fourCC(const char (&s)[5]) {
        return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 | uint32_t(uint8_t(s[2])) << 8 |
               uint32_t(uint8_t(s[3]));
    }

    // Sides a document may have: PSD, and PSB (largeDocument).
    static constexpr int64_t kMaxPsdSide = 30000;
    static constexpr int64_t kMaxPsbSide = 300000;

    QStringList getExtensions() const override;       // "PSD", "PSB"
    QStringList getWriteExtensions() const override;  // "PSD"
    QStringList getWriteOptionCodes() const override; // "PSD", "PSD4", "PSD3", "PSD1", "PSDDP4", "PSDDP3"
    // Sets singleChannel, alpha and deepPixels; compressed is left as it is.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // alpha: "PSDDP4" with deepPixels, else "PSD4"; else singleChannel "PSD1";
    // else deepPixels "PSDDP3"; else "PSD".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;
    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    bool writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code) const override;
    // The same with extras. A failed close posts its message and the result
    // stays true (as the three-argument forms); false on a refused code or
    // size, a document image that converts to nothing, an output that cannot
    // be opened. False on a handler that does not write (PSB).
    bool write(CEL_Cel* cel, const QString& path, const QString& code,
               const CELIO_PsdWriteExtras& extras) const;
    bool writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code,
                         const CELIO_PsdWriteExtras& extras) const;
    // Modes Grayscale, RGB and Multichannel only. Codes "PSD3"/"PSD4"/
    // "PSDDP3"/"PSDDP4" for RGB, "PSD1" for 8-bit grayscale, "PSD" otherwise;
    // with a layer path in the context, CELIO_STATE_OK only when some record's
    // own name equals it (blanks as "_").
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    // The document layer (document size, null name) and the tree of layers and groups.
    CELIO_State readLayerInfo(const QString& path, CELIO_LayerInfo& layers) const override;
    // The pixels of every layer of `layers` (as readLayerInfo filled it from
    // this file: layers are found by recordIndex) into its representation, in
    // one pass over the file: a CEL_PixmapAreaRGBA16 as read() gives it, with
    // the layer's opacity in alpha when applyOpacity, else without (for
    // writing back with keepLayerProperties). CELIO_STATE_FAILED when the
    // file cannot be read through its layers; the layers read until then keep
    // their pixels.
    CELIO_State readLayerImages(const QString& path, CELIO_LayerInfo& layers, bool applyOpacity) const;
    UT_DynKey formatClass() const override;
    bool canWriteMultiLayer() const override; // true

    // The read path of every layer record in file order (index = record
    // index - 1), "!" for folders and end markers. A file without layers gives
    // an empty list. CELIO_STATE_FAILED when the file cannot be read through
    // its records.
    CELIO_State readLayerPaths(const QString& path, std::vector<QString>& byRecord) const;

    // The visible layers composited in file order into a new document-size,
    // premultiplied pixmap (the caller owns it), or null on failure; a file
    // without layers gives its composite image. Layers are decoded as read()
    // does (opacity in alpha) and premultiplied. By blend key:
    //   norm -> the premultiplied over;
    //   mul scrn dark lite idiv div lbrn lddg over sLit hLit smud fsub fdiv
    //   hue sat colr lum -> the blend function FN_* of the same effect
    //   (alpha operation NONE);
    //   diff -> DIFFERENCE; vLit lLit pLit -> VIVIDLIGHT, LINEARLIGHT,
    //   PINLIGHT (with the over of alpha; after the first two, colour is
    //   clamped to 0 .. alpha, since those modes may leave it outside);
    //   diss dkCl lgCl hMix and unknown keys -> the over, and a warning
    //   naming the layer and the key is appended to *warnings.
    // Hidden layers and groups are skipped. A group with a key of its own is
    // drawn on a transparent buffer that then lands by that key and the
    // group's opacity; a "pass" group draws into a copy of its backdrop, which
    // is then mixed with the backdrop once by the group's opacity. A refused
    // colour mode throws as read() does.
    CEL_PixmapAreaRGBA16* flattenLayers(const QString& path, QStringList* warnings) const;
    // The same for a tree in memory, on a canvas of the document layer's
    // width and height: each layer's representation holds straight colour
    // without its opacity (as readLayerImages(path, info, false) gives it, or
    // as writeWithLayers expects it with keepLayerProperties); the layer's
    // opacity and blend code, and the groups' visibility, codes and opacity
    // apply as a file's records would. Layers and groups are drawn in the
    // order keepLayerProperties writes them. A code outside the key table is
    // drawn as normal, with a warning. Null when a buffer cannot be had.
    static CEL_PixmapAreaRGBA16* flattenLayers(const CELIO_LayerInfo& layers, QStringList* warnings);

    static QString tr(const char* text, const char* disambiguation = nullptr, int n = -1) {
        return QCoreApplication::translate("qxcelio", text, disambiguation, n);
    }

private:
    // Where the file walk leaves a read: the header, whether the stream
    // stands at a layer count, and where the composite image starts.
    struct Walk {
        Header header;
        bool hasLayers = false;
        int64_t remaining = 0;       // of the layer section, when hasLayers
        uint64_t compositeStart = 0; // offset of the composite's compression field
    };
    // After the header: skips the colour mode data (a length of 768 skips
    // 3072 bytes) and the image resources, then seekLayersSectionToLayerInfo.
    static void walkToLayers(ibuf& in, Walk& walk);
    // The composite image after a walk; null on a failure.
    static CEL_Pixmap* readComposite(ibuf& in, const Walk& walk);
    // Notifies the message facility and throws the refusal of a colour mode
    // read() does not accept; returns when the mode is accepted.
    static void refuseUnsupportedMode(uint16_t mode);

    // Reads the 26 header bytes.
    static void readHeader(ibuf& in, Header& header);
    // Positions the stream at the layer count of the layer information;
    // false when the file has none. sectionLength and layerInfoLength receive
    // what is left of the section and the layer information's length.
    static bool seekLayersSectionToLayerInfo(ibuf& in, uint16_t version, int64_t& sectionLength,
                                             int64_t& layerInfoLength);
    // Channel data after its compression field. selector: 65535 (or -1) all
    // channels into a new pixmap; 0..3 one channel into `pixmap` (created
    // when null). Return the pixmap filled, or null after a failure (a pixmap
    // created here is then deleted).
    static CEL_Pixmap* readCompressed(ibuf& in, uint16_t version, uint64_t dataLength, uint16_t compression,
                                      bool deep, int channels, int width, int height, Mode mode,
                                      CEL_Pixmap* pixmap, int selector);
    static CEL_Pixmap* readUncompressed(ibuf& in, bool deep, int channels, int width, int height, Mode mode,
                                        CEL_Pixmap* pixmap, int selector);
    // Five lines about the header on standard output.
    static void dumpHdr(const Header& header);

    // The layer section (the stream at the layer count).
    static void readLayerInfo(ibuf& in, uint16_t version, int64_t& remaining, std::vector<Layer>& layers);
    static void readLayerInfo(ibuf& in, uint16_t version, int64_t& remaining, CELIO_LayerInfo& info);
    static void loadLayersInGroup(uint16_t version, int count, int& index, ibuf& in, CELIO_LayerGroup& group,
                                  int depth = 0);
    // Read paths and occurrences of the records.
    static void adjustLayerInfo(std::vector<Layer>& layers);
    // Group paths and occurrences of the tree.
    static void adjustLayerInfo(CELIO_LayerGroup& group, QStringList& path);
    static QString getLayerName(const QString& name, int occurrence);
    static int getLayerNameCount(const QString& name, const std::vector<const Layer*>& siblings);
    static int getLayerNameIndex(const QString& name, const std::vector<const CELIO_Layer*>& earlier);
    static int getGroupNameIndex(const QString& name, const std::vector<const CELIO_LayerGroup*>& earlier);

    // One layer record. stopAtForeignBlock: a block whose signature is not
    // "8BIM" ends the scan of the extra data (the tree builder's rule).
    static void readLayerRecord(ibuf& in, uint16_t version, int64_t& remaining, Layer& layer,
                                bool stopAtForeignBlock);
    // The layer whose read path is `layerPath` (blanks as "_"), from the
    // stream at the layer count; null when none matches or on a failure.
    static CEL_PixmapAreaRGBA16* readNamedLayer(ibuf& in, const Walk& walk, const QString& layerPath);
    // The pixels of one layer, the stream at its first channel's data; leaves
    // the stream after its last channel. Throws the end-of-data signal.
    // premultiplied: colour times alpha (rounded half up), allPositive set.
    static CEL_PixmapAreaRGBA16* readLayerPixels(ibuf& in, const Header& header, const Layer& layer,
                                                 bool premultiplied = false);
};

// Reads exactly as CELIO_PsdHandler; writes nothing.
class CELCORE_EXPORT CELIO_PsbHandler final : public CELIO_PsdHandler {
public:
    QStringList getExtensions() const override;       // "PSB"
    QStringList getWriteExtensions() const override;  // none
    QStringList getWriteOptionCodes() const override; // none
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override; // empty
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    bool writeWithLayers(CELIO_LayerInfo& layers, const QString& path, const QString& code) const override;
    bool canWriteMultiLayer() const override; // false
};
