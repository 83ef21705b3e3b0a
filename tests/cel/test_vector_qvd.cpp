// Vector cels: settings, renders, palettes, storing, optimised versions, rsvg-convert as witness.
#include <QFile>
#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>
#include <memory>

#include "base/FileSpec.h"
#include "base/Platform.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"
#include "support/VectorTestUtil.h"
#include "tests/celio/ByteTestSupport.h"

using R = CEL_Representation;
using vectortest::colour;
using vectortest::ellipse;
using vectortest::rect;

namespace {

std::unique_ptr<CEL_PixmapRGBA8> render8(const CELVEC_Qvd& q) {
    return std::unique_ptr<CEL_PixmapRGBA8>(dynamic_cast<CEL_PixmapRGBA8*>(q.convertTo(R::PIXMAP_RGBA8)));
}
std::unique_ptr<CEL_PixmapAreaRGBA16> render16(const CELVEC_Qvd& q) {
    return std::unique_ptr<CEL_PixmapAreaRGBA16>(
        dynamic_cast<CEL_PixmapAreaRGBA16*>(q.convertTo(R::PIXMAP_AREA_RGBA16)));
}

// A cel holding one filled rectangle x +-1250, y +-937.5 (the middle half of the picture).
void fillMiddle(CELVEC_Qvd& q, const GR_ShapeColor& c) {
    GR_DrawingAccess d(*q.getDrawingObject());
    d.InsertFill(d.CreateLayer(GR_ColorArtLayer), rect(-1250, -937.5f, 1250, 937.5f), c);
}

void setQuality(CELVEC_Qvd& q, int quality) {
    q.setAntialiasingParam(CELVEC_Qvd::AntialiasQuality(quality), q.antialiasParam(), q.textureFilter());
}

} // namespace

TEST(VectorQvd, SettingsCopiesAndRendererOptions) {
    CELVEC_Qvd q;
    for (int f = 0; f <= 17; ++f) EXPECT_EQ(q.convertibleTo(R::CelFormat(f)), f == 4 || f == 7) << f;
    q.setResolution(-5, 300);
    EXPECT_EQ(q.resolution(), Math::Size2di(0, 300));

    // A copy shares the drawing and owns a copy of the colour transform.
    GR_ColorMatrix swap;
    swap.m[0][0] = 0, swap.m[0][2] = 1, swap.m[2][0] = 1, swap.m[2][2] = 0;
    q.setColorTransform(new CELVEC_ColorMatrix(swap));
    q.setTransMatrix(Math::Matrix4x4::translation(5, 6));
    const std::unique_ptr<CELVEC_Qvd> copy(q.sharedCopy());
    EXPECT_EQ(copy->getDrawingObject(), q.getDrawingObject());
    EXPECT_NE(copy->colorTransform(), q.colorTransform());
    q.clearColorTransform();
    ASSERT_NE(copy->colorTransform(), nullptr);
    EXPECT_EQ(dynamic_cast<const CELVEC_ColorMatrix*>(copy->colorTransform())->matrix(), swap);
    CELVEC_Qvd other;
    other.copyAttributes(copy.get());
    EXPECT_NE(other.getDrawingObject(), copy->getDrawingObject()) << "the drawing is not an attribute";

    // Out-of-range settings fall back to the defaults.
    const int modes[][2] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 3}, {-1, 3}, {99, 3}};
    for (const auto& [quality, mode] : modes) {
        setQuality(q, quality);
        EXPECT_EQ(q.renderOptions().antialiasMode, mode) << quality;
    }
    q.setAntialiasingParam(q.antialiasingMode(), 0.25, CELVEC_Qvd::TextureFilter(-7));
    EXPECT_EQ(q.renderOptions().textureFilter, 1);
    // The domain is 3750 units tall and as wide as the aspect asks, after the model matrix.
    q.setTransMatrix(Math::Matrix4x4::scaling(2, 2));
    q.setResolution(800, 400);
    EXPECT_EQ(q.renderOptions().modelToNormalizedDevice,
              Math::Matrix4x4::scaling(1.0 / 3750.0, 1.0 / 1875.0, 1.0) * Math::Matrix4x4::scaling(2, 2));
}

// The worked examples: the middle half of the picture, and what a translucent
// fill gives at each antialiasing quality.
TEST(VectorQvd, AreaAndColoursOfAFill) {
    CELVEC_Qvd q;
    fillMiddle(q, colour(200, 100, 50, 200));
    const auto area = render16(q);
    ASSERT_TRUE(area && area->canvasRect() == Math::Box2di(0, 0, 720, 540));
    EXPECT_EQ(area->allocatedRect(), Math::Box2di(178, 133, 364, 274));
    EXPECT_EQ(*area->pixel(179, 200), (CEL_PixelRGBA16{0, 0, 0, 0})) << "the margin is transparent";
    EXPECT_EQ(area->pixel(180, 200)->a, CEL_PixelRule::from8(200)) << "the first pixel inside";

    const auto at = [&](int quality, bool premultiply) {
        setQuality(q, quality);
        q.setPremultiply(premultiply);
        return *render8(q)->pixel(360, 270);
    };
    EXPECT_EQ(at(4, true), (CEL_PixelRGBA8{156, 78, 39, 200})) << "16-bit precision: trunc(c a / 255)";
    EXPECT_EQ(at(4, false), (CEL_PixelRGBA8{200, 100, 50, 200})) << "the straight colour exactly";
    EXPECT_EQ(at(0, true), (CEL_PixelRGBA8{198, 99, 49, 255})) << "quality 0: alpha 200 becomes opaque";
    EXPECT_NEAR(at(3, false).r, 200, 1);

    // Alpha 100 at quality 0: nothing.
    CELVEC_Qvd faint;
    fillMiddle(faint, colour(200, 100, 50, 100));
    setQuality(faint, 0);
    EXPECT_EQ(*render8(faint)->pixel(360, 270), (CEL_PixelRGBA8{0, 0, 0, 0}));
    // Aliased edges: no partial alpha anywhere.
    setQuality(q, 0);
    const auto whole = render8(q);
    for (long long i = 0; i < 720LL * 540; ++i)
        ASSERT_TRUE(whole->data()[i].a == 0 || whole->data()[i].a == 255);
}

TEST(VectorQvd, CanvasOtherThanTheResolution) {
    CELVEC_Qvd q;
    fillMiddle(q, colour(10, 200, 30));
    const auto plain = render16(q);
    // A canvas reaching beyond the picture: the same pixels at the same coordinates.
    q.setResolution(Math::Size2di(720, 540), Math::Box2di(-100, -50, 920, 640));
    const auto wide = render16(q);
    ASSERT_TRUE(wide && plain && wide->canvasRect() == Math::Box2di(-100, -50, 920, 640));
    EXPECT_EQ(wide->size(), Math::Size2di(720, 540));
    const Math::Box2di a = wide->allocatedRect();
    EXPECT_LE(
        std::abs(a.x1() - 178) + std::abs(a.y1() - 133) + std::abs(a.x2() - 542) + std::abs(a.y2() - 407), 4);
    for (int y = 120; y < 420; y += 7)
        for (int x = 160; x < 560; x += 7) {
            const CEL_PixelRGBA16 none{0, 0, 0, 0}, *p = plain->pixel(x, y), *w = wide->pixel(x, y);
            ASSERT_EQ(p ? *p : none, w ? *w : none) << x << "," << y;
        }
    // A canvas inside the picture limits the area to itself.
    q.setResolution(Math::Size2di(720, 540), Math::Box2di(300, 200, 100, 50));
    EXPECT_EQ(render16(q)->allocatedRect(), Math::Box2di(300, 200, 100, 50));
    // An area given by the colour transform, whatever the drawing: the middle half of the canvas.
    CELVEC_Qvd empty;
    auto* matrix = new CELVEC_ColorMatrix;
    matrix->setArea(Math::Matrix4x4(), Math::Box2d(-0.5, -0.5, 0.5, 0.5));
    empty.setColorTransform(matrix);
    EXPECT_EQ(render16(empty)->allocatedRect(), Math::Box2di(178, 133, 364, 274));
    EXPECT_TRUE(render16(CELVEC_Qvd())->allocatedRect().hasNullArea())
        << "an empty drawing allocates nothing";
}

TEST(VectorQvd, ColourMatrixThicknessArtsAndMatrix) {
    CELVEC_Qvd q;
    GR_DrawingAccess d(*q.getDrawingObject());
    d.InsertFill(d.CreateLayer(GR_ColorArtLayer), rect(-1250, -937.5f, 1250, 937.5f), colour(250, 20, 10));
    d.InsertStroke(d.CreateLayer(GR_LineArtLayer), rect(-2000, -1500, 2000, 1500), colour(0, 0, 200), 40);
    GR_ColorMatrix swap;
    swap.m[0][0] = 0, swap.m[0][2] = 1, swap.m[2][0] = 1, swap.m[2][2] = 0;
    q.setColorTransform(new CELVEC_ColorMatrix(swap));
    EXPECT_EQ(*render8(q)->pixel(360, 270), (CEL_PixelRGBA8{10, 20, 250, 255}));
    q.clearColorTransform();

    // The stroke along x = 2000 (pixel 648) is 40 units (5.8 pixels) wide; 2.5 times thicker it is 14.4.
    const auto width = [](const CEL_PixmapRGBA8& p) {
        int n = 0;
        for (int x = 600; x < 700; ++x) n += p.pixel(x, 270)->a > 127;
        return n;
    };
    EXPECT_NEAR(width(*render8(q)), 6, 1);
    GR_RichLineStyleRenderingParams style;
    style.setThicknessScale(2.5);
    q.setRichLineStyleParameters(style);
    EXPECT_NEAR(width(*render8(q)), 14, 1);

    q.setArtSelector(GR_ArtSelector(GR_ArtSelector::ColorArt));
    EXPECT_EQ(width(*render8(q)), 0);
    EXPECT_EQ(render16(q)->allocatedRect(), Math::Box2di(178, 133, 364, 274))
        << "the area of the selected art";

    // The model matrix moves the drawing in world units: 1250 units right is a quarter of the picture.
    q.setTransMatrix(Math::Matrix4x4::translation(1250, 0));
    EXPECT_EQ(render8(q)->pixel(360 + 180, 270)->r, 250);
    EXPECT_EQ(render8(q)->pixel(360 - 180 + 10, 270)->a, 0);

    // A perspective that puts the left of the drawing behind the eye (w <= 0 for x <= -1000):
    // only what lies in front is drawn, and the area stays within the canvas.
    Math::Matrix4x4 perspective;
    perspective(3, 0) = 1.0 / 1000.0;
    q.setTransMatrix(perspective);
    EXPECT_EQ(render8(q)->pixel(360, 270)->r, 250);
    EXPECT_TRUE(Math::Box2di(0, 0, 720, 540).isContaining(render16(q)->allocatedRect()));
    Math::Matrix4x4 broken;
    broken(0, 0) = NAN;
    q.setTransMatrix(broken);
    EXPECT_EQ(render8(q), nullptr) << "a matrix that is not finite renders nothing";
}

TEST(VectorQvd, LoadWithPalettesAndStoreWithABackup) {
    celtest::TempDir dir;
    const QString path = dir.path(QStringLiteral("a.qvx"));
    CELVEC_Qvd source;
    GR_DrawingAccess d(*source.getDrawingObject());
    const int layer = d.CreateLayer(GR_ColorArtLayer);
    d.InsertFill(layer, rect(-100, -100, 100, 100), colour(1, 2, 3, 255, 77));
    ASSERT_TRUE(source.StoreToFile(PL_FileSpec(path), 0));
    EXPECT_FALSE(QFile::exists(path + QStringLiteral(".bak"))) << "nothing to back up yet";
    d.InsertFill(layer, rect(0, 0, 10, 10), colour(4, 5, 6));
    const QByteArray first = celtest::readFile(path);
    ASSERT_TRUE(source.StoreToFile(PL_FileSpec(path), 0));
    EXPECT_TRUE(celtest::readFile(path + QStringLiteral(".bak")) == first &&
                !QFile::exists(path + QStringLiteral(".new")));
    EXPECT_FALSE(source.StoreToFile(PL_FileSpec(dir.path(QStringLiteral("no/such/folder/b.qvx"))), 0));
    EXPECT_FALSE(source.StoreToFile(PL_FileSpec(path), 3)) << "an unknown version";

    CM_SharedPtr<CM_PaletteList> palettes(new CM_PaletteList);
    {
        celtest::InteractiveGuard interactive(true);
        CELVEC_Qvd q;
        EXPECT_FALSE(q.Load(UT_RelPath(path), CEL_Context(false, false, false, nullptr, 0, QString(), 1.0)))
            << "an interactive host without palette list loads nothing";
        // With recovery, the id the list lacks is added with the stored colour.
        ASSERT_TRUE(q.Load(UT_RelPath(QStringLiteral("a.qvx"), dir.root()),
                           CEL_Context(true, false, false, palettes.get(), 0, QString(), 1.0)));
        CM_ColorRGBA8 c;
        EXPECT_TRUE(palettes->findColor(77, c) && c == (CM_ColorRGBA8{1, 2, 3, 255}));
        palettes->setColor(77, CM_ColorRGBA8{9, 9, 9, 255});
        EXPECT_EQ(*render8(q)->pixel(360, 270), (CEL_PixelRGBA8{9, 9, 9, 255})) << "the listed colour wins";
        // Without recovery nothing is added; a failed load flushes what is pending.
        CM_SharedPtr<CM_PaletteList> other(new CM_PaletteList);
        ASSERT_TRUE(
            q.Load(UT_RelPath(path), CEL_Context(false, false, false, other.get(), 0, QString(), 1.0)));
        EXPECT_EQ(other->size(), 0u);
        celtest::writeFile(dir.path(QStringLiteral("bad.qvx")),
                           QByteArray("QVX\x1a\x01\0\0\0\x05\0\0\0", 12));
        EXPECT_FALSE(q.Load(UT_RelPath(dir.path(QStringLiteral("bad.qvx"))),
                            CEL_Context(true, false, false, other.get(), 0, QString(), 1.0)));
        EXPECT_FALSE(q.getDrawingObject()->NeedsColorRecovery());
    }
    celtest::InteractiveGuard batch(false);
    CELVEC_Qvd q;
    EXPECT_TRUE(q.Load(UT_RelPath(path), CEL_Context(false, false, false, nullptr, 0, QString(), 1.0)));
    EXPECT_EQ(q.getDrawingObject()->shapeCount(), 2u);
    EXPECT_EQ(CELVEC_Qvd::getPaletteFromDrawingPath(path)->size(), 0u);
}

TEST(VectorQvd, MergingAndOptimisedVersions) {
    CELVEC_Qvd body, head;
    GR_DrawingAccess b(*body.getDrawingObject()), h(*head.getDrawingObject());
    b.InsertFill(b.CreateLayer(GR_ColorArtLayer), rect(-500, -1500, 500, 0), colour(200, 0, 0));
    h.InsertFill(h.CreateLayer(GR_ColorArtLayer), ellipse(0, 0, 400, 400), colour(0, 200, 0));
    h.InsertFill(h.CreateLayer(GR_OverlayArtLayer), rect(-10, -10, 10, 10), colour(0, 0, 200));
    ASSERT_TRUE(body.compositeOnTop(&head, Math::Matrix4x4::translation(0, 400)));
    body.compositeEnd(false);
    EXPECT_EQ(body.getDrawingObject()->shapeCount(), 2u) << "overlay art is not merged";
    EXPECT_EQ(render8(body)->pixel(360, 270 - 58)->g, 200); // y 400 is 57.6 pixels up

    VS_Canvas canvas;
    canvas.fieldSize = 16.0f;
    const std::unique_ptr<CELVEC_OptimizedQvd> version(
        CELVEC_OptimizedQvd::buildOptimizedVersion(&body, &canvas, true, true, true, 1.0f));
    ASSERT_TRUE(version && version->boundingBox() == Math::Box2d(-500, -1500, 500, 800));
    const UT_SharedPtr<GR_OptimizedVectorDrawingObj> drawing = version->optimizedDrawing();
    ASSERT_TRUE(drawing && drawing->polygons().size() == 2u);
    EXPECT_EQ(drawing->polygons()[1].color, (CM_ColorRGBA8{0, 200, 0, 255}));
    // Within the tolerance of the circle: every point of the flattened ring.
    for (const GR_Point& p : drawing->polygons()[1].points) EXPECT_NEAR(std::hypot(p.x, p.y - 400), 400, 1.5);
}

// rsvg-convert renders the same shapes from an SVG file: the pictures agree.
TEST(VectorQvd, WitnessRsvgConvertRendersTheSameShapes) {
    if (!celtest::haveProgram("rsvg-convert")) GTEST_SKIP() << "rsvg-convert (librsvg2-bin) not installed";
    CELVEC_Qvd q;
    vectortest::busyDrawing(*q.getDrawingObject(), 25, 60, 17);
    q.setPremultiply(false);
    const auto ours = render8(q);
    ASSERT_TRUE(ours);

    // The drawing as SVG, in the drawing's order: world units, y up.
    QString svg = QStringLiteral("<svg xmlns='http://www.w3.org/2000/svg' width='720' height='540' "
                                 "viewBox='-2500 -1875 5000 3750'><g transform='scale(1,-1)'>");
    const auto paint = [](const char* what, const CM_ColorRGBA8& c) {
        return QString::asprintf("%s='rgb(%d,%d,%d)' %s-opacity='%g'", what, c.r, c.g, c.b, what,
                                 c.a / 255.0);
    };
    for (int group = 0; group < 4; ++group)
        for (const GR_Layer& layer : q.getDrawingObject()->layers()) {
            if (std::min<uint32_t>(layer.type, 3) != uint32_t(group)) continue;
            for (const GR_Shape& s : layer.shapes) {
                QString d;
                std::size_t i = 0;
                for (uint8_t v : s.path.verbs()) {
                    d += QLatin1Char("MLQCZ"[v]);
                    for (int k = 0; k < GR_Path::pointsOf(v); ++k, ++i)
                        d += QString::asprintf(" %.9g %.9g", double(s.path.points()[i].x),
                                               double(s.path.points()[i].y));
                    d += QLatin1Char(' ');
                }
                if (s.isFilled())
                    svg += "<path d='" + d + "' " + paint("fill", s.fill.color) + " stroke='none'/>";
                if (s.isStroked())
                    svg += "<path d='" + d + "' fill='none' " + paint("stroke", s.stroke.color) +
                           QString::asprintf(
                               " stroke-width='%g' stroke-linecap='round' stroke-linejoin='round'/>",
                               double(s.width));
            }
        }
    svg += QStringLiteral("</g></svg>");
    celtest::TempDir dir;
    const QString svgPath = dir.path(QStringLiteral("d.svg")), pngPath = dir.path(QStringLiteral("d.png"));
    ASSERT_TRUE(celtest::writeFile(svgPath, svg.toUtf8()));
    ASSERT_EQ(QProcess::execute(QStringLiteral("rsvg-convert"), {svgPath, QStringLiteral("-o"), pngPath}), 0);
    const QImage witness = QImage(pngPath).convertToFormat(QImage::Format_RGBA8888);
    ASSERT_EQ(witness.size(), QSize(720, 540));

    double meanOurs[4] = {}, meanWitness[4] = {}, meanDiff[4] = {};
    for (int y = 0; y < 540; ++y) {
        const uchar* w = witness.constScanLine(y);
        for (int x = 0; x < 720; ++x) {
            const CEL_PixelRGBA8& o = *ours->pixel(x, y);
            const int a[4] = {o.r, o.g, o.b, o.a};
            // Colour where nothing is drawn means nothing: compare colour weighted by alpha.
            for (int c = 0; c < 4; ++c) {
                const double ov = c < 3 ? a[c] * a[3] / 255.0 : a[3],
                             wv = c < 3 ? w[4 * x + c] * w[4 * x + 3] / 255.0 : w[4 * x + 3];
                meanOurs[c] += ov, meanWitness[c] += wv, meanDiff[c] += std::fabs(ov - wv);
            }
        }
    }
    for (int c = 0; c < 4; ++c) {
        const double n = 720.0 * 540.0 * 255.0;
        EXPECT_LT(std::fabs(meanOurs[c] - meanWitness[c]) / n, 0.005) << "channel " << c;
        EXPECT_LT(meanDiff[c] / n, 0.01) << "channel " << c;
    }
}
