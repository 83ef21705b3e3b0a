#include <gtest/gtest.h>

#include "base/Palette.h"
#include "base/Platform.h"
#include "cel/Context.h"

namespace {
struct CountedPalettes : CM_PaletteList {
    CountedPalettes() { ++alive; }
    ~CountedPalettes() override { --alive; }
    static inline int alive = 0;
};
} // namespace

TEST(CelContext, DefaultsFromSettingsCopiesIndependentPalettesShared) {
    const bool batchWas = ST_BatchParams::isBatchRendering(),
               delayedWas = ST_ColorRecovery::isDelayedColorRecovery();
    ST_ColorRecovery::setDelayedColorRecovery(true);
    ST_BatchParams::setBatchRendering(false);
    EXPECT_TRUE(CEL_Context().isDelayedColorRecovery());
    ST_BatchParams::setBatchRendering(true);
    EXPECT_FALSE(CEL_Context().isDelayedColorRecovery()) << "a batch render never delays recovery";
    ST_BatchParams::setBatchRendering(batchWas);
    ST_ColorRecovery::setDelayedColorRecovery(delayedWas);

    auto* palettes = new CountedPalettes;
    {
        CEL_Context copy;
        {
            const CEL_Context ctx(false, true, false, palettes, 7, QStringLiteral("group/layer"), 2.5);
            copy = ctx;
            copy.setLoadDelayed(true);
            copy.setZMultiplier(0.5);
            EXPECT_FALSE(ctx.loadDelayed());
            EXPECT_EQ(ctx.zMultiplier(), 2.5);
        }
        EXPECT_EQ(CountedPalettes::alive, 1) << "the copy keeps the palette list alive";
        EXPECT_EQ(copy.paletteList(), palettes);
        EXPECT_EQ(copy.layerPath(), QStringLiteral("group/layer"));
    }
    EXPECT_EQ(CountedPalettes::alive, 0);
}
