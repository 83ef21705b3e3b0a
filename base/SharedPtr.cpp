#include "base/SharedPtr.h"

UT_ShareBaseSafe::~UT_ShareBaseSafe() = default;

UT_SharedWeakBase::UT_SharedWeakBase() : m_block(new ControlBlock) {
    m_block->object.store(this);
}

UT_SharedWeakBase::UT_SharedWeakBase(const UT_SharedWeakBase& o)
    : UT_ShareBaseSafe(o), m_block(new ControlBlock) {
    m_block->object.store(this);
}

UT_SharedWeakBase::~UT_SharedWeakBase() {
    m_block->object.store(nullptr, std::memory_order_release);
    if (m_block->weakCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_block;
}

UT_SharedWeakPtrBase::UT_SharedWeakPtrBase(const UT_SharedWeakBase* object)
    : m_block(object ? object->controlBlock() : nullptr) {
    if (m_block) m_block->weakCount.fetch_add(1, std::memory_order_relaxed);
}

UT_SharedWeakPtrBase::UT_SharedWeakPtrBase(const UT_SharedWeakPtrBase& o) : m_block(o.m_block) {
    if (m_block) m_block->weakCount.fetch_add(1, std::memory_order_relaxed);
}

UT_SharedWeakPtrBase& UT_SharedWeakPtrBase::operator=(const UT_SharedWeakPtrBase& o) {
    if (o.m_block) o.m_block->weakCount.fetch_add(1, std::memory_order_relaxed);
    drop();
    m_block = o.m_block;
    return *this;
}

UT_SharedWeakPtrBase::~UT_SharedWeakPtrBase() {
    drop();
}

void UT_SharedWeakPtrBase::drop() {
    if (m_block && m_block->weakCount.fetch_sub(1, std::memory_order_acq_rel) == 1) delete m_block;
    m_block = nullptr;
}

UT_SharedWeakBase* UT_SharedWeakPtrBase::rawGet() const {
    return m_block ? m_block->object.load(std::memory_order_acquire) : nullptr;
}

namespace {
std::atomic<uint32_t> g_nextKey{1};
}

UT_DynKey::UT_DynKey() : m_value(g_nextKey.fetch_add(1, std::memory_order_relaxed)) {}
