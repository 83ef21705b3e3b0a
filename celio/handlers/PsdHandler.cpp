#include "celio/handlers/PsdHandler.h"

#include <QHash>
#include <cstdio>
#include <limits>
#include <new>

#include "base/Message.h"
#include "cel/Context.h"
#include "celio/ByteIO.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

using namespace psd_detail;

namespace {

constexpr int kRefusedModeCode = 11;
constexpr char kRefusedMode[] = QT_TRANSLATE_NOOP(
    "qxcelio", "Unsupported PSD mode, supported modes are RGB, Grayscale, Bitmap and Multichannel.");

// The keys of the blend-mode codes 0..27, in code order.
constexpr uint32_t kBlendKeys[] = {
    CELIO_PsdHandler::fourCC("pass"), CELIO_PsdHandler::fourCC("norm"), CELIO_PsdHandler::fourCC("diss"),
    CELIO_PsdHandler::fourCC("dark"), CELIO_PsdHandler::fourCC("mul "), CELIO_PsdHandler::fourCC("idiv"),
    CELIO_PsdHandler::fourCC("lbrn"), CELIO_PsdHandler::fourCC("dkCl"), CELIO_PsdHandler::fourCC("lite"),
    CELIO_PsdHandler::fourCC("scrn"), CELIO_PsdHandler::fourCC("div "), CELIO_PsdHandler::fourCC("lddg"),
    CELIO_PsdHandler::fourCC("lgCl"), CELIO_PsdHandler::fourCC("over"), CELIO_PsdHandler::fourCC("sLit"),
    CELIO_PsdHandler::fourCC("hLit"), CELIO_PsdHandler::fourCC("vLit"), CELIO_PsdHandler::fourCC("lLit"),
    CELIO_PsdHandler::fourCC("pLit"), CELIO_PsdHandler::fourCC("hMix"), CELIO_PsdHandler::fourCC("diff"),
    CELIO_PsdHandler::fourCC("smud"), CELIO_PsdHandler::fourCC("fsub"), CELIO_PsdHandler::fourCC("fdiv"),
    CELIO_PsdHandler::fourCC("hue "), CELIO_PsdHandler::fourCC("sat "), CELIO_PsdHandler::fourCC("colr"),
    CELIO_PsdHandler::fourCC("lum "),
};
constexpr int kBlendKeyCount = int(sizeof kBlendKeys / sizeof kBlendKeys[0]);

bool readModeAccepted(uint16_t mode) {
    return mode <= 7 && ((0x8Bu >> mode) & 1u) != 0;
}

// Runs a read; bad or missing data (the end-of-data signal) and allocation
// failures give false. A refused mode's QString is left to the caller.
template <class F> bool guarded(F&& f) {
    try {
        return f();
    } catch (int) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

} // namespace

// ------------------------------------------------------------ slot table

QStringList CELIO_PsdHandler::getExtensions() const {
    return {QStringLiteral("PSD"), QStringLiteral("PSB")};
}

UT_DynKey CELIO_PsdHandler::formatClass() const {
    return CELIO_PixmapFormat;
}

QStringList CELIO_PsbHandler::getExtensions() const {
    return {QStringLiteral("PSB")};
}

QStringList CELIO_PsbHandler::getWriteExtensions() const {
    return {};
}

QStringList CELIO_PsbHandler::getWriteOptionCodes() const {
    return {};
}

void CELIO_PsbHandler::getWriteOptions(CELIO_WriteOptions&) const {}

QString CELIO_PsbHandler::getWriteOptionsCode(const CELIO_WriteOptions&) const {
    return {};
}

bool CELIO_PsbHandler::write(CEL_Cel*, const QString&, const QString&) const {
    return false;
}

bool CELIO_PsbHandler::writeWithLayers(CELIO_LayerInfo&, const QString&, const QString&) const {
    return false;
}

bool CELIO_PsbHandler::canWriteMultiLayer() const {
    return false;
}

// ------------------------------------------------------------ blend keys

int CELIO_PsdHandler::blendModeCode(uint32_t key) {
    static const QHash<uint32_t, int> table = [] {
        QHash<uint32_t, int> t;
        for (int code = 0; code < kBlendKeyCount; ++code) t.insert(kBlendKeys[code], code);
        return t;
    }();
    return table.value(key, -1);
}

uint32_t CELIO_PsdHandler::blendKeyOfCode(int code) {
    return code >= 0 && code < kBlendKeyCount ? kBlendKeys[code] : 0;
}

// ------------------------------------------------------------ file walk

void CELIO_PsdHandler::readHeader(ibuf& in, Header& h) {
    h.signature = in.getU32BE();
    h.version = in.getU16BE();
    in.skip(6);
    h.channels = in.getU16BE();
    h.rows = in.getU32BE();
    h.columns = in.getU32BE();
    h.depth = in.getU16BE();
    h.mode = in.getU16BE();
}

void CELIO_PsdHandler::dumpHdr(const Header& h) {
    std::printf("channels:\t%u\nrows:    \t%u\ncolumns: \t%u\ndepth:   \t%u\nmode:    \t%u\n",
                unsigned(h.channels), unsigned(h.rows), unsigned(h.columns), unsigned(h.depth),
                unsigned(h.mode));
    std::fflush(stdout);
}

bool CELIO_PsdHandler::seekLayersSectionToLayerInfo(ibuf& in, uint16_t version, int64_t& sectionLength,
                                                    int64_t& layerInfoLength) {
    const bool psb = version == 2;
    const auto length = [&] {
        return psb ? int64_t(in.getU64BE() & 0x7fffffffffffffffull) : int64_t(in.getU32BE());
    };
    int64_t l = length();
    sectionLength = l;
    layerInfoLength = 0;
    if (l == 0) return false;
    int64_t info = length();
    l -= psb ? 8 : 4;
    sectionLength = l;
    if (info != 0) {
        layerInfoLength = info;
        return true;
    }
    // 16-bit documents keep their layers in an additional block.
    const int64_t globalMask = in.getU32BE();
    in.skip(globalMask);
    l -= 4 + globalMask;
    sectionLength = l;
    if (l == 0) return false;
    while (l > 0) {
        in.getU32BE(); // signature
        const uint32_t key = in.getU32BE();
        l -= 8;
        const int64_t n = length();
        l -= psb ? 8 : 4;
        sectionLength = l;
        if (key == fourCC("Lr16")) {
            layerInfoLength = n;
            return true;
        }
        in.skip(n);
        l -= n;
        sectionLength = l;
    }
    return false;
}

void CELIO_PsdHandler::walkToLayers(ibuf& in, Walk& w) {
    const uint32_t colourData = in.getU32BE();
    in.skip(colourData == 768 ? 3072 : int64_t(colourData));
    in.skip(int64_t(in.getU32BE()));
    const uint64_t section = in.tell();
    const bool psb = w.header.version == 2;
    const uint64_t sectionLength = psb ? (in.getU64BE() & 0x7fffffffffffffffull) : in.getU32BE();
    // The composite follows the section whatever its blocks claim.
    w.compositeStart = section + (psb ? 8 : 4) + sectionLength;
    in.seek(int64_t(section));
    int64_t infoLength = 0;
    w.hasLayers = seekLayersSectionToLayerInfo(in, w.header.version, w.remaining, infoLength);
}

// ------------------------------------------------------------ decoders

CEL_Pixmap* CELIO_PsdHandler::readCompressed(ibuf& in, uint16_t version, uint64_t dataLength,
                                             uint16_t compression, bool deep, int channels, int width,
                                             int height, Mode mode, CEL_Pixmap* pixmap, int selector) {
    const bool all = selector == 65535 || selector == -1;
    const Layout layout = layoutFor(deep, channels, mode);
    if (!fitsPixmap(width, height, layout.bytesPerPixel())) return nullptr;
    try {
        Planes planes;
        const int count = all ? layout.planes : 1;
        if (compression == 1)
            gatherRunLength(in, version == 2, dataLength, layout, width, height, all ? channels : 1, count,
                            all ? 0 : selector, planes);
        else if (compression == 2 || compression == 3)
            gatherDeflate(in, dataLength, compression, layout, width, height, count, all ? 0 : selector,
                          planes);
        else
            return nullptr;
        inflateAll(planes, layout, width, height);
        return assemble(layout, width, height, planes, pixmap, in);
    } catch (int) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

CEL_Pixmap* CELIO_PsdHandler::readUncompressed(ibuf& in, bool deep, int channels, int width, int height,
                                               Mode mode, CEL_Pixmap* pixmap, int selector) {
    const bool all = selector == 65535 || selector == -1;
    const Layout layout = layoutFor(deep, channels, mode);
    if (!fitsPixmap(width, height, layout.bytesPerPixel())) return nullptr;
    try {
        Planes planes;
        gatherRaw(in, layout, width, height, all ? layout.planes : 1, all ? 0 : selector, planes);
        return assemble(layout, width, height, planes, pixmap, in);
    } catch (int) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// ------------------------------------------------------------ read

void CELIO_PsdHandler::refuseUnsupportedMode(uint16_t mode) {
    if (readModeAccepted(mode)) return;
    const QString text = tr(kRefusedMode);
    QXMessage::instance().notify(kRefusedModeCode, text);
    throw text;
}

CEL_Pixmap* CELIO_PsdHandler::readComposite(ibuf& in, const Walk& w) {
    const Header& h = w.header;
    if (h.rows > uint32_t(std::numeric_limits<int>::max()) ||
        h.columns > uint32_t(std::numeric_limits<int>::max()))
        return nullptr;
    in.seek(int64_t(w.compositeStart));
    const uint16_t compression = in.getU16BE();
    const bool deep = h.depth == 16;
    if (compression == 0)
        return readUncompressed(in, deep, h.channels, int(h.columns), int(h.rows), Mode(h.mode), nullptr,
                                65535);
    const uint64_t here = in.tell(), size = in.size();
    return readCompressed(in, h.version, size > here ? size - here : 0, compression, deep, h.channels,
                          int(h.columns), int(h.rows), Mode(h.mode), nullptr, -1);
}

bool CELIO_PsdHandler::read(const QString& path, const CEL_Context& context,
                            CELIO_RepresentationList& list) const {
    ibuf in(path);
    if (!in.isOpen()) return false;
    Walk w;
    if (!guarded([&] {
            readHeader(in, w.header);
            return true;
        }))
        return false;
    refuseUnsupportedMode(w.header.mode);
    return guarded([&] {
        walkToLayers(in, w);
        CEL_Representation* rep;
        if (w.hasLayers && !context.layerPath().isEmpty())
            rep = readNamedLayer(in, w, context.layerPath());
        else
            rep = readComposite(in, w);
        if (!rep) return false;
        list.push_back(UT_SharedPtr<CEL_Representation>(rep));
        return true;
    });
}

// ------------------------------------------------------------ header queries

CELIO_State CELIO_PsdHandler::readInfo(const QString& path, const CEL_Context& context,
                                       CELIO_Info& info) const {
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    const bool ok = guarded([&] {
        Header h;
        readHeader(in, h);
        if (h.mode != Grayscale && h.mode != RGB && h.mode != Multichannel) return false;
        info.width = h.columns;
        info.height = h.rows;
        info.channels = h.channels;
        info.bytesPerChannel = h.depth / 8;
        info.optionCode = QStringLiteral("PSD");
        if (h.mode == RGB) {
            if (h.depth == 8 || h.depth == 16) {
                const QString prefix = h.depth == 16 ? QStringLiteral("PSDDP") : QStringLiteral("PSD");
                if (h.channels == 3) info.optionCode = prefix + QLatin1Char('3');
                if (h.channels >= 4) info.optionCode = prefix + QLatin1Char('4');
                if (h.channels > 4) info.description = QStringLiteral("PSD: ingnoring extra channels");
            } else {
                info.description = QStringLiteral("PSD: unsupported rgb depth");
            }
        } else if (h.mode == Grayscale) {
            if (h.depth == 8)
                info.optionCode = QStringLiteral("PSD1");
            else
                info.description = QStringLiteral("PSD: unsupported grayscale depth");
        } else {
            info.description = QStringLiteral("PSD: unssuported file type (not rgb or grayscale)");
        }
        if (context.layerPath().isEmpty()) return true;
        Walk w;
        w.header = h;
        walkToLayers(in, w);
        if (!w.hasLayers) return false;
        std::vector<Layer> layers;
        readLayerInfo(in, h.version, w.remaining, layers);
        QString wanted = context.layerPath();
        wanted.replace(QLatin1Char(' '), QLatin1Char('_'));
        for (const Layer& l : layers)
            if (l.name == wanted) return true;
        return false;
    });
    return ok ? CELIO_STATE_OK : CELIO_STATE_FAILED;
}

CELIO_State CELIO_PsdHandler::readLayerInfo(const QString& path, CELIO_LayerInfo& layers) const {
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    guarded([&] {
        Walk w;
        readHeader(in, w.header);
        CELIO_Layer document;
        document.width = int(std::min<uint32_t>(w.header.columns, uint32_t(std::numeric_limits<int>::max())));
        document.height = int(std::min<uint32_t>(w.header.rows, uint32_t(std::numeric_limits<int>::max())));
        layers.getComposite() = document;
        walkToLayers(in, w);
        if (w.hasLayers) readLayerInfo(in, w.header.version, w.remaining, layers);
        return true;
    });
    return CELIO_STATE_OK;
}

CELIO_State CELIO_PsdHandler::readLayerPaths(const QString& path, std::vector<QString>& byRecord) const {
    byRecord.clear();
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    std::vector<Layer> layers;
    const bool ok = guarded([&] {
        Walk w;
        readHeader(in, w.header);
        walkToLayers(in, w);
        if (w.hasLayers) readLayerInfo(in, w.header.version, w.remaining, layers);
        return true;
    });
    if (!ok) return CELIO_STATE_FAILED;
    adjustLayerInfo(layers);
    for (const Layer& l : layers) byRecord.push_back(l.path);
    return CELIO_STATE_OK;
}
