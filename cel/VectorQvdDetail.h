#pragma once
// The optimised version the builder returns: CELVEC_OptimizedQvd with the
// optimised drawing it describes.

#include "cel/VectorQvd.h"

class QXOptimizedCelQvdImpl final : public CELVEC_OptimizedQvd {
public:
    explicit QXOptimizedCelQvdImpl(const UT_SharedPtr<GR_OptimizedVectorDrawingObj>& drawing)
        : m_drawing(drawing) {}
    // The drawing, its box, pivot and field size set from this object's.
    UT_SharedPtr<GR_OptimizedVectorDrawingObj> optimizedDrawing() const override {
        if (!m_drawing) return m_drawing;
        m_drawing->setBoundingBox(boundingBox());
        m_drawing->setPivot(GetPivotPoint(), IsPivotPointDefined());
        m_drawing->setFieldSize(getFieldSize());
        return m_drawing;
    }

private:
    UT_SharedPtr<GR_OptimizedVectorDrawingObj> m_drawing;
};
