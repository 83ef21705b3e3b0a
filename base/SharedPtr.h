#pragma once
// Intrusive reference counting: UT_ShareBaseSafe is the base of shared
// objects, UT_SharedPtr<T> the strong holder, UT_SharedWeakPtr a weak one.
//
// Contract: a new object has count 0. Every UT_SharedPtr that holds it adds
// one; the holder that brings the count back to 0 deletes the object through
// its virtual destructor. A raw pointer returned by a factory (convertTo,
// clone) has count 0 until the first UT_SharedPtr takes it, so callers that
// never wrap it must delete it themselves. Counting is atomic; the pointer
// object itself is not synchronised (like std::shared_ptr).

#include <atomic>
#include <cstdint>
#include <utility>

#include "celcore_export.h"

class CELCORE_EXPORT UT_ShareBaseSafe {
public:
    UT_ShareBaseSafe() = default;
    // Copying a shared object never copies its holders.
    UT_ShareBaseSafe(const UT_ShareBaseSafe&) : m_refCount(0) {}
    UT_ShareBaseSafe& operator=(const UT_ShareBaseSafe&) { return *this; }
    virtual ~UT_ShareBaseSafe();

    void addRef() const { m_refCount.fetch_add(1, std::memory_order_relaxed); }
    // Returns true when this call released the last reference (the caller deletes).
    bool releaseRef() const { return m_refCount.fetch_sub(1, std::memory_order_acq_rel) == 1; }
    uint32_t refCount() const { return m_refCount.load(std::memory_order_acquire); }

private:
    mutable std::atomic<uint32_t> m_refCount{0};
};

template <class T> class UT_SharedPtr {
public:
    UT_SharedPtr() = default;
    UT_SharedPtr(std::nullptr_t) {}
    UT_SharedPtr(T* p) : m_p(p) { acquire(); }
    UT_SharedPtr(const UT_SharedPtr& o) : m_p(o.m_p) { acquire(); }
    UT_SharedPtr(UT_SharedPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <class U> UT_SharedPtr(const UT_SharedPtr<U>& o) : m_p(o.get()) { acquire(); }
    ~UT_SharedPtr() { release(); }

    UT_SharedPtr& operator=(const UT_SharedPtr& o) {
        UT_SharedPtr(o).swap(*this);
        return *this;
    }
    UT_SharedPtr& operator=(UT_SharedPtr&& o) noexcept {
        UT_SharedPtr(std::move(o)).swap(*this);
        return *this;
    }
    UT_SharedPtr& operator=(T* p) {
        UT_SharedPtr(p).swap(*this);
        return *this;
    }
    void reset(T* p = nullptr) { UT_SharedPtr(p).swap(*this); }
    void swap(UT_SharedPtr& o) noexcept { std::swap(m_p, o.m_p); }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool isNull() const { return m_p == nullptr; }

    template <class U> bool operator==(const UT_SharedPtr<U>& o) const { return m_p == o.get(); }
    bool operator==(std::nullptr_t) const { return m_p == nullptr; }
    bool operator==(const T* p) const { return m_p == p; }

private:
    void acquire() {
        if (m_p) m_p->addRef();
    }
    void release() {
        if (m_p && m_p->releaseRef()) delete m_p;
        m_p = nullptr;
    }
    T* m_p = nullptr;
};

template <class T, class U> UT_SharedPtr<T> UT_staticCast(const UT_SharedPtr<U>& p) {
    return UT_SharedPtr<T>(static_cast<T*>(p.get()));
}
template <class T, class U> UT_SharedPtr<T> UT_dynamicCast(const UT_SharedPtr<U>& p) {
    return UT_SharedPtr<T>(dynamic_cast<T*>(p.get()));
}

// Base of objects that weak references may point to. The weak references see
// the object through a shared control block that the object clears when it dies.
class CELCORE_EXPORT UT_SharedWeakBase : public UT_ShareBaseSafe {
public:
    struct ControlBlock {
        std::atomic<uint32_t> weakCount{1}; // the object's own reference counts as one
        std::atomic<UT_SharedWeakBase*> object{nullptr};
    };
    UT_SharedWeakBase();
    UT_SharedWeakBase(const UT_SharedWeakBase&);
    UT_SharedWeakBase& operator=(const UT_SharedWeakBase&) { return *this; }
    ~UT_SharedWeakBase() override;
    ControlBlock* controlBlock() const { return m_block; }

private:
    ControlBlock* m_block;
};

class CELCORE_EXPORT UT_SharedWeakPtrBase {
public:
    UT_SharedWeakPtrBase() = default;
    explicit UT_SharedWeakPtrBase(const UT_SharedWeakBase* object);
    UT_SharedWeakPtrBase(const UT_SharedWeakPtrBase& o);
    UT_SharedWeakPtrBase& operator=(const UT_SharedWeakPtrBase& o);
    ~UT_SharedWeakPtrBase();
    // The object, or null once it has been destroyed. Not a strong reference.
    UT_SharedWeakBase* rawGet() const;
    bool expired() const { return rawGet() == nullptr; }

private:
    void drop();
    UT_SharedWeakBase::ControlBlock* m_block = nullptr;
};

template <class T> class UT_SharedWeakPtr : public UT_SharedWeakPtrBase {
public:
    UT_SharedWeakPtr() = default;
    explicit UT_SharedWeakPtr(const T* object) : UT_SharedWeakPtrBase(object) {}
    T* get() const { return static_cast<T*>(rawGet()); }
};

// A process-unique 32-bit key: each default-constructed key is distinct, and keys
// order by their integer value.
class CELCORE_EXPORT UT_DynKey {
public:
    UT_DynKey();
    explicit constexpr UT_DynKey(uint32_t value) : m_value(value) {}
    constexpr uint32_t value() const { return m_value; }
    constexpr auto operator<=>(const UT_DynKey&) const = default;

private:
    uint32_t m_value;
};
