// Flattening the layers of a PSD or PSB document: one pass over the records
// in file order (bottom of the stack first), holding one decoded layer and one
// buffer per open group.
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "algo/composite/Composite.h"
#include "algo/composite/CompositeDetail.h"
#include "celio/ByteIO.h"
#include "celio/LayerInfo.h"
#include "celio/handlers/PsdDetail.h"
#include "pixel/PixmapArea.h"

using namespace psd_detail;

namespace {

using CelAlgo::GenericCompositeOp;
using Handler = CELIO_PsdHandler;

// How a blend key is drawn.
struct Drawing {
    GenericCompositeOp colour;
    GenericCompositeOp alpha;
    bool supported;
};

Drawing drawingOf(uint32_t key) {
    using namespace CelAlgo;
    constexpr Drawing over{ADD_APPLY_SRC_ALPHA_INV, ADD_APPLY_SRC_ALPHA_INV, true};
    switch (Handler::blendModeCode(key)) {
    case 1: // norm
        return over;
    case 3: // dark
        return {FN_DARKEN, NONE, true};
    case 4: // mul
        return {FN_MULTIPLY, NONE, true};
    case 5: // idiv: colour burn
        return {FN_COLOR_BURN, NONE, true};
    case 6: // lbrn
        return {FN_LINEAR_BURN, NONE, true};
    case 8: // lite
        return {FN_LIGHTEN, NONE, true};
    case 9: // scrn
        return {FN_SCREEN, NONE, true};
    case 10: // div: colour dodge
        return {FN_COLOR_DODGE, NONE, true};
    case 11: // lddg
        return {FN_LINEAR_DODGE, NONE, true};
    case 13: // over: overlay
        return {FN_OVERLAY, NONE, true};
    case 14: // sLit
        return {FN_SOFTLIGHT, NONE, true};
    case 15: // hLit
        return {FN_HARDLIGHT, NONE, true};
    case 16: // vLit
        return {VIVIDLIGHT, ADD_APPLY_SRC_ALPHA_INV, true};
    case 17: // lLit
        return {LINEARLIGHT, ADD_APPLY_SRC_ALPHA_INV, true};
    case 18: // pLit
        return {PINLIGHT, ADD_APPLY_SRC_ALPHA_INV, true};
    case 20: // diff
        return {DIFFERENCE, ADD_APPLY_SRC_ALPHA_INV, true};
    case 21: // smud: exclusion
        return {FN_EXCLUSION, NONE, true};
    case 22: // fsub
        return {FN_SUBTRACT, NONE, true};
    case 23: // fdiv
        return {FN_DIVIDE, NONE, true};
    case 24: // hue
        return {FN_HUE, NONE, true};
    case 25: // sat
        return {FN_SATURATION, NONE, true};
    case 26: // colr
        return {FN_COLOUR, NONE, true};
    case 27: // lum
        return {FN_LUMINOSITY, NONE, true};
    default: // pass on a layer, diss, dkCl, lgCl, hMix, unknown
        return {ADD_APPLY_SRC_ALPHA_INV, ADD_APPLY_SRC_ALPHA_INV, false};
    }
}

QString keyText(uint32_t key) {
    QString s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((key >> shift) & 0xFF);
        s += c >= 0x20 && c < 0x7F ? QLatin1Char(c) : QLatin1Char('?');
    }
    return s;
}

using Area = CEL_PixmapAreaRGBA16;

std::unique_ptr<Area> emptyLike(const Area& document) {
    return std::make_unique<Area>(document.size(), document.canvasRect());
}

// Every channel of the allocated pixels times f (rounded half up).
void scale(Area& p, double f) {
    CEL_PixelRGBA16* d = p.data();
    const int64_t n = p.allocatedArea();
    CelAlgo::detail::parallelRows(0, p.allocatedHeight(), CelAlgo::detail::rowGrain(p.allocatedHeight()),
                                  p.allocatedWidth(), [&](int y1, int y2) {
                                      const int64_t w = p.allocatedWidth();
                                      for (int64_t i = y1 * w; i < std::min<int64_t>(n, y2 * w); ++i) {
                                          CEL_PixelRGBA16& q = d[i];
                                          q.r = int16_t(std::floor(q.r * f + 0.5));
                                          q.g = int16_t(std::floor(q.g * f + 0.5));
                                          q.b = int16_t(std::floor(q.b * f + 0.5));
                                          q.a = int16_t(std::floor(q.a * f + 0.5));
                                      }
                                  });
}

// Colour within 0 .. alpha over dst's allocated pixels: the effect modes
// saturate to -32767 .. 32767 and may leave colour a flattened image cannot hold.
void clampColourToAlpha(Area& p) {
    CEL_PixelRGBA16* d = p.data();
    const int w = p.allocatedWidth();
    CelAlgo::detail::parallelRows(0, p.allocatedHeight(), CelAlgo::detail::rowGrain(p.allocatedHeight()), w,
                                  [&](int y1, int y2) {
                                      for (int64_t i = int64_t(y1) * w; i < int64_t(y2) * w; ++i) {
                                          CEL_PixelRGBA16& q = d[i];
                                          const int16_t a = std::max<int16_t>(q.a, 0);
                                          q.r = std::clamp<int16_t>(q.r, 0, a);
                                          q.g = std::clamp<int16_t>(q.g, 0, a);
                                          q.b = std::clamp<int16_t>(q.b, 0, a);
                                      }
                                  });
}

// src laid onto dst by its key at the given opacity.
void draw(Area& dst, Area& src, uint32_t key, double opacity, const QString& name, QStringList* warnings) {
    const Drawing d = drawingOf(key);
    if (!d.supported && warnings)
        warnings->push_back(
            QStringLiteral("layer \"%1\": blend mode \"%2\" is not supported, drawn as normal")
                .arg(name, keyText(key)));
    if (d.alpha != CelAlgo::NONE && d.colour != CelAlgo::ADD_APPLY_SRC_ALPHA_INV) {
        // These modes scale the source value, not its weight, by the opacity, and
        // their alpha step takes none: fold the opacity into the source instead.
        if (opacity < 1.0) scale(src, opacity);
        opacity = 1.0;
    }
    CelAlgo::composite(&dst, &src, d.colour, d.alpha, opacity);
    if (d.colour == CelAlgo::VIVIDLIGHT || d.colour == CelAlgo::LINEARLIGHT) clampColourToAlpha(dst);
}

// backdrop becomes backdrop * (1 - o) + group * o (rounded half up); the group
// buffer started as a copy of the backdrop and covers at least its rectangle.
void mix(Area& backdrop, const Area& group, double o) {
    if (group.allocatedRect().hasNullArea()) return;
    backdrop.realloc(group.allocatedRect(), true);
    const Math::Box2di r = group.allocatedRect();
    CelAlgo::detail::parallelRows(
        r.y1(), r.y2(), CelAlgo::detail::rowGrain(r.h()), r.w(), [&](int y1, int y2) {
            for (int y = y1; y < y2; ++y) {
                CEL_PixelRGBA16* b = backdrop.pixel(r.x1(), y);
                const CEL_PixelRGBA16* g = group.pixel(r.x1(), y);
                for (int x = 0; x < r.w(); ++x) {
                    const auto one = [o](int16_t bv, int16_t gv) {
                        return int16_t(std::floor(bv + (gv - bv) * o + 0.5));
                    };
                    b[x] = CEL_PixelRGBA16{one(b[x].r, g[x].r), one(b[x].g, g[x].g), one(b[x].b, g[x].b),
                                           one(b[x].a, g[x].a)};
                }
            }
        });
}

// An open group: its buffer, and how it lands when its folder record comes.
struct Frame {
    std::unique_ptr<Area> buffer;
    bool passThrough = false;
    uint32_t key = Handler::fourCC("norm");
    double opacity = 1.0;
    QString name;
};

void land(std::vector<Frame>& frames, QStringList* warnings) {
    Frame group = std::move(frames.back());
    frames.pop_back();
    Area& below = *frames.back().buffer;
    if (group.passThrough) {
        if (group.opacity >= 1.0)
            frames.back().buffer = std::move(group.buffer);
        else
            mix(below, *group.buffer, group.opacity);
        return;
    }
    if (!group.buffer->allocatedRect().hasNullArea())
        draw(below, *group.buffer, group.key, group.opacity, group.name, warnings);
}

} // namespace

CEL_PixmapAreaRGBA16* CELIO_PsdHandler::flattenLayers(const QString& path, QStringList* warnings) const {
    ibuf in(path);
    if (!in.isOpen()) return nullptr;
    Walk w;
    try {
        readHeader(in, w.header);
    } catch (int) {
        return nullptr;
    }
    refuseUnsupportedMode(w.header.mode);
    try {
        walkToLayers(in, w);
        const Header& h = w.header;
        if (h.rows > uint32_t(std::numeric_limits<int>::max()) ||
            h.columns > uint32_t(std::numeric_limits<int>::max()))
            return nullptr;
        const int width = int(h.columns), height = int(h.rows);
        auto document =
            std::make_unique<Area>(Math::Size2di(width, height), Math::Box2di(0, 0, width, height));
        std::vector<Layer> layers;
        if (w.hasLayers) readLayerInfo(in, h.version, w.remaining, layers);
        if (layers.empty()) {
            CEL_Pixmap* composite = readComposite(in, w);
            if (!composite) return nullptr;
            std::unique_ptr<Area> result(toDocumentArea(std::unique_ptr<CEL_Pixmap>(composite), 255,
                                                        std::move(document),
                                                        Math::Box2di(0, 0, width, height)));
            if (result) result->multiplyColorByAlpha();
            return result.release();
        }

        // Where each record's channel data starts, and which folder closes each end marker.
        std::vector<uint64_t> dataStart(layers.size());
        uint64_t pos = in.tell();
        for (size_t i = 0; i < layers.size(); ++i) {
            dataStart[i] = pos;
            for (const ChannelInfo& c : layers[i].channels) {
                if (pos + c.length < pos) badData();
                pos += c.length;
            }
        }
        std::vector<int> folderOf(layers.size(), -1), open;
        for (size_t i = 0; i < layers.size(); ++i) {
            if (layers[i].groupEnd) open.push_back(int(i));
            if (layers[i].groupStart && !open.empty()) {
                folderOf[size_t(open.back())] = int(i);
                open.pop_back();
            }
        }

        std::vector<Frame> frames(1);
        frames.back().buffer = std::move(document);
        int skipThrough = -1; // the folder record ending a hidden group being skipped
        for (size_t i = 0; i < layers.size(); ++i) {
            if (int(i) <= skipThrough) continue;
            const Layer& l = layers[i];
            if (l.groupEnd) {
                const int folder = folderOf[i];
                if (folder >= 0 && layers[size_t(folder)].hidden()) {
                    skipThrough = folder;
                    continue;
                }
                if (int(frames.size()) > kMaxGroupDepth) badData();
                Frame f;
                if (folder >= 0) {
                    const Layer& g = layers[size_t(folder)];
                    f.key = g.blendKey;
                    f.opacity = g.opacity / 255.0;
                    f.name = g.name;
                }
                // A group without a folder record passes through, fully opaque.
                f.passThrough = folder < 0 || blendModeCode(f.key) == 0;
                const Area& below = *frames.back().buffer;
                f.buffer = f.passThrough && !below.allocatedRect().hasNullArea()
                               ? std::unique_ptr<Area>(below.clone())
                               : emptyLike(below);
                frames.push_back(std::move(f));
            } else if (l.groupStart) {
                if (frames.size() > 1) land(frames, warnings); // a folder without end marker closes nothing
            } else if (!l.hidden()) {
                in.seek(int64_t(dataStart[i]));
                std::unique_ptr<Area> pixels(readLayerPixels(in, h, l, true));
                if (!pixels) return nullptr;
                if (pixels->allocatedRect().hasNullArea()) continue;
                draw(*frames.back().buffer, *pixels, l.blendKey, 1.0, l.name, warnings);
            }
        }
        while (frames.size() > 1) land(frames, warnings); // end markers without folder records
        std::unique_ptr<Area> result = std::move(frames.back().buffer);
        if (!result->reallocToCanvas()) return nullptr;
        return result.release();
    } catch (int) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const CelAlgo::AlgoException&) {
        return nullptr;
    }
}

namespace {

// A layer's straight pixels as a premultiplied area pixmap with its opacity
// in every channel; null when the representation gives no such pixels.
std::unique_ptr<Area> premultipliedArea(const CEL_Representation* rep, float opacity) {
    if (!rep) return nullptr;
    std::unique_ptr<Area> a;
    if (const auto* area = dynamic_cast<const Area*>(rep)) {
        a.reset(area->clone());
    } else {
        UT_SharedPtr<CEL_Representation> canvas;
        const CEL_Representation* from = rep;
        if (!rep->convertibleTo(CEL_Representation::PIXMAP_AREA_RGBA16)) {
            canvas = UT_SharedPtr<CEL_Representation>(rep->convertTo(CEL_Representation::PIXMAP_RGBA16));
            from = canvas.get();
        }
        if (from) a.reset(dynamic_cast<Area*>(from->convertTo(CEL_Representation::PIXMAP_AREA_RGBA16)));
    }
    if (!a) return nullptr;
    a->multiplyColorByAlpha();
    if (opacity < 1.0f) scale(*a, std::max(0.0f, opacity));
    return a;
}

struct TreeFlatten {
    QStringList* warnings;

    void group(const CELIO_LayerGroup& g, std::vector<Frame>& frames) {
        for (const LayerItem& item : orderedItems(g)) {
            if (item.layer) {
                const CELIO_Layer& l = *item.layer;
                if (!l.visible) continue;
                std::unique_ptr<Area> pixels = premultipliedArea(l.representation.get(), l.opacity);
                if (!pixels || pixels->allocatedRect().hasNullArea()) continue;
                draw(*frames.back().buffer, *pixels, keyOf(l.blendMode, l.name), 1.0, l.name, warnings);
                continue;
            }
            const CELIO_LayerGroup& sub = *item.group;
            if (!sub.visible) continue;
            if (int(frames.size()) > Handler::kMaxGroupDepth) throw std::bad_alloc();
            Frame f;
            f.key = keyOf(sub.blendMode, sub.name);
            f.opacity = std::clamp(double(sub.opacity), 0.0, 1.0);
            f.name = sub.name;
            f.passThrough = sub.blendMode == 0;
            const Area& below = *frames.back().buffer;
            f.buffer = f.passThrough && !below.allocatedRect().hasNullArea()
                           ? std::unique_ptr<Area>(below.clone())
                           : emptyLike(below);
            frames.push_back(std::move(f));
            group(sub, frames);
            land(frames, warnings);
        }
    }

    uint32_t keyOf(int code, const QString& name) const {
        const uint32_t key = Handler::blendKeyOfCode(code);
        if (key) return key;
        if (warnings)
            warnings->push_back(QStringLiteral("layer \"%1\": blend mode %2 is not known, drawn as normal")
                                    .arg(name)
                                    .arg(code));
        return Handler::fourCC("norm");
    }
};

} // namespace

CEL_PixmapAreaRGBA16* CELIO_PsdHandler::flattenLayers(const CELIO_LayerInfo& info, QStringList* warnings) {
    const int width = std::max(info.getComposite().width, 0),
              height = std::max(info.getComposite().height, 0);
    try {
        std::vector<Frame> frames(1);
        frames.back().buffer =
            std::make_unique<Area>(Math::Size2di(width, height), Math::Box2di(0, 0, width, height));
        TreeFlatten{warnings}.group(info.getBaseGroup(), frames);
        std::unique_ptr<Area> result = std::move(frames.back().buffer);
        if (!result->reallocToCanvas()) return nullptr;
        return result.release();
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const CelAlgo::AlgoException&) {
        return nullptr;
    }
}
