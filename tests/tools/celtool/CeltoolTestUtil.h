#pragma once
// Running celtool (and the witness programs) as separate processes.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "cel/Cel.h"
#include "celio/handlers/TgaHandler.h"
#include "pixel/PixmapCanvas.h"
#include "support/TestSupport.h"

namespace celtest {

struct ToolRun {
    int exit = -1;
    QByteArray out, err;
    // The lines of standard error, without the empty last one.
    QList<QByteArray> errLines() const {
        return err.isEmpty() ? QList<QByteArray>{} : err.trimmed().split('\n');
    }
};

// `env` sets variables for the run (an empty value removes one).
inline ToolRun runProgram(const QString& program, const QStringList& args, const QByteArray& input = {},
                          const QString& workDir = {}, const QMap<QString, QString>& env = {}) {
    QProcess p;
    if (!workDir.isEmpty()) p.setWorkingDirectory(workDir);
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (auto it = env.begin(); it != env.end(); ++it)
        it.value().isEmpty() ? e.remove(it.key()) : e.insert(it.key(), it.value());
    p.setProcessEnvironment(e);
    p.start(program, args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

inline ToolRun celtool(const QStringList& args, const QByteArray& input = {}, const QString& workDir = {},
                       const QMap<QString, QString>& env = {}) {
    return runProgram(QStringLiteral(CELCORE_TOOL_PATH), args, input, workDir, env);
}

inline QJsonObject jsonObject(const QByteArray& text) {
    return QJsonDocument::fromJson(text).object();
}

// `celtool info --json` of one file.
inline QJsonObject infoOf(const QString& path) {
    return jsonObject(celtool({QStringLiteral("info"), QStringLiteral("--json"), path}).out);
}

// ImageMagick's decode of a file as straight r, g, b, a values of `depth` bits
// (8 or 16), top row first; empty when it fails.
inline std::vector<int> magickPixels(const QString& path, int depth = 8) {
    const ToolRun r =
        runProgram(QStringLiteral("convert"),
                   {path, QStringLiteral("-auto-orient"), QStringLiteral("-depth"), QString::number(depth),
                    QStringLiteral("-endian"), QStringLiteral("MSB"), QStringLiteral("rgba:-")});
    std::vector<int> v;
    if (r.exit != 0) return v;
    if (depth == 8)
        for (char c : r.out) v.push_back(uint8_t(c));
    else
        for (qsizetype i = 0; i + 1 < r.out.size(); i += 2)
            v.push_back(uint8_t(r.out[i]) << 8 | uint8_t(r.out[i + 1]));
    return v;
}

// Writes raw r, g, b, a samples of a w x h picture as `target` (an ImageMagick
// output such as "PNG32:a.png") with extra arguments before the target.
inline bool magickWrite(const std::vector<int>& rgba, int w, int h, int depth, const QString& target,
                        const QStringList& extra = {}) {
    QByteArray raw;
    for (int v : rgba) {
        if (depth == 16) raw.append(char(v >> 8));
        raw.append(char(v & 0xff));
    }
    QStringList args{QStringLiteral("-size"),   QStringLiteral("%1x%2").arg(w).arg(h),
                     QStringLiteral("-depth"),  QString::number(depth),
                     QStringLiteral("-endian"), QStringLiteral("MSB"),
                     QStringLiteral("rgba:-")};
    args << extra << target;
    return runProgram(QStringLiteral("convert"), args, raw).exit == 0;
}

// The bytes of a TGA file (TGA4 unless `code`) of w x h pixels, top row first.
inline QByteArray tgaOf(const std::vector<CEL_PixelRGBA8>& pixels, int w, int h, const char* code = "TGA4") {
    auto* p = new CEL_PixmapRGBA8(w, h);
    std::copy(pixels.begin(), pixels.end(), p->data());
    UT_SharedPtr<CEL_Cel> cel(new CEL_Cel(CEL_Representation::PIXMAP_RGBA8));
    cel->addRepresentation(UT_SharedPtr<CEL_Representation>(p));
    return QXCelUioTgaHandler().encode(cel.get(), QString::fromLatin1(code));
}

// Signed 16-bit little-endian values (`dump --depth 16`, `--raw16`).
inline std::vector<int> int16s(const QByteArray& bytes) {
    std::vector<int> v;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        v.push_back(int16_t(uint8_t(bytes[i]) | (uint8_t(bytes[i + 1]) << 8)));
    return v;
}

// `filter ARGS --raw16` of `in` as signed 16-bit r, g, b, a per pixel (premultiplied, 32767 = 1);
// its standard error in `err` when asked.
inline std::vector<int> raw16(const TempDir& dir, const QString& in, const QStringList& args,
                              QByteArray* err = nullptr) {
    const QString raw = dir.path(QStringLiteral("filter-out.raw"));
    QFile::remove(raw);
    const ToolRun r =
        celtool(QStringList{QStringLiteral("filter")} << args << QStringLiteral("--raw16") << raw << in);
    EXPECT_EQ(r.exit, 0) << qPrintable(args.join(' ')) << r.err.constData();
    if (err) *err = r.err;
    return int16s(readFile(raw));
}

// n pixels of seeded random bytes, alpha 255 when `opaque`.
inline std::vector<CEL_PixelRGBA8> randomPixels(int n, unsigned seed, bool opaque) {
    std::mt19937 rng(seed);
    std::vector<CEL_PixelRGBA8> v(static_cast<std::size_t>(n));
    for (CEL_PixelRGBA8& p : v)
        p = CEL_PixelRGBA8{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), uint8_t(opaque ? 255 : rng())};
    return v;
}

// r, g, b, a of pixel (x, y) in `celtool dump` bytes of a picture w wide.
inline std::array<int, 4> pixelAt(const QByteArray& raw, int w, int x, int y) {
    const qsizetype i = (qsizetype(y) * w + x) * 4;
    return {uint8_t(raw[i]), uint8_t(raw[i + 1]), uint8_t(raw[i + 2]), uint8_t(raw[i + 3])};
}

// Command lines written compactly: cases apart at '|', words apart at spaces,
// a word that is a key of `names` standing for its value.
inline QList<QStringList> argLists(const char* text, const QMap<QString, QString>& names = {}) {
    QList<QStringList> cases;
    for (const QString& c : QString::fromUtf8(text).split(QLatin1Char('|'))) {
        QStringList words = c.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        for (QString& w : words) w = names.value(w, w);
        cases << words;
    }
    return cases;
}

// Each command line head + case + tail is a usage error: exit 2, a message
// holding `says`, and `out` as it was (an absent file stays absent).
inline void expectUsageErrors(const QStringList& head, const QList<QStringList>& cases,
                              const QStringList& tail, const QString& out, const char* says = "") {
    const QByteArray before = readFile(out);
    const bool existed = QFileInfo::exists(out);
    for (const QStringList& words : cases) {
        SCOPED_TRACE(qPrintable((head + words).join(' ')));
        const ToolRun r = celtool(head + words + tail);
        EXPECT_EQ(r.exit, 2) << r.err.constData();
        EXPECT_TRUE(!r.err.isEmpty() && r.err.contains(says)) << r.err.constData();
        EXPECT_TRUE(QFileInfo::exists(out) == existed && readFile(out) == before);
    }
}

inline bool haveMagick() {
    return haveProgram("convert");
}

} // namespace celtest
