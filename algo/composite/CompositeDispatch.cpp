// The dispatcher: routes a colour operation and an alpha operation of
// GenericCompositeOp to their implementations through two tables indexed by
// the operation value. An empty slot is a value rejected in that role.
#include <array>

#include "algo/composite/BlendModes.h"
#include "algo/composite/CompositeDetail.h"

namespace CelAlgo {

namespace {

using Dst = CEL_PixmapAreaRGBA16*;
using Src = const CEL_PixmapAreaRGBA16*;

struct Params {
    int op;
    double opacity;
    double k0, k1, k2;
};

using ColourFn = void (*)(Dst, Src, const Params&);
using AlphaFn = void (*)(Dst, Src);

constexpr int kOpCount = 70;

// Adapters from the three signatures of the colour operations.
template <void (*Fn)(Dst, Src)> void plain(Dst d, Src s, const Params&) {
    Fn(d, s);
}
template <void (*Fn)(Dst, Src, double)> void withOpacity(Dst d, Src s, const Params& p) {
    Fn(d, s, p.opacity);
}
void blendFunction(Dst d, Src s, const Params& p) {
    detail::compositeBlendFunctionOp(d, s, p.op, p.opacity, p.k0, p.k1, p.k2);
}
void nothing(Dst, Src, const Params&) {}

constexpr std::array<ColourFn, kOpCount> makeColourTable() {
    std::array<ColourFn, kOpCount> t{};
    t[NONE] = nothing;
    t[ADD_APPLY_SRC_ALPHA_INV] = plain<composite_ADD_APPLY_SRC_ALPHA_INV>;
    t[ADD_APPLY_DST_ALPHA] = plain<composite_ADD_APPLY_DST_ALPHA>;
    t[APPLY_SRC_ALPHA_INV] = plain<composite_APPLY_SRC_ALPHA_INV>;
    t[APPLY_DST_ALPHA] = plain<composite_APPLY_DST_ALPHA>;
    t[ADD] = withOpacity<composite_ADD>;
    t[SUBTRACT] = withOpacity<composite_SUBTRACT>;
    t[COPY] = plain<composite_COPY>;
    t[CUT] = plain<composite_CUT>;
    t[CUT_INV] = plain<composite_CUT_INV>;
    t[MULT_APPLY_DST_ALPHA] = plain<composite_MULT_APPLY_DST_ALPHA>;
    t[MULTIPLY] = withOpacity<composite_MULTIPLY>;
    t[DIVIDE] = withOpacity<composite_DIVIDE>;
    t[LIGHTEN] = withOpacity<composite_LIGHTEN>;
    t[SOFTLIGHT] = withOpacity<composite_SOFTLIGHT>;
    t[HARDLIGHT] = withOpacity<composite_HARDLIGHT>;
    t[LINEARLIGHT] = withOpacity<composite_LINEARLIGHT>;
    t[PINLIGHT] = withOpacity<composite_PINLIGHT>;
    t[VIVIDLIGHT] = withOpacity<composite_VIVIDLIGHT>;
    t[OVERLAY] = withOpacity<composite_OVERLAY>;
    t[SCREEN] = withOpacity<composite_SCREEN>;
    t[DARKEN] = withOpacity<composite_DARKEN>;
    t[DIFFERENCE] = withOpacity<composite_DIFFERENCE>;
    t[EXCLUSION] = withOpacity<composite_EXCLUSION>;
    t[INVERT] = withOpacity<composite_INVERT>;
    t[REPLACE_IF_NON_ZERO_ALPHA_SRC] = withOpacity<composite_REPLACE_IF_NON_ZERO_ALPHA_SRC>;
    t[DODGE] = withOpacity<composite_DODGE>;
    t[BURN] = withOpacity<composite_BURN>;
    t[HUE] = withOpacity<composite_HUE>;
    t[SATURATION] = withOpacity<composite_SATURATION>;
    t[COLOUR] = withOpacity<composite_COLOUR>;
    t[LUMINOSITY] = withOpacity<composite_LUMINOSITY>;
    t[ADD_legacy] = withOpacity<composite_ADD_legacy>;
    t[SUBTRACT_legacy] = withOpacity<composite_SUBTRACT_legacy>;
    t[DIVIDE_legacy] = plain<composite_DIVIDE_legacy>;
    t[DIFFERENCE_legacy] = withOpacity<composite_DIFFERENCE_legacy>;
    t[LIGHTEN_legacy] = withOpacity<composite_LIGHTEN_legacy>;
    t[SOFTLIGHT_legacy] = withOpacity<composite_SOFTLIGHT_legacy>;
    t[HARDLIGHT_legacy] = withOpacity<composite_HARDLIGHT_legacy>;
    t[OVERLAY_legacy] = withOpacity<composite_OVERLAY_legacy>;
    for (int op = FN_DARKEN; op <= FN_LUMINOSITY; ++op) {
        const bool reserved = op == 48 || op == 53 || (op >= 58 && op <= 62);
        if (!reserved) t[op] = blendFunction;
    }
    return t;
}

void alphaNothing(Dst, Src) {}
void alphaBlack(Dst d, Src) {
    alpha_BLACK(d);
}
void alphaWhite(Dst d, Src) {
    alpha_WHITE(d);
}
void alphaMinus(Dst d, Src) {
    alpha_MINUS(d);
}

constexpr std::array<AlphaFn, kOpCount> makeAlphaTable() {
    std::array<AlphaFn, kOpCount> t{};
    t[NONE] = alphaNothing;
    t[ADD_APPLY_SRC_ALPHA_INV] = alpha_ADD_APPLY_SRC_ALPHA_INV;
    t[APPLY_SRC_ALPHA] = alpha_APPLY_SRC_ALPHA;
    t[ADD] = alpha_ADD;
    t[SUBTRACT] = alpha_SUBTRACT;
    t[BLACK] = alphaBlack;
    t[WHITE] = alphaWhite;
    t[MINUS] = alphaMinus;
    t[COPY] = alpha_COPY;
    t[ADD_legacy] = alpha_ADD;
    t[SUBTRACT_legacy] = alpha_SUBTRACT;
    return t;
}

constexpr std::array<ColourFn, kOpCount> kColourOps = makeColourTable();
constexpr std::array<AlphaFn, kOpCount> kAlphaOps = makeAlphaTable();

template <class Table> auto lookup(const Table& table, int op) -> typename Table::value_type {
    return op >= 0 && op < kOpCount ? table[std::size_t(op)] : nullptr;
}

// Without alpha work that would keep them, the pixels of dst outside src are
// dropped before a CUT_INV: dst shrinks to the intersection.
void prepareCut(Dst dst, Src src, int alphaOp) {
    if (alphaOp != NONE && (alphaOp < BLACK || alphaOp > MINUS)) return;
    const Math::Box2di r = dst->commonAllocatedRect(src);
    if (r != dst->allocatedRect()) dst->realloc(r, true);
}

} // namespace

void composite(CEL_PixmapAreaRGBA16* dst, const CEL_PixmapAreaRGBA16* src, GenericCompositeOp colourOp,
               GenericCompositeOp alphaOp, double opacity, double k0, double k1, double k2) {
    detail::requirePixmaps(dst, src);
    if (colourOp == COPY && alphaOp == COPY) {
        composite_COPY_ALL(dst, src);
        dst->setAllPositive(src->areAllPositive());
        return;
    }
    if (colourOp == ADD_APPLY_SRC_ALPHA_INV && alphaOp == ADD_APPLY_SRC_ALPHA_INV) {
        if (opacity == 1.0)
            composite_ADD_APPLY_SRC_ALPHA_INV_ALL(dst, src);
        else
            composite_ADD_APPLY_SRC_ALPHA_INV_ALL(dst, src, opacity);
        return;
    }

    const ColourFn colour = lookup(kColourOps, colourOp);
    if (!colour) {
        throw AlgoException(QStringLiteral("color composite operation (%1) not implemented")
                                .arg(QString::number(int(colourOp), 10)));
    }
    if (colourOp == CUT_INV) prepareCut(dst, src, alphaOp);
    colour(dst, src, Params{int(colourOp), opacity, k0, k1, k2});

    const AlphaFn alpha = lookup(kAlphaOps, alphaOp);
    if (!alpha) {
        throw AlgoException(QStringLiteral("alpha composite operation (%1) not implemented")
                                .arg(QString::number(int(alphaOp), 10)));
    }
    alpha(dst, src);

    dst->setAllPositive(false);
}

} // namespace CelAlgo
