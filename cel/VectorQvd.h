#pragma once
// CELVEC_Qvd: a cel drawn with vector strokes (format VECTOR). It carries what
// rasterising the drawing needs: the output resolution and canvas rectangle,
// whether the rendered colour is premultiplied, and the opacity applied.
// Rendering itself belongs to the graphics library; until a drawing is
// attached the representation converts to nothing.

#include "base/MathTypes.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CELCORE_EXPORT CELVEC_Qvd : public CEL_Representation {
public:
    CELVEC_Qvd();
    // Copies the settings; the drawing, once there is one, is shared.
    CELVEC_Qvd(const CELVEC_Qvd& other);
    CELVEC_Qvd& operator=(const CELVEC_Qvd&) = delete;
    ~CELVEC_Qvd() override;

    CelFormat getFormat() const override { return VECTOR; }
    // The drawing is shared, never deep-copied: use sharedCopy().
    CEL_Representation* clone() const override;
    // True for PIXMAP_AREA_RGBA16 and PIXMAP_RGBA8, the formats a render yields.
    bool convertibleTo(CelFormat format) const override;
    // Null without a drawing.
    CEL_Representation* convertTo(CelFormat format) const override;
    Math::Box2di canvasRect() const override { return m_canvasRect; }

    // A new CELVEC_Qvd made by the copy constructor.
    virtual CELVEC_Qvd* sharedCopy() const;

    bool premultiply() const { return m_premultiply; }
    void setPremultiply(bool premultiply) { m_premultiply = premultiply; }
    const Math::Size2di& resolution() const { return m_resolution; }
    // The resolution (negatives as 0) and the canvas rectangle (0, 0, w, h).
    void setResolution(int width, int height);
    // Both taken unchanged.
    void setResolution(const Math::Size2di& resolution, const Math::Box2di& canvas);
    void copyResolution(const CELVEC_Qvd& other);
    double appliedOpacity() const { return m_appliedOpacity; }
    void setAppliedOpacity(double opacity) { m_appliedOpacity = opacity; }

    // The model transformation the drawing is rendered with (identity by default).
    const Math::Matrix4x4& getTransMatrix() const { return m_transMatrix; }
    void setTransMatrix(const Math::Matrix4x4& m) { m_transMatrix = m; }
    // Applies m after the current transformation: transMatrix = m * transMatrix.
    void applyMatrix(const Math::Matrix4x4& m) { m_transMatrix = m * m_transMatrix; }

private:
    bool m_premultiply = true;
    Math::Size2di m_resolution{720, 540};
    Math::Box2di m_canvasRect{0, 0, 720, 540};
    Math::Matrix4x4 m_transMatrix;
    double m_appliedOpacity = 100.0;
};
