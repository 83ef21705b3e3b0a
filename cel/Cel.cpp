#include "cel/Cel.h"

#include "cel/VectorQvd.h"
#include "pixel/PixmapArea.h"
#include "pixel/PixmapCanvas.h"

namespace {

using CelFormat = CEL_Representation::CelFormat;
using RepresentationPtr = CEL_Impl::RepresentationPtr;
using RepresentationList = CEL_Impl::RepresentationList;
using Lock = PL_RecursiveMutex::ScopeLock;

// Formats 1 to 3 are vector formats; conversion never produces them.
bool isVectorFormat(int f) {
    return f == CEL_Representation::VECTOR || f == CEL_Representation::VECTOR_RESERVED_2 ||
           f == CEL_Representation::VECTOR_RESERVED_3;
}

// The first representation with the smallest format value among those `accept` lets through.
template <class Accept> RepresentationPtr bestOf(const RepresentationList& list, Accept accept) {
    const RepresentationPtr* best = nullptr;
    for (const RepresentationPtr& rep : list) {
        const int f = rep->getFormat();
        if (!accept(f)) continue;
        if (!best || f < static_cast<int>((*best)->getFormat())) best = &rep;
    }
    return best ? *best : RepresentationPtr();
}

} // namespace

CEL_DynMessage::~CEL_DynMessage() = default;

// ---------------------------------------------------------------------------
// CEL_Impl

CEL_Impl::CEL_Impl(CEL_Cel* owner, CelFormat realFormat) : m_realFormat(realFormat), m_owner(owner) {}

CEL_Impl::~CEL_Impl() = default;

void CEL_Impl::setOriginalSrcSize(unsigned width, unsigned height) {
    Lock lock(m_mutex);
    m_originalSrcWidth = width;
    m_originalSrcHeight = height;
    m_hasOriginalSrcSize = true;
}

bool CEL_Impl::getOriginalSrcSize(unsigned& width, unsigned& height) const {
    Lock lock(m_mutex);
    width = m_originalSrcWidth;
    height = m_originalSrcHeight;
    return m_hasOriginalSrcSize;
}

void CEL_Impl::copySize(const CEL_Cel* other) {
    if (!other || other->getImpl() == this) return;
    unsigned w = 1, h = 1;
    other->getImpl()->getOriginalSrcSize(w, h);
    Lock lock(m_mutex);
    m_originalSrcWidth = w;
    m_originalSrcHeight = h;
}

bool CEL_Impl::isLoadDelayed() const {
    Lock lock(m_mutex);
    return m_loadDelayed;
}

void CEL_Impl::setLoadDelayed(bool loadDelayed) {
    Lock lock(m_mutex);
    m_loadDelayed = loadDelayed;
}

CEL_Cel* CEL_Impl::shallowCopy() const {
    auto* copy = new CEL_Cel(static_cast<CelFormat>(m_realFormat.load(std::memory_order_relaxed)));
    Lock lock(m_mutex);
    RepresentationList& list = copy->getImpl()->m_representations;
    list.reserve(m_representations.size());
    for (const RepresentationPtr& rep : m_representations) {
        // A depth buffer is re-fitted in place of its cel when an area pixmap
        // changes (see fitDepthBuffer), so each cel gets its own pixmap object;
        // the depths themselves stay shared.
        auto* z = rep->getFormat() == CEL_Representation::PIXMAP_AREA_ZBUF
                      ? dynamic_cast<CEL_PixmapAreaZ*>(rep.get())
                      : nullptr;
        list.push_back(z ? RepresentationPtr(new CEL_PixmapAreaZ(*z)) : rep);
    }
    return copy;
}

RepresentationPtr CEL_Impl::find(CelFormat f) const {
    for (const RepresentationPtr& rep : m_representations)
        if (rep->getFormat() == f) return rep;
    return {};
}

void CEL_Impl::remove(CelFormat f, RepresentationList& dropped) {
    auto keep = m_representations.begin();
    for (auto it = m_representations.begin(); it != m_representations.end(); ++it) {
        if ((*it)->getFormat() == f)
            dropped.push_back(std::move(*it));
        else
            *keep++ = std::move(*it);
    }
    m_representations.erase(keep, m_representations.end());
}

RepresentationPtr CEL_Impl::add(RepresentationPtr rep, RepresentationList& dropped) {
    if (RepresentationPtr held = find(rep->getFormat())) {
        dropped.push_back(std::move(rep));
        return held;
    }
    m_representations.push_back(rep);
    return rep;
}

RepresentationPtr CEL_Impl::bestPixmap() const {
    RepresentationPtr best = bestOf(m_representations, [](int f) { return !isVectorFormat(f); });
    return dynamic_cast<CEL_Pixmap*>(best.get()) ? best : RepresentationPtr();
}

bool CEL_Impl::convertibleTo(CelFormat f) const {
    if (m_representations.empty()) return false;
    if (find(f)) return true;
    if (isVectorFormat(f) || f == CEL_Representation::PIXMAP_MATTE16 ||
        m_realFormat.load(std::memory_order_relaxed) == CEL_Representation::PIXMAP_MATTE16)
        return false;

    switch (f) {
    case CEL_Representation::PROXY: {
        if (!find(CEL_Representation::PIXMAP_AREA_RGBA16) && !find(CEL_Representation::PIXMAP_RGBA16))
            return false;
        // A depth buffer cannot follow its pixmap to disk, and an empty or blank
        // image is not worth a file.
        if (find(CEL_Representation::PIXMAP_AREA_ZBUF) || m_blankImage.load(std::memory_order_relaxed))
            return false;
        const RepresentationPtr best = bestPixmap();
        if (auto* area = dynamic_cast<const CEL_PixmapAreaRGBA16*>(best.get()))
            return area->allocatedRect().area() != 0;
        if (auto* canvas = dynamic_cast<const CEL_PixmapRGBA16*>(best.get()))
            return static_cast<long long>(canvas->width()) * canvas->height() != 0;
        return false;
    }
    case CEL_Representation::PIXMAP_AREA_3D:
    case CEL_Representation::PIXMAP_AREA_ZBUF:
        for (const RepresentationPtr& rep : m_representations)
            if (rep->convertibleTo(f)) return true;
        return false;
    default:
        return true;
    }
}

// Makes the cel's depth buffer match `area`, the area pixmap just built from
// `source`: the depth buffer held, or one converted from the same source, is
// re-allocated to the area's allocated rectangle when the two differ.
void CEL_Impl::fitDepthBuffer(const RepresentationPtr& source, const RepresentationPtr& area,
                              RepresentationList& dropped) {
    RepresentationPtr z = find(CEL_Representation::PIXMAP_AREA_ZBUF);
    if (!z && source->convertibleTo(CEL_Representation::PIXMAP_AREA_ZBUF)) {
        if (CEL_Representation* made = source->convertTo(CEL_Representation::PIXMAP_AREA_ZBUF))
            z = add(RepresentationPtr(made), dropped);
    }
    if (!z || !area) return;

    auto* depth = dynamic_cast<CEL_PixmapAreaZ*>(z.get());
    auto* pixmap = dynamic_cast<CEL_PixmapArea*>(area.get());
    if (!depth || !pixmap || depth->allocatedRect() == pixmap->allocatedRect()) return;
    // A depth buffer without storage cannot be re-fitted; it is left as it is.
    RepresentationPtr fitted(depth->ToBBox(pixmap->allocatedRect()));
    if (!fitted) return;
    remove(CEL_Representation::PIXMAP_AREA_ZBUF, dropped);
    add(std::move(fitted), dropped);
}

RepresentationPtr CEL_Impl::convert(CelFormat f, int depth, RepresentationList& dropped) {
    if (depth < 1 || m_representations.empty()) return {};
    if (RepresentationPtr held = find(f)) return held;
    // Thumbnails are made from a representation by their own constructor.
    if (f == CEL_Representation::PIXMAP_RGBA8_THUMBNAIL) return {};

    // A proxy on disk is the cheapest way back to pixels it was made from.
    if (f != CEL_Representation::VECTOR) {
        if (RepresentationPtr proxy = find(CEL_Representation::PROXY); proxy && proxy->convertibleTo(f)) {
            if (CEL_Representation* made = proxy->convertTo(f)) return add(RepresentationPtr(made), dropped);
        }
    }

    RepresentationPtr result;
    RepresentationPtr source;
    for (const RepresentationPtr& rep : m_representations) {
        if (rep->convertibleTo(f)) {
            source = rep;
            break;
        }
    }
    if (source) {
        if (CEL_Representation* made = source->convertTo(f)) result = add(RepresentationPtr(made), dropped);
        if (f == CEL_Representation::PIXMAP_AREA_RGBA16) fitDepthBuffer(source, result, dropped);
    }
    if (result) return result;

    // The short chain through the 16-bit canvas pixmap, which every pixmap
    // format converts to or from.
    switch (f) {
    case CEL_Representation::PIXMAP_RGBA8:
    case CEL_Representation::PIXMAP_MATTE8:
    case CEL_Representation::PIXMAP_AREA_RGBA16:
        if (convert(CEL_Representation::PIXMAP_RGBA16, depth - 1, dropped))
            return convert(f, depth - 1, dropped);
        break;
    case CEL_Representation::PIXMAP_RGBA16:
        if (convert(CEL_Representation::PIXMAP_AREA_RGBA16, depth - 1, dropped))
            return convert(CEL_Representation::PIXMAP_RGBA16, depth - 1, dropped);
        break;
    default:
        break;
    }
    return {};
}

// ---------------------------------------------------------------------------
// CEL_Cel

CEL_Cel::CEL_Cel(CelFormat realFormat) : m_impl(new CEL_Impl(this, realFormat)) {}

CEL_Cel::~CEL_Cel() {
    delete m_impl;
}

bool CEL_Cel::isCached() const {
    return false;
}

void CEL_Cel::addRepresentation(const UT_SharedPtr<CEL_Representation>& rep) {
    if (!rep) return;
    Lock lock(m_impl->m_mutex);
    m_impl->m_representations.push_back(rep);
}

void CEL_Cel::setRepresentation(const UT_SharedPtr<CEL_Representation>& rep) {
    if (!rep) return;
    RepresentationList dropped;
    Lock lock(m_impl->m_mutex);
    dropped.swap(m_impl->m_representations);
    m_impl->m_representations.push_back(rep);
    m_impl->m_realFormat.store(rep->getFormat(), std::memory_order_relaxed);
}

void CEL_Cel::removeRepresentation(CelFormat f) {
    RepresentationList dropped;
    Lock lock(m_impl->m_mutex);
    m_impl->remove(f, dropped);
}

void CEL_Cel::keepOneRepresentation(CelFormat f) {
    RepresentationList dropped;
    Lock lock(m_impl->m_mutex);
    if (!m_impl->find(f)) return;
    RepresentationList& list = m_impl->m_representations;
    auto keep = list.begin();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if ((*it)->getFormat() != f)
            dropped.push_back(std::move(*it));
        else
            *keep++ = std::move(*it);
    }
    list.erase(keep, list.end());
    m_impl->m_realFormat.store(f, std::memory_order_relaxed);
}

UT_SharedPtr<CEL_Representation> CEL_Cel::findRepresentation(CelFormat f) const {
    Lock lock(m_impl->m_mutex);
    return m_impl->find(f);
}

UT_SharedPtr<CEL_Representation> CEL_Cel::findBestRepresentation() const {
    Lock lock(m_impl->m_mutex);
    return bestOf(m_impl->m_representations, [](int) { return true; });
}

CEL_SharedPtr<CEL_Pixmap> CEL_Cel::findBestPixmapRepresentation() const {
    Lock lock(m_impl->m_mutex);
    return CEL_SharedPtr<CEL_Pixmap>(static_cast<CEL_Pixmap*>(m_impl->bestPixmap().get()));
}

CEL_SharedPtr<CELVEC_Qvd> CEL_Cel::findBestVectorRepresentation() const {
    Lock lock(m_impl->m_mutex);
    return CEL_SharedPtr<CELVEC_Qvd>(
        dynamic_cast<CELVEC_Qvd*>(m_impl->find(CEL_Representation::VECTOR).get()));
}

bool CEL_Cel::convertibleTo(CelFormat f) const {
    Lock lock(m_impl->m_mutex);
    return m_impl->convertibleTo(f);
}

UT_SharedPtr<CEL_Representation> CEL_Cel::convertTo(CelFormat f) {
    RepresentationList dropped;
    Lock lock(m_impl->m_mutex);
    return m_impl->convert(f, 2, dropped);
}

UT_SharedPtr<CEL_Representation> CEL_Cel::getWorkingCopy(CelFormat f) {
    const UT_SharedPtr<CEL_Representation> kept = convertTo(f);
    return kept ? UT_SharedPtr<CEL_Representation>(kept->clone()) : UT_SharedPtr<CEL_Representation>();
}

int CEL_Cel::repCount() const {
    Lock lock(m_impl->m_mutex);
    return static_cast<int>(m_impl->m_representations.size());
}

unsigned long long CEL_Cel::allocatedSize() const {
    Lock lock(m_impl->m_mutex);
    unsigned long long total = 0;
    for (const RepresentationPtr& rep : m_impl->m_representations) total += rep->allocatedSize();
    return total;
}

double CEL_Cel::aspectRatio() const {
    const CEL_SharedPtr<CEL_Pixmap> best = findBestPixmapRepresentation();
    if (!best || best->height() == 0) return 4.0 / 3.0;
    return static_cast<double>(best->width()) / static_cast<double>(best->height());
}

CEL_Cel::CelFormat CEL_Cel::realFormat() const {
    return static_cast<CelFormat>(m_impl->m_realFormat.load(std::memory_order_relaxed));
}

void CEL_Cel::setRealFormat(CelFormat f) {
    Lock lock(m_impl->m_mutex);
    m_impl->m_realFormat.store(f, std::memory_order_relaxed);
}

bool CEL_Cel::isBlankImage() const {
    return m_impl->m_blankImage.load(std::memory_order_relaxed);
}
void CEL_Cel::setBlankImage(bool blank) {
    m_impl->m_blankImage.store(blank, std::memory_order_relaxed);
}
bool CEL_Cel::isInvalid() const {
    return m_impl->m_invalid.load(std::memory_order_relaxed);
}
void CEL_Cel::setInvalid(bool invalid) {
    m_impl->m_invalid.store(invalid, std::memory_order_relaxed);
}

void CEL_Cel::addMessage(UT_DynKey key, const CEL_DynMessage* msg) {
    // Taken before the lock so that a replaced message dies after it.
    UT_SharedPtr<const CEL_DynMessage> incoming(msg);
    Lock lock(m_impl->m_mutex);
    auto it = m_impl->m_messages.find(key);
    if (it != m_impl->m_messages.end()) {
        it->second.swap(incoming);
        if (!it->second) m_impl->m_messages.erase(it);
    } else if (incoming) {
        m_impl->m_messages.emplace(key, std::move(incoming));
    }
}

UT_SharedPtr<const CEL_DynMessage> CEL_Cel::findMessage(const UT_DynKey& key) const {
    Lock lock(m_impl->m_mutex);
    auto it = m_impl->m_messages.find(key);
    return it != m_impl->m_messages.end() ? it->second : UT_SharedPtr<const CEL_DynMessage>();
}

void CEL_Cel::copyMessagesFrom(const CEL_Cel* other) {
    if (!other || other == this) return;
    std::map<UT_DynKey, UT_SharedPtr<const CEL_DynMessage>> copied;
    {
        Lock lock(other->m_impl->m_mutex);
        copied = other->m_impl->m_messages;
    }
    // Replaced messages are swapped into `copied` and released with it, after the lock.
    Lock lock(m_impl->m_mutex);
    for (auto& [key, msg] : copied) m_impl->m_messages[key].swap(msg);
}
