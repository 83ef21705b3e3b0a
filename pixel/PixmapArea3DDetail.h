#pragma once
// The sample-list insertion of CEL_PixmapArea3D, shared with depth
// compositing, which runs it on its own stores while rows are composited in
// parallel. Internal to the library.
//
// A Store gives:
//   CEL_Pixel3D& at(unsigned long long i)   the sample at index i
//   bool valid(unsigned long long i)        whether i names a sample
//   unsigned long long size()               how many samples a list may hold at most
//   unsigned long long append(const CEL_Pixel3D& s)   stores s, returns its index
//                                           (may throw std::bad_alloc; nothing is linked then)
//   void link(CEL_Pixel3D& head, unsigned long long prev, unsigned long long index)
//                                           sets the next of prev (0: of head) to index
// References from at() may be invalidated by append(), so the walk keeps
// indices and resolves links only after appending.

#include <vector>

#include "pixel/Pixel.h"

namespace CEL_Depth3D {

constexpr int kOpaque = 32767;

inline bool isEmpty(const CEL_Pixel3D& p) {
    return p.colour.isBlack();
}
inline bool isOpaque(const CEL_Pixel3D& p) {
    return p.colour.a == kOpaque;
}

// The identifier a sample gets in a pixmap whose currentDepthBufferId is offset.
inline unsigned offsetId(unsigned id, unsigned offset) {
    return id != 0 ? id + offset : 0u;
}

// Inserts s (identifier final) into the list headed by h; see
// CEL_PixmapArea3D::insertPixel for the five cases.
// s is taken by value: it may be a sample of the store, which append() moves.
template <class Store> void insertSample(CEL_Pixel3D& h, const CEL_Pixel3D s, Store& store) {
    if (isEmpty(s)) return;
    if (isEmpty(h)) {
        h = s;
        h.next = 0;
        return;
    }
    if (s.z >= h.z) {
        if (isOpaque(s)) {
            h = s;
            h.next = 0;
            return;
        }
        const unsigned long long old = store.append(h);
        h = s;
        h.next = 0;
        store.link(h, 0, old);
        return;
    }
    if (isOpaque(h)) return;
    unsigned long long prev = 0, cur = h.next;
    // A list never holds more samples than the store; a longer walk is a cycle.
    for (unsigned long long steps = 0; cur != 0 && store.valid(cur) && steps < store.size(); ++steps) {
        const CEL_Pixel3D& e = store.at(cur);
        if (s.z >= e.z) {
            CEL_Pixel3D n = s;
            n.next = isOpaque(s) ? 0 : cur;
            const unsigned long long index = store.append(n);
            store.link(h, prev, index);
            return;
        }
        if (isOpaque(e)) return;
        prev = cur;
        cur = e.next;
    }
    CEL_Pixel3D n = s;
    n.next = 0;
    const unsigned long long index = store.append(n);
    store.link(h, prev, index);
}

// Inserts first and the samples reached from first.next through from (a list
// of another pixmap), with identifiers offset.
template <class Store>
void insertList(CEL_Pixel3D& h, const CEL_Pixel3D& first, const std::vector<CEL_Pixel3D>& from,
                unsigned offset, Store& store) {
    // The walk is bounded by the source's size as it was: from may be the
    // destination's own store, which grows here.
    const std::size_t n = from.size();
    CEL_Pixel3D s = first;
    for (std::size_t steps = 0;; ++steps) {
        const unsigned long long next = s.next;
        s.depthBufferId = offsetId(s.depthBufferId, offset);
        insertSample(h, s, store);
        if (next == 0 || next >= n || steps >= n) return;
        s = from[next];
    }
}

// The Store over a pixmap's own vector.
struct VectorStore {
    std::vector<CEL_Pixel3D>& v;

    CEL_Pixel3D& at(unsigned long long i) { return v[i]; }
    bool valid(unsigned long long i) const { return i < v.size(); }
    unsigned long long size() const { return v.size(); }
    unsigned long long append(const CEL_Pixel3D& s) {
        v.push_back(s);
        return v.size() - 1;
    }
    void link(CEL_Pixel3D& head, unsigned long long prev, unsigned long long index) {
        (prev == 0 ? head.next : v[prev].next) = index;
    }
};

} // namespace CEL_Depth3D
