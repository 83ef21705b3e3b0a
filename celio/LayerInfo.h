#pragma once
// The layer tree of a layered image file, independent of the file format:
// readLayerInfo fills a CELIO_LayerInfo, writeWithLayers writes one, and
// CELIO_LayerInfo::Iterator walks its layers.
//
// Tree contract:
// - The base group is the root. A group holds its own layers and its sub-groups,
//   each list in file order.
// - The iterator visits the base group's layers in list order, then, depth first,
//   each sub-group in list order: its own layers, then its sub-groups by the same
//   rule. Groups without layers are passed through without stopping; a tree
//   without any layer is at its end right after the iterator is made.
// - The iterator holds positions into the tree's lists: do not add or remove
//   layers or groups while one walks it.
// - Display names tell same-named siblings apart: occurrence 2 or more is shown
//   as "name#occurrence".

#include <QString>
#include <QStringList>
#include <list>
#include <vector>

#include "base/SharedPtr.h"
#include "celcore_export.h"
#include "pixel/Representation.h"

class CELCORE_EXPORT CELIO_Layer {
public:
    // The name, with "#occurrence" appended when the occurrence is 2 or more.
    QString getDisplayName() const;
    // The group path joined by `separator`, one more separator, then the display
    // name; every blank of the result becomes "_" ("Char A" / "Line Art" with ":"
    // gives "Char_A:Line_Art").
    QString path(const char* separator) const;

    bool visible = true;
    int recordIndex = 0; // position of the layer's record in the file
    int occurrence = 0;  // 1 + the number of earlier siblings with the same name
    int width = 0;
    int height = 0;
    float opacity = 1.0f; // 0 .. 1
    int blendMode = 1;    // the file format's blend-mode code (-1: a key the format does not know)
    QString name;
    QStringList groupPath;                           // display names of the enclosing groups, outermost first
    UT_SharedPtr<CEL_Representation> representation; // the layer's image, when loaded
};

class CELCORE_EXPORT CELIO_LayerGroup {
public:
    CELIO_LayerGroup() = default;
    explicit CELIO_LayerGroup(int groupId) : id(groupId) {}

    // As CELIO_Layer::getDisplayName.
    QString getDisplayName() const;

    bool visible = true;
    int id = 0;
    int occurrence = 0;
    float opacity = 1.0f;
    int blendMode = 1;
    QString name;
    std::list<CELIO_Layer> layers;      // the group's own layers, in file order
    std::list<CELIO_LayerGroup> groups; // the sub-groups, in file order
};

class CELCORE_EXPORT CELIO_LayerInfo {
public:
    // A forward walk over every layer of a tree (order in the contract above).
    //   for (CELIO_LayerInfo::Iterator it(info); !it.end(); ++it) use(*it);
    class CELCORE_EXPORT Iterator {
    public:
        explicit Iterator(CELIO_LayerInfo& info);

        // Compare the current positions only.
        bool operator==(const Iterator& other) const { return m_current == other.m_current; }
        bool operator!=(const Iterator& other) const { return !(*this == other); }
        // The current layer; only while !end().
        CELIO_Layer& operator*() const { return *m_current; }
        CELIO_Layer* operator->() const { return &*m_current; }
        Iterator& operator++();
        bool end() const { return m_end; }
        // Starts the walk again from the first layer.
        void reset() { init(); }

    protected:
        void init();
        // Moves to the first layer of the next group in walk order, popping
        // finished groups; leaves the group stack empty when none is left.
        void goToNextGroup();

    private:
        using LayerPos = std::list<CELIO_Layer>::iterator;
        using GroupPos = std::list<CELIO_LayerGroup>::iterator;

        bool m_end = false;
        CELIO_LayerInfo* m_info;
        LayerPos m_current;
        std::vector<CELIO_LayerGroup*> m_groups; // groups being visited, innermost last
        std::vector<GroupPos> m_subGroupPos;     // parallel: position in each one's sub-groups
    };

    int getLayerCount() const { return m_layerCount; }
    int getVisibleLayerCount() const { return m_visibleLayerCount; }
    // The document layer: the document size, and the composite image as its
    // representation.
    CELIO_Layer& getComposite() { return m_composite; }
    const CELIO_Layer& getComposite() const { return m_composite; }
    // The root of the tree.
    CELIO_LayerGroup& getBaseGroup() { return m_baseGroup; }
    const CELIO_LayerGroup& getBaseGroup() const { return m_baseGroup; }

    // Adds every layer of the tree to the layer count and every visible one to
    // the visible count. The counts are not reset first: call it once, after
    // the tree is complete.
    void update();

private:
    int m_layerCount = 0;
    int m_visibleLayerCount = 0;
    CELIO_Layer m_composite;
    CELIO_LayerGroup m_baseGroup;
};
