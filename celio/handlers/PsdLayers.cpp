// The layer section of the PSD reader: layer records, the group structure of
// the section-divider blocks, both namings of same-named siblings, the tree of
// CELIO_LayerInfo and the pixels of one layer.
#include <algorithm>
#include <limits>
#include <memory>
#include <new>

#include "celio/ByteIO.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdDetail.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

using namespace psd_detail;

namespace {

constexpr uint32_t k8BIM = CELIO_PsdHandler::fourCC("8BIM");
constexpr uint32_t kSectionDivider = CELIO_PsdHandler::fourCC("lsct");
// Rectangle, channel count, blend signature and key, four flag bytes, extra length.
constexpr uint64_t kSmallestRecord = 16 + 2 + 8 + 4 + 4;

uint64_t bytesLeft(ibuf& in) {
    const uint64_t size = in.size(), here = in.tell();
    return size > here ? size - here : 0;
}

// Letters and digits stay; every other character becomes "_".
QString cleanName(const QByteArray& utf8) {
    QString out;
    for (const char32_t c : QString::fromUtf8(utf8).toUcs4()) {
        if (QChar::isLetter(c) || QChar::isDigit(c))
            out += QString::fromUcs4(&c, 1);
        else
            out += QLatin1Char('_');
    }
    return out;
}

QString blanksAsUnderscores(QString s) {
    return s.replace(QLatin1Char(' '), QLatin1Char('_'));
}

int checkedSize(int64_t v) {
    if (v < 0 || v > std::numeric_limits<int>::max()) badData();
    return int(v);
}

} // namespace

// ------------------------------------------------------------ records

void CELIO_PsdHandler::readLayerRecord(ibuf& in, uint16_t version, int64_t& remaining, Layer& layer,
                                       bool stopAtForeignBlock) {
    const bool psb = version == 2;
    layer.top = int32_t(in.getU32BE());
    layer.left = int32_t(in.getU32BE());
    layer.bottom = int32_t(in.getU32BE());
    layer.right = int32_t(in.getU32BE());
    const unsigned channels = in.getU16BE();
    remaining -= 18;
    if (uint64_t(channels) * (psb ? 10 : 6) > bytesLeft(in)) badData();
    layer.channels.resize(channels);
    for (ChannelInfo& c : layer.channels) {
        int16_t id = int16_t(in.getU16BE());
        c.length = psb ? in.getU64BE() : in.getU32BE();
        remaining -= psb ? 10 : 6;
        if (id == -1)
            id = 3; // transparency
        else if (id > 2)
            id = -1; // a channel of no use here
        c.id = id;
    }
    layer.blendSignature = in.getU32BE();
    layer.blendKey = in.getU32BE();
    layer.opacity = in.getByte();
    layer.clipping = in.getByte();
    layer.flags = in.getByte();
    in.skip(1);
    const int64_t extra = in.getU32BE();
    remaining -= 16;
    if (extra == 0) return;
    const int64_t mask = in.getU32BE();
    in.skip(mask);
    const int64_t ranges = in.getU32BE();
    in.skip(ranges);
    const int nameLength = in.getByte();
    QByteArray utf8(nameLength, Qt::Uninitialized);
    in.read(utf8.data(), size_t(nameLength));
    layer.name = cleanName(utf8);
    const int padding = (4 - (nameLength + 1) % 4) % 4;
    in.skip(padding);
    int64_t rest = extra - (4 + mask) - (4 + ranges) - (nameLength + 1) - padding;
    remaining -= 4 + mask + 4 + ranges + nameLength + 1 + padding;
    if (rest < 0) badData();
    while (rest > 12) {
        const uint32_t signature = in.getU32BE();
        const uint32_t key = in.getU32BE();
        const int64_t n = in.getU32BE();
        rest -= 12;
        if (stopAtForeignBlock && signature != k8BIM) break;
        if (key == kSectionDivider) {
            const uint32_t type = in.getU32BE();
            rest -= 4;
            layer.groupStart = type == 1 || type == 2;
            layer.groupEnd = type == 3;
            if (n >= 12) {
                in.getU32BE(); // signature
                layer.blendKey = in.getU32BE();
                rest -= 8;
            }
            break;
        }
        in.skip(n);
        rest -= n;
    }
    if (rest < 0) badData(); // a block reached past its record
    in.skip(rest);
    remaining -= extra - (4 + mask) - (4 + ranges) - (nameLength + 1) - padding;
}

void CELIO_PsdHandler::readLayerInfo(ibuf& in, uint16_t version, int64_t& remaining,
                                     std::vector<Layer>& layers) {
    int count = int16_t(in.getU16BE());
    remaining -= 2;
    count = std::abs(count); // negative: the composite's first alpha channel is the transparency
    if (count <= 0) return;
    layers.reserve(size_t(std::min<uint64_t>(uint64_t(count), bytesLeft(in) / kSmallestRecord)));
    for (int i = 0; i < count; ++i) {
        layers.emplace_back();
        readLayerRecord(in, version, remaining, layers.back(), false);
    }
}

void CELIO_PsdHandler::readLayerInfo(ibuf& in, uint16_t version, int64_t& remaining, CELIO_LayerInfo& info) {
    int count = std::abs(int(int16_t(in.getU16BE())));
    remaining -= 2;
    if (count > 0) {
        int index = 1;
        try {
            loadLayersInGroup(version, count, index, in, info.getBaseGroup());
        } catch (int) {
            // The data ended early: the tree keeps what was read.
        }
    }
    QStringList path;
    adjustLayerInfo(info.getBaseGroup(), path);
    info.update();
}

void CELIO_PsdHandler::loadLayersInGroup(uint16_t version, int count, int& index, ibuf& in,
                                         CELIO_LayerGroup& group, int depth) {
    if (depth > kMaxGroupDepth) badData();
    int64_t remaining = 0;
    while (index <= count) {
        Layer record;
        readLayerRecord(in, version, remaining, record, true);
        if (record.groupStart) {
            // The folder record follows its children: it closes this group.
            group.visible = !record.hidden();
            group.name = record.name;
            group.blendMode = blendModeCode(record.blendKey);
            group.opacity = float(record.opacity) / 255.0f;
            return;
        }
        if (record.groupEnd) {
            group.groups.emplace_back(index); // a group's id: the record index of its end marker
            ++index;
            loadLayersInGroup(version, count, index, in, group.groups.back(), depth + 1);
            ++index; // the folder record
            continue;
        }
        CELIO_Layer layer;
        layer.visible = !record.hidden();
        layer.width = checkedSize(record.width());
        layer.height = checkedSize(record.height());
        layer.name = record.name;
        layer.recordIndex = index;
        layer.opacity = float(record.opacity) / 255.0f;
        layer.blendMode = blendModeCode(record.blendKey);
        group.layers.push_back(layer);
        ++index;
    }
}

// ------------------------------------------------------------ record order

namespace psd_detail {

namespace {

// The smallest record index of the layers in a group and its sub-groups; 0 when none has one.
int firstIndex(const CELIO_LayerGroup& g) {
    int first = 0;
    for (const CELIO_Layer& l : g.layers)
        if (l.recordIndex > 0 && (first == 0 || l.recordIndex < first)) first = l.recordIndex;
    for (const CELIO_LayerGroup& s : g.groups) {
        const int f = s.id > 0 ? s.id : firstIndex(s);
        if (f > 0 && (first == 0 || f < first)) first = f;
    }
    return first;
}

} // namespace

std::vector<LayerItem> orderedItems(const CELIO_LayerGroup& group) {
    std::vector<std::pair<int, LayerItem>> keyed;
    for (const CELIO_Layer& l : group.layers) keyed.push_back({l.recordIndex, LayerItem{&l, nullptr}});
    int previous = 0;
    for (const CELIO_LayerGroup& g : group.groups) {
        int key = g.id > 0 ? g.id : firstIndex(g);
        if (key <= 0) key = previous;
        previous = key;
        keyed.push_back({key, LayerItem{nullptr, &g}});
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LayerItem> items;
    for (const auto& k : keyed) items.push_back(k.second);
    return items;
}

} // namespace psd_detail

// ------------------------------------------------------------ names

QString CELIO_PsdHandler::getLayerName(const QString& name, int occurrence) {
    return occurrence < 2 ? name : name + QStringLiteral("#%1").arg(occurrence);
}

int CELIO_PsdHandler::getLayerNameCount(const QString& name, const std::vector<const Layer*>& siblings) {
    return int(
        std::count_if(siblings.begin(), siblings.end(), [&](const Layer* l) { return l->name == name; }));
}

int CELIO_PsdHandler::getLayerNameIndex(const QString& name, const std::vector<const CELIO_Layer*>& earlier) {
    return int(
        std::count_if(earlier.begin(), earlier.end(), [&](const CELIO_Layer* l) { return l->name == name; }));
}

int CELIO_PsdHandler::getGroupNameIndex(const QString& name,
                                        const std::vector<const CELIO_LayerGroup*>& earlier) {
    return int(std::count_if(earlier.begin(), earlier.end(),
                             [&](const CELIO_LayerGroup* g) { return g->name == name; }));
}

void CELIO_PsdHandler::adjustLayerInfo(std::vector<Layer>& layers) {
    // Top of the stack first: the upper of two same-named siblings keeps the bare name.
    QStringList names;                                // display names of the open folders
    std::vector<std::vector<const Layer*>> levels(1); // records seen per open level
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        Layer& l = *it;
        if (l.groupStart) {
            levels.back().push_back(&l);
            l.occurrence = getLayerNameCount(l.name, levels.back());
            names.push_back(getLayerName(l.name, l.occurrence));
            levels.emplace_back();
            l.path = QStringLiteral("!");
        } else if (l.groupEnd) {
            if (!names.isEmpty()) names.pop_back();
            if (levels.size() > 1) levels.pop_back();
            l.path = QStringLiteral("!");
        } else {
            levels.back().push_back(&l);
            l.occurrence = getLayerNameCount(l.name, levels.back());
            const QString own = getLayerName(l.name, l.occurrence);
            l.path = names.isEmpty() ? own : names.join(QLatin1Char(':')) + QLatin1Char(':') + own;
        }
    }
}

void CELIO_PsdHandler::adjustLayerInfo(CELIO_LayerGroup& group, QStringList& path) {
    std::vector<const CELIO_LayerGroup*> groups;
    for (CELIO_LayerGroup& g : group.groups) {
        g.occurrence = 1 + getGroupNameIndex(g.name, groups);
        groups.push_back(&g);
        path.push_back(getLayerName(g.name, g.occurrence));
        adjustLayerInfo(g, path);
        path.pop_back();
    }
    std::vector<const CELIO_Layer*> layers;
    for (CELIO_Layer& l : group.layers) {
        l.groupPath = path;
        l.occurrence = 1 + getLayerNameIndex(l.name, layers);
        layers.push_back(&l);
    }
}

// ------------------------------------------------------------ one layer

CEL_PixmapAreaRGBA16* CELIO_PsdHandler::readNamedLayer(ibuf& in, const Walk& walk, const QString& layerPath) {
    std::vector<Layer> layers;
    int64_t remaining = walk.remaining;
    readLayerInfo(in, walk.header.version, remaining, layers);
    adjustLayerInfo(layers);
    const QString wanted = blanksAsUnderscores(layerPath);
    uint64_t before = 0;
    for (const Layer& l : layers) {
        if (!l.groupStart && !l.groupEnd && blanksAsUnderscores(l.path) == wanted) {
            if (before > bytesLeft(in)) badData();
            in.skip(int64_t(before));
            return readLayerPixels(in, walk.header, l);
        }
        for (const ChannelInfo& c : l.channels) {
            if (c.length > bytesLeft(in) || before + c.length < before) badData();
            before += c.length;
        }
    }
    return nullptr;
}

CEL_PixmapAreaRGBA16* CELIO_PsdHandler::readLayerPixels(ibuf& in, const Header& header, const Layer& layer,
                                                        bool premultiplied) {
    const int width = checkedSize(layer.width()), height = checkedSize(layer.height());
    if (!fitsPixmap(width, height, 8)) badData();
    const bool deep = header.depth == 16;
    // The layer's image channels decide its layout: a user mask or a channel
    // of no use is not part of the picture.
    const int imageChannels = int(std::count_if(layer.channels.begin(), layer.channels.end(),
                                                [](const ChannelInfo& c) { return c.id >= 0 && c.id <= 3; }));
    Layout layout = layoutFor(deep, imageChannels, Mode(header.mode));
    // Colour layers come out 16-bit with their opacity applied in the same pass.
    if (layout.kind == Layout::RGBA8) {
        layout.kind = Layout::RGBA16;
        layout.widen = true;
    }
    if (!layout.matte()) {
        layout.opacity = layer.opacity;
        layout.premultiply = premultiplied;
    }
    const bool empty = width == 0 || height == 0;
    Planes planes;
    uint64_t pos = in.tell();
    for (const ChannelInfo& c : layer.channels) {
        const uint64_t next = pos + c.length;
        if (next < pos) badData();
        if (c.id >= 0 && c.id <= 3 && !empty) {
            if (c.length < 2) badData();
            in.seek(int64_t(pos));
            const uint16_t compression = in.getU16BE();
            const uint64_t dataLength = c.length - 2;
            if (dataLength > bytesLeft(in)) badData();
            if (compression == 0) {
                if (dataLength < layout.rowBytes(width) * uint64_t(height)) badData();
                gatherRaw(in, layout, width, height, 1, c.id, planes);
            } else if (compression == 1) {
                gatherRunLength(in, header.version == 2, dataLength, layout, width, height, 1, 1, c.id,
                                planes);
            } else if (compression == 2 || compression == 3) {
                gatherDeflate(in, dataLength, compression, layout, width, height, 1, c.id, planes);
            } else {
                badData();
            }
        }
        pos = next;
    }
    const int64_t end = int64_t(std::min<uint64_t>(pos, uint64_t(std::numeric_limits<int64_t>::max())));
    in.seek(end);

    const Math::Size2di canvas(
        int(std::min<uint32_t>(header.columns, uint32_t(std::numeric_limits<int>::max()))),
        int(std::min<uint32_t>(header.rows, uint32_t(std::numeric_limits<int>::max()))));
    auto area =
        std::make_unique<CEL_PixmapAreaRGBA16>(canvas, Math::Box2di(0, 0, canvas.width, canvas.height));
    if (empty) return area.release();

    inflateAll(planes, layout, width, height);
    CEL_Pixmap* decoded = assemble(layout, width, height, planes, nullptr, in);
    in.seek(end);
    if (!decoded) return nullptr;
    std::unique_ptr<CEL_PixmapAreaRGBA16> result(toDocumentArea(
        std::unique_ptr<CEL_Pixmap>(decoded), layout.matte() ? layer.opacity : 255, std::move(area),
        Math::Box2di::fromCorners(layer.left, layer.top, layer.right, layer.bottom)));
    if (result && premultiplied) {
        if (layout.matte()) result->multiplyColorByAlpha();
        result->setAllPositive(true);
    }
    return result.release();
}

// ------------------------------------------------------------ every layer

CELIO_State CELIO_PsdHandler::readLayerImages(const QString& path, CELIO_LayerInfo& info,
                                              bool applyOpacity) const {
    std::vector<CELIO_Layer*> byIndex; // the tree's layers by record index
    for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) {
        const int index = it->recordIndex;
        if (index <= 0 || index > 65536) continue;
        if (byIndex.size() <= size_t(index)) byIndex.resize(size_t(index) + 1, nullptr);
        byIndex[size_t(index)] = &*it;
    }
    ibuf in(path);
    if (!in.isOpen()) return CELIO_STATE_FAILED;
    try {
        Walk w;
        readHeader(in, w.header);
        walkToLayers(in, w);
        if (!w.hasLayers) return CELIO_STATE_OK;
        std::vector<Layer> records;
        int64_t remaining = w.remaining;
        readLayerInfo(in, w.header.version, remaining, records);
        uint64_t pos = in.tell();
        for (size_t i = 0; i < records.size(); ++i) {
            Layer record = records[i];
            uint64_t next = pos;
            for (const ChannelInfo& c : record.channels) {
                if (next + c.length < next) badData();
                next += c.length;
            }
            CELIO_Layer* layer = i + 1 < byIndex.size() ? byIndex[i + 1] : nullptr;
            if (layer && !record.groupStart && !record.groupEnd) {
                if (!applyOpacity) record.opacity = 255;
                in.seek(int64_t(pos));
                CEL_PixmapAreaRGBA16* pixels = readLayerPixels(in, w.header, record);
                if (!pixels) return CELIO_STATE_FAILED;
                layer->representation = UT_SharedPtr<CEL_Representation>(pixels);
            }
            pos = next;
        }
        return CELIO_STATE_OK;
    } catch (int) {
        return CELIO_STATE_FAILED;
    } catch (const std::bad_alloc&) {
        return CELIO_STATE_FAILED;
    }
}
