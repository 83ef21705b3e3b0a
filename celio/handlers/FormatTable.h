#pragma once
// What the file families have in common that the handler interface does not
// carry, kept in small tables beside the handler registry (FormatTable.cpp):
//
//  - alpha conventions: whether a family's reader delivers straight or
//    premultiplied colour, and, per option code, which of the two the writer
//    expects and whether its file keeps alpha at all;
//  - signatures: the first bytes of each family's files, to find a file's
//    family by its content when its extension does not tell.
//
// The library's own pixels hold premultiplied colour, and its readers and
// writers pass values through as their formats' rules say: a writer that
// stores values unchanged into a format whose files carry straight colour
// "expects straight colour". A program that moves pictures between formats
// (celtool) converts between the two where reader and writer differ.
//
// A new handler adds its rows to these tables. A family without rows is taken
// to read and expect premultiplied colour (values pass unchanged) and is never
// found by content. The shape a code writes comes from the handler itself
// (getWriteOptions / getWriteOptionsCode, else the option-code convention of
// its name); the writer table corrects it where a file keeps no alpha despite
// its name, or keeps alpha without saying so.

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "celcore_export.h"

class CELIO_Handler;

// How colour relates to alpha in pixels.
enum class CELIO_Alpha : uint8_t {
    Premultiplied, // colour multiplied by alpha (associated alpha): the library's own convention
    Straight,      // colour independent of alpha (unassociated alpha)
};

// An output shape.
struct CELIO_Shape {
    int channels = 3;  // 1 grey or matte, 3 RGB, 4 RGBA
    bool deep = false; // 16-bit channels
};

class CELCORE_EXPORT CELIO_FormatTable {
public:
    // How many leading bytes detect() and matches() look at.
    static constexpr int kSignatureBytes = 32;

    // The name messages use for the family ("TIFF", "JPEG"); its main extension by default.
    static QString name(const CELIO_Handler& handler);

    // The colour the family's reader delivers for the file at `path` (TIFF
    // files say which they hold).
    static CELIO_Alpha readAlpha(const CELIO_Handler& handler, const QString& path);
    // Whether the reader delivers the file's alpha; false for a reader that
    // makes every pixel opaque (BMP).
    static bool readsAlpha(const CELIO_Handler& handler);
    // The colour the writer of `code` expects, so that its file holds the
    // picture (compared case-insensitively).
    static CELIO_Alpha writeAlpha(const CELIO_Handler& handler, const QString& code);

    // The shape the handler writes for `code`: the flags of getWriteOptions
    // that getWriteOptionsCode maps to it (fewest first), else the code's name
    // ("1", "3", "4" last, "DP" before the digit; a bare name is 8-bit RGB),
    // with the writer table's word on alpha last.
    static CELIO_Shape codeShape(const CELIO_Handler& handler, const QString& code);
    // The code among getWriteOptionsCode(flags for `want`) and
    // getWriteOptionCodes() that keeps most of `want`: colour, then alpha,
    // then 16-bit depth, without adding depth or alpha that `want` lacks;
    // ties go to the flags' code, then to the list's order. Null when the
    // handler names no code at all.
    static QString codeFor(const CELIO_Handler& handler, const CELIO_Shape& want);

    // The main extension of the family whose signature the leading bytes
    // match, strongest signatures first; empty when none does. Families
    // without a handler are listed too ("GIF"), so that a caller can say what
    // a file it cannot read is.
    static QString detect(const QByteArray& head);
    // The extension the content detect() recognises goes by (lower case):
    // the family's, or for a family of several containers the container's
    // ("mkv" for Matroska in the MOV family); empty when none matches.
    static QString detectExtension(const QByteArray& head);
    // Whether the leading bytes match the signature of the handler's family.
    static bool matches(const CELIO_Handler& handler, const QByteArray& head);
    // Whether the handler's family has a signature at all.
    static bool hasSignature(const CELIO_Handler& handler);
};
