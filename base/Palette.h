#pragma once
// Colour palettes of the vector library, as this library uses them.
//
// A palette list maps 64-bit colour ids to straight RGBA8 colours (with an
// optional name). Shapes of a vector drawing may name a colour by id: while
// the drawing's palette list holds the id, the listed colour is drawn,
// otherwise the colour stored in the shape. The list is shared: the load
// context hands it to drawings, and several drawings may use one list.
//
// Threads: a list may be read from several threads while another changes it
// (every operation takes the list's own lock). Code that must see a
// consistent set of colours across several calls holds the application's
// palette lock (PL_AppLock, base/Mutex.h): renders take it shared, colour
// recovery exclusively.
//
// Palette files (palette.qvp, one per folder of drawings) are text, one
// colour a line: the id as 16 hexadecimal digits, a blank, the colour as
// RRGGBBAA (8 hexadecimal digits), then optionally a blank and a name that
// runs to the end of the line. Blank lines and lines starting with '#' are
// skipped. Ids are written in ascending order.

#include <QString>
#include <cstdint>
#include <map>
#include <shared_mutex>
#include <vector>

#include "base/SharedPtr.h"
#include "celcore_export.h"

// A straight (unassociated) 8-bit colour.
struct CM_ColorRGBA8 {
    uint8_t r = 0, g = 0, b = 0, a = 255;
    constexpr bool operator==(const CM_ColorRGBA8&) const = default;
};

class CELCORE_EXPORT CM_PaletteList : public UT_ShareBaseSafe {
public:
    struct Entry {
        uint64_t id = 0;
        CM_ColorRGBA8 color;
        QString name;
    };

    CM_PaletteList() = default;
    ~CM_PaletteList() override;

    // The colour listed under id; false (out untouched) when there is none.
    bool findColor(uint64_t id, CM_ColorRGBA8& out) const;
    bool contains(uint64_t id) const;
    // Adds the id or replaces its colour and name.
    void setColor(uint64_t id, const CM_ColorRGBA8& color, const QString& name = QString());
    bool removeColor(uint64_t id);
    void clear();
    std::size_t size() const;
    // Every entry, ids ascending.
    std::vector<Entry> entries() const;

    // Replaces the list by a palette file's colours. False (list unchanged) when
    // the file cannot be read or a line is malformed; *why then says which.
    bool load(const QString& path, QString* why = nullptr);
    // Writes the list as a palette file; false when the file cannot be written.
    bool store(const QString& path) const;
    // The file's text form, and its parser (used by load and store).
    QByteArray toText() const;
    bool fromText(const QByteArray& text, QString* why = nullptr);

private:
    mutable std::shared_mutex m_mutex;
    std::map<uint64_t, Entry> m_entries;
};

// Shared holder of palette objects; the same intrusive holder as everywhere else.
template <class T> using CM_SharedPtr = UT_SharedPtr<T>;

// How colours missing from the palette list are treated when a drawing is
// loaded: with colorRecovery the ids the drawing uses and the list lacks are
// added with the drawing's stored colours; delayed recovery leaves them
// pending for a later pass; useElementPaletteList is carried for the host.
class CELCORE_EXPORT CM_ColorRecoveryContext {
public:
    CM_ColorRecoveryContext() = default;
    CM_ColorRecoveryContext(bool colorRecovery, bool delayedColorRecovery, bool useElementPaletteList)
        : m_colorRecovery(colorRecovery), m_delayed(delayedColorRecovery),
          m_useElementPaletteList(useElementPaletteList) {}
    bool isColorRecovery() const { return m_colorRecovery; }
    bool isDelayedColorRecovery() const { return m_delayed; }
    bool useElementPaletteList() const { return m_useElementPaletteList; }

private:
    bool m_colorRecovery = false;
    bool m_delayed = false;
    bool m_useElementPaletteList = false;
};

// The palette lists of folders of drawings: the palette file "palette.qvp"
// beside a drawing. Drawings of one folder share one list; the file is read
// again when it changes on disk (size or modification time).
class CELCORE_EXPORT CM_PaletteManager {
public:
    static constexpr const char* kPaletteFileName = "palette.qvp";

    // The list of the folder that holds `drawingPath`: the folder's palette
    // file, or an empty list when there is none. A malformed file posts
    // "Palette file %1 ignored: %2" (action 0) and gives an empty list.
    static CM_SharedPtr<CM_PaletteList> GetPaletteListFromPath(const QString& drawingPath);
    // Forgets every list (the next request reads the files again).
    static void clear();
};
