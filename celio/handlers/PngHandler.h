#pragma once
// PNG files.
//
// Reading decodes every colour type (grey, grey + alpha, RGB, RGBA, palette),
// every bit depth (1, 2, 4, 8, 16), transparency chunks and interlaced files.
// Files of 16 bits per sample give a CEL_PixmapRGBA16 whose samples are
// v * 32767 / 65535 (truncated); every other file gives a CEL_PixmapRGBA8 with
// the samples as they are, an opaque alpha when the file has none. A 1-bit
// grey file is read with black and white exchanged.
//
// Writing, by option code (compared in upper case):
//   "PNG"    8-bit RGB, each channel of the 16-bit pixmap shifted right by 7.
//   "PNG4"   8-bit, colour un-premultiplied: with m the largest of r, g, b, a,
//            each colour becomes min(c * 32767 / m, 32767) and alpha m; the
//            file has an alpha channel unless every pixel has m = 32767.
//   "PNGDP3" 16-bit RGB, "PNGDP4" 16-bit RGBA: s * 65535 / 32767 (0 for s <= 0),
//            colour kept premultiplied.
// The path "-" writes to standard output. readInfo reads the file header
// itself; bytes per channel is always reported as 1.
//
// Failures of writing post "Could not open file \"%1\" for writing (png).\n"
// or "Could not complete writing to file: \"%1\"\n" (context
// "QXCelUioPngHandler", action 2, code 20). A damaged file reads as nothing.

#include <memory>

#include "celcore_export.h"
#include "celio/Handler.h"

class CEL_PixmapRGBA8;

class CELCORE_EXPORT QXCelUioPngHandler final : public CELIO_Handler {
public:
    QStringList getExtensions() const override;
    QStringList getWriteOptionCodes() const override;
    // Offers an alpha channel.
    void getWriteOptions(CELIO_WriteOptions& options) const override;
    // alpha -> "PNG4", else "PNG".
    QString getWriteOptionsCode(const CELIO_WriteOptions& options) const override;

    bool read(const QString& path, const CEL_Context& context, CELIO_RepresentationList& list) const override;
    // The decoded image (owned by the caller), or null.
    CEL_Representation* read(const QString& path) const;
    bool write(CEL_Cel* cel, const QString& path, const QString& code) const override;
    CELIO_State readInfo(const QString& path, const CEL_Context& context, CELIO_Info& info) const override;
    CELIO_State readMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                           CELIO_RepresentationList& list) const override;
    CELIO_State readInfoMemory(const CELIO_MemoryFile& file, const CEL_Context& context,
                               CELIO_Info& info) const override;
    UT_DynKey formatClass() const override;

    // The straight colour byte the 8-bit codes store for the premultiplied
    // 16-bit colour `v` of a pixel whose largest sample is its alpha `a`
    // (0 <= v <= a <= 32767): the writers' own division. Lets a caller hand
    // over 16-bit colour that comes back as the byte it wants.
    static uint8_t straight8(int v, int a);

    // Writes straight (not premultiplied) 8-bit pixels as an 8-bit file that
    // holds them as they are: RGBA when some pixel is translucent, else RGB;
    // fully transparent pixels as transparent black, as "PNG4" stores them.
    // For callers holding a picture read as it was stored: it comes back
    // byte for byte, where the premultiplied route cannot tell every colour
    // of a faint pixel apart, and no premultiplied copy is made. Failures post
    // the writers' messages.
    bool writeStraight8(const CEL_PixmapRGBA8& pixels, const QString& path) const;

    // While one lives, the first large 8-bit PNG picture with alpha that this
    // thread reads through read(path, context, list) (non-interlaced, 8 MiB
    // of pixels or more) starts being compressed for writeStraight8 on another
    // of the library's threads as soon as its first rows are decoded, so that
    // compressing overlaps decoding. writeStraight8 of that very pixmap on this
    // thread then finishes the stream rather than starting it. The bands made
    // ahead follow a guess from the first rows (nothing is made ahead unless
    // some of them are translucent) and are kept only where the whole picture
    // leads to the same choices: the file's bytes are the same as without. The picture must reach
    // writeStraight8 unchanged; any other write through this handler, or the end of the scope, stops the
    // helper. Nothing is compressed ahead when the library runs on one thread.
    class CELCORE_EXPORT WriteAhead {
    public:
        WriteAhead();
        ~WriteAhead();
        WriteAhead(const WriteAhead&) = delete;
        WriteAhead& operator=(const WriteAhead&) = delete;
        // Whether writeStraight8 kept the bands compressed ahead.
        bool keptBands() const;

    private:
        struct State;
        std::unique_ptr<State> m;
    };

private:
    bool write8(CEL_Cel* cel, const QString& path, const QString& code) const;
    bool write16(CEL_Cel* cel, const QString& path, const QString& code) const;
};
