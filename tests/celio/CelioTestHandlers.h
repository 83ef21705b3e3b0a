#pragma once
// Handlers used only by the framework tests.
//
// TestRawHandler serves a trivial raw format through CELIO_StreamHandler, so the
// stream plumbing and the manager work end to end on real files: "CRW1", width
// and height (16-bit little-endian), the channel count (1 or 4), 8-bit pixels;
// it reads mattes only.
//
// StubHandler lists the extensions and codes it is given, records what it is
// asked and answers as configured.

#include <QFile>
#include <cstring>
#include <memory>
#include <ostream>

#include "cel/Cel.h"
#include "celio/Handler.h"
#include "celio/InputStream.h"
#include "pixel/PixmapCanvas.h"

// Readable test failures.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

class TestRawHandler final : public CELIO_StreamHandler {
public:
    using CELIO_StreamHandler::read;

    QStringList getExtensions() const override { return {QStringLiteral("CRW")}; }
    QStringList getWriteOptionCodes() const override {
        return {QStringLiteral("CRW"), QStringLiteral("CRW1")};
    }
    QString getWriteOptionsCode(const CELIO_WriteOptions&) const override { return QStringLiteral("CRW"); }
    UT_DynKey formatClass() const override { return CELIO_PixmapFormat; }

    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override {
        lastCel = cel;
        const bool matte = code.toUpper() == QLatin1String("CRW1");
        const auto rep =
            cel->convertTo(matte ? CEL_Representation::PIXMAP_MATTE8 : CEL_Representation::PIXMAP_RGBA8);
        const auto* pix = dynamic_cast<const CEL_Pixmap*>(rep.get());
        if (!pix) return false;
        const int w = pix->width(), h = pix->height(), ch = matte ? 1 : 4;
        QByteArray bytes("CRW1");
        for (int v : {w & 255, w >> 8, h & 255, h >> 8, ch}) bytes.append(char(v));
        const void* data = matte ? static_cast<const void*>(static_cast<const CEL_PixmapMatte8*>(pix)->data())
                                 : static_cast<const void*>(static_cast<const CEL_PixmapRGBA8*>(pix)->data());
        bytes.append(static_cast<const char*>(data), qsizetype(w) * h * ch);
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

    // Header queries are left to the real handlers.
    CELIO_State readInfo(const QString&, const CEL_Context&, CELIO_Info&) const override {
        return CELIO_STATE_UNSUPPORTED;
    }

    // What the last write() was given (single-threaded tests only).
    mutable UT_SharedPtr<CEL_Cel> lastCel;

protected:
    CEL_Representation* read(CELIO_InputStream& s) const override {
        char magic[4];
        if (s.read(magic, 4) != 4 || std::memcmp(magic, "CRW1", 4) != 0) return nullptr;
        const int w = s.getU16LE(), h = s.getU16LE();
        if (s.getU8() != 1) return nullptr; // the tests read mattes only
        auto p = std::make_unique<CEL_PixmapMatte8>(w, h);
        const size_t bytes = size_t(w) * size_t(h);
        return s.read(p->data(), bytes) == bytes ? p.release() : nullptr;
    }
};

class StubHandler : public CELIO_Handler {
public:
    explicit StubHandler(const QStringList& extensions, const QStringList& codes = {})
        : m_extensions(extensions), m_codes(codes) {}

    QStringList getExtensions() const override { return m_extensions; }
    QStringList getWriteOptionCodes() const override { return m_codes; }
    QString getWriteOptionsCode(const CELIO_WriteOptions&) const override { return m_codes.value(0); }
    UT_DynKey formatClass() const override { return CELIO_PixmapFormat; }
    CELIO_State readInfo(const QString&, const CEL_Context&, CELIO_Info&) const override {
        return throws ? throw -1 : CELIO_STATE_OK;
    }
    bool read(const QString& path, const CEL_Context&, CELIO_RepresentationList&) const override {
        readPaths << path;
        return throws ? throw -1 : readResult;
    }
    bool write(CEL_Cel*, const QString&, const QString& code) const override {
        lastCode = code;
        return true;
    }
    bool getCallerInfoString(QString& out) const override {
        out = infoString;
        return !infoString.isNull();
    }
    void setCallerInfoString(const QString& text) override { infoString = text; }

    bool readResult = true;
    bool throws = false;
    QString infoString; // null: the handler takes no part in information strings
    mutable QStringList readPaths;
    mutable QString lastCode;

private:
    QStringList m_extensions;
    QStringList m_codes;
};
