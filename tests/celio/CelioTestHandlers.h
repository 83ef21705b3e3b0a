#pragma once
// Handlers used only by the framework tests.
//
// TestRawHandler serves a trivial raw format through CELIO_StreamHandler, so
// files, the manager's lookups and retries and the stream plumbing are
// exercised end to end: "CRW1", width and height (16-bit little-endian), the
// channel count (1 or 4), then the 8-bit pixels row by row.
//
// StubHandler lists the extensions and codes it is given, records what the
// manager asks of it and answers as configured.

#include <QFile>
#include <cstring>

#include "cel/Cel.h"
#include "celio/Handler.h"
#include "celio/InputStream.h"
#include "pixel/PixmapCanvas.h"

class TestRawHandler final : public CELIO_StreamHandler {
public:
    using CELIO_StreamHandler::read;

    QStringList getExtensions() const override { return {QStringLiteral("CRW"), QStringLiteral("CRAW")}; }
    QStringList getWriteOptionCodes() const override {
        return {QStringLiteral("CRW"), QStringLiteral("CRW4"), QStringLiteral("CRW1")};
    }
    void getWriteOptions(CELIO_WriteOptions& o) const override { o.singleChannel = o.alpha = true; }
    QString getWriteOptionsCode(const CELIO_WriteOptions& o) const override {
        return QStringLiteral("CRW") + (o.alpha ? "4" : o.singleChannel ? "1" : "");
    }
    UT_DynKey formatClass() const override { return CELIO_PixmapFormat; }

    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override {
        lastCode = code;
        lastCel = cel;
        const bool matte = code.toUpper() == QLatin1String("CRW1");
        lastWritten =
            cel->convertTo(matte ? CEL_Representation::PIXMAP_MATTE8 : CEL_Representation::PIXMAP_RGBA8);
        const auto* pix = dynamic_cast<const CEL_Pixmap*>(lastWritten.get());
        if (!pix) return false;
        const int w = pix->width(), h = pix->height(), ch = matte ? 1 : 4;
        QByteArray bytes("CRW1");
        for (int v : {w & 255, w >> 8, h & 255, h >> 8, ch}) bytes.append(char(v));
        const char* data =
            matte ? reinterpret_cast<const char*>(static_cast<const CEL_PixmapMatte8*>(pix)->data())
                  : reinterpret_cast<const char*>(static_cast<const CEL_PixmapRGBA8*>(pix)->data());
        bytes.append(data, qsizetype(w) * h * ch);
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }

    CELIO_State readInfo(const QString& path, const CEL_Context&, CELIO_Info& info) const override {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return CELIO_STATE_FAILED;
        const QByteArray h = f.read(9);
        if (h.size() != 9 || !h.startsWith("CRW1")) return CELIO_STATE_FAILED;
        const auto* b = reinterpret_cast<const uint8_t*>(h.constData());
        info.width = b[4] | (b[5] << 8);
        info.height = b[6] | (b[7] << 8);
        info.channels = b[8];
        info.bytesPerChannel = 1;
        info.optionCode = b[8] == 1 ? QStringLiteral("CRW1") : QStringLiteral("CRW4");
        return CELIO_STATE_OK;
    }

    // What the last write() was given and wrote (single-threaded tests only).
    mutable QString lastCode;
    mutable UT_SharedPtr<CEL_Cel> lastCel;
    mutable UT_SharedPtr<CEL_Representation> lastWritten;

protected:
    CEL_Representation* read(CELIO_InputStream& s) const override {
        char magic[4];
        if (s.read(magic, 4) != 4 || std::memcmp(magic, "CRW1", 4) != 0) return nullptr;
        const int w = s.getU16LE(), h = s.getU16LE(), ch = s.getU8();
        const size_t bytes = size_t(w) * size_t(h) * size_t(ch);
        if (ch == 1) {
            auto* p = new CEL_PixmapMatte8(w, h);
            if (s.read(p->data(), bytes) == bytes) return p;
            delete p;
        } else if (ch == 4) {
            auto* p = new CEL_PixmapRGBA8(w, h);
            if (s.read(p->data(), bytes) == bytes) return p;
            delete p;
        }
        return nullptr;
    }
};

class StubHandler final : public CELIO_Handler {
public:
    explicit StubHandler(const QStringList& extensions, const QStringList& codes = {})
        : m_extensions(extensions), m_codes(codes) {}

    QStringList getExtensions() const override { return m_extensions; }
    QStringList getWriteOptionCodes() const override { return m_codes; }
    QString getWriteOptionsCode(const CELIO_WriteOptions&) const override { return m_codes.value(0); }
    UT_DynKey formatClass() const override { return CELIO_PixmapFormat; }
    CELIO_State readInfo(const QString&, const CEL_Context&, CELIO_Info&) const override {
        if (throws) throw -1;
        return CELIO_STATE_OK;
    }
    bool read(const QString& path, const CEL_Context&, CELIO_RepresentationList&) const override {
        readPaths << path;
        if (throws) throw -1;
        return readResult;
    }
    bool write(CEL_Cel*, const QString&, const QString& code) const override {
        lastCode = code;
        return true;
    }
    bool getCallerInfoString(QString& out) const override {
        if (infoString.isNull()) return false;
        out = infoString;
        return true;
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
