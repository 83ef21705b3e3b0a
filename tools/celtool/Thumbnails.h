#pragma once
// Thumbnails as the tool shows them: CEL_PixmapRGBA8ThumbNail pictures laid
// over white and made opaque, alone (thumbnail) or on a labelled sheet
// (contact-sheet and the demo).

#include <QString>
#include <QStringList>
#include <memory>

class CEL_Cel;
class CEL_PixmapRGBA8;

namespace celtool {

// The largest square size N whose thumbnail of a w x h picture fits in
// boxW x boxH (0 when none does).
int fittingThumbnailSize(int w, int h, int boxW, int boxH);

// The thumbnail of the cel that fits in boxW x boxH, from its canvas or, with
// content, from its area form (the drawing's box), made from premultiplied
// colour (straight input is premultiplied first). Over white, alpha 255
// everywhere: where the thumbnail declined to blend (colour above alpha
// somewhere), each channel becomes min(255, c + 255 - a) here. Null after a
// one-line message naming `path` when there is nothing to show.
std::unique_ptr<CEL_PixmapRGBA8> opaqueThumbnail(CEL_Cel& cel, const QString& path, int boxW, int boxH,
                                                 bool content);

// A sheet of cells, `columns` per row, each a boxW x boxH box for a
// thumbnail with a label below it. Cells are independent: different threads
// may fill different cells at once (the background loader's functors do).
class ContactSheet {
public:
    ContactSheet(long long count, int boxW, int boxH, int columns);
    ~ContactSheet();
    ContactSheet(const ContactSheet&) = delete;
    ContactSheet& operator=(const ContactSheet&) = delete;

    // False when there was no memory for the sheet (after a message).
    bool valid() const;
    // The label under cell `index`.
    void setLabel(long long index, const QString& text);
    // Cell `index` shows the cel's thumbnail, centred in its box. False after a
    // one-line message naming `path` when there is nothing to show.
    bool place(long long index, CEL_Cel& cel, const QString& path);
    // Writes the sheet to `out` in `format` (an extension): kSuccess or kFailure.
    int write(const QString& out, const QString& format) const;

private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// A sheet of labelled thumbnails of `files`, `columns` per row, each in a
// boxW x boxH box with the file's name below it; the files are read one at a
// time. A file that cannot be read leaves its cell empty and is reported.
// Written to `out` in `format` (an extension). kSuccess; kFailure when a file
// could not be shown or the sheet not written.
int writeContactSheet(const QStringList& files, int boxW, int boxH, int columns, const QString& out,
                      const QString& format);
// The sheet's size for `count` files, in 64 bits.
void contactSheetSize(long long count, int boxW, int boxH, int columns, long long& width, long long& height);

} // namespace celtool
