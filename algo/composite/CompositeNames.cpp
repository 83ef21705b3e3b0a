// The one table of operation names. Each entry spells its enumerator once;
// the preprocessor makes the string, so a name cannot drift from its value.
#include <array>
#include <cctype>

#include "algo/composite/Composite.h"

namespace CelAlgo {

namespace {

struct Named {
    GenericCompositeOp op;
    const char* name;
};

#define CELALGO_NAMED(op)                                                                                    \
    Named {                                                                                                  \
        op, #op                                                                                              \
    }

constexpr Named kNames[] = {
    CELALGO_NAMED(NONE),
    CELALGO_NAMED(ADD_APPLY_SRC_ALPHA_INV),
    CELALGO_NAMED(ADD_APPLY_DST_ALPHA),
    CELALGO_NAMED(APPLY_SRC_ALPHA_INV),
    CELALGO_NAMED(APPLY_SRC_ALPHA),
    CELALGO_NAMED(APPLY_DST_ALPHA),
    CELALGO_NAMED(ADD),
    CELALGO_NAMED(SUBTRACT),
    CELALGO_NAMED(BLACK),
    CELALGO_NAMED(WHITE),
    CELALGO_NAMED(MINUS),
    CELALGO_NAMED(COPY),
    CELALGO_NAMED(CUT),
    CELALGO_NAMED(CUT_INV),
    CELALGO_NAMED(MULT_APPLY_DST_ALPHA),
    CELALGO_NAMED(MULTIPLY),
    CELALGO_NAMED(DIVIDE),
    CELALGO_NAMED(LIGHTEN),
    CELALGO_NAMED(SOFTLIGHT),
    CELALGO_NAMED(HARDLIGHT),
    CELALGO_NAMED(LINEARLIGHT),
    CELALGO_NAMED(PINLIGHT),
    CELALGO_NAMED(VIVIDLIGHT),
    CELALGO_NAMED(OVERLAY),
    CELALGO_NAMED(SCREEN),
    CELALGO_NAMED(DARKEN),
    CELALGO_NAMED(DIFFERENCE),
    CELALGO_NAMED(EXCLUSION),
    CELALGO_NAMED(INVERT),
    CELALGO_NAMED(REPLACE_IF_NON_ZERO_ALPHA_SRC),
    CELALGO_NAMED(DODGE),
    CELALGO_NAMED(BURN),
    CELALGO_NAMED(HUE),
    CELALGO_NAMED(SATURATION),
    CELALGO_NAMED(COLOUR),
    CELALGO_NAMED(LUMINOSITY),
    CELALGO_NAMED(ADD_legacy),
    CELALGO_NAMED(SUBTRACT_legacy),
    CELALGO_NAMED(DIVIDE_legacy),
    CELALGO_NAMED(DIFFERENCE_legacy),
    CELALGO_NAMED(LIGHTEN_legacy),
    CELALGO_NAMED(SOFTLIGHT_legacy),
    CELALGO_NAMED(HARDLIGHT_legacy),
    CELALGO_NAMED(OVERLAY_legacy),
    CELALGO_NAMED(FN_DARKEN),
    CELALGO_NAMED(FN_MULTIPLY),
    CELALGO_NAMED(FN_COLOR_BURN),
    CELALGO_NAMED(FN_LINEAR_BURN),
    CELALGO_NAMED(FN_LIGHTEN),
    CELALGO_NAMED(FN_SCREEN),
    CELALGO_NAMED(FN_COLOR_DODGE),
    CELALGO_NAMED(FN_LINEAR_DODGE),
    CELALGO_NAMED(FN_OVERLAY),
    CELALGO_NAMED(FN_SOFTLIGHT_KEEP_DST_ALPHA),
    CELALGO_NAMED(FN_SOFTLIGHT),
    CELALGO_NAMED(FN_HARDLIGHT),
    CELALGO_NAMED(FN_EXCLUSION),
    CELALGO_NAMED(FN_SUBTRACT),
    CELALGO_NAMED(FN_DIVIDE),
    CELALGO_NAMED(FN_HUE),
    CELALGO_NAMED(FN_SATURATION),
    CELALGO_NAMED(FN_COLOUR),
    CELALGO_NAMED(FN_LUMINOSITY),
};

#undef CELALGO_NAMED

constexpr int kValues = 70;

// Names by value; reserved values keep "".
constexpr std::array<const char*, kValues> byValue() {
    std::array<const char*, kValues> names{};
    for (const char*& n : names) n = "";
    for (const Named& n : kNames) names[std::size_t(n.op)] = n.name;
    return names;
}

constexpr std::array<const char*, kValues> kByValue = byValue();

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

} // namespace

const char* compositeOpName(int op) {
    return op >= 0 && op < kValues ? kByValue[std::size_t(op)] : "";
}

int compositeOpValue(std::string_view name) {
    if (name.empty()) return -1;
    if (sameIgnoringCase(name, "over")) return ADD_APPLY_SRC_ALPHA_INV;
    for (const Named& n : kNames)
        if (sameIgnoringCase(name, n.name)) return n.op;
    return -1;
}

} // namespace CelAlgo
