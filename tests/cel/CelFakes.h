#pragma once
// Stand-ins for the cel tests.

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "cel/Cel.h"

namespace celtest {

// A representation of any format that converts through prepared factories.
class FakeRep : public CEL_Representation {
public:
    using Maker = std::function<CEL_Representation*()>;
    explicit FakeRep(CelFormat format, std::map<int, Maker> makers = {})
        : m_format(format), m_makers(makers) {}
    CelFormat getFormat() const override { return m_format; }
    CEL_Representation* clone() const override { return new FakeRep(*this); }
    bool convertibleTo(CelFormat f) const override { return m_makers.count(f) != 0; }
    CEL_Representation* convertTo(CelFormat f) const override {
        return m_makers.count(f) ? m_makers.at(f)() : nullptr;
    }

private:
    CelFormat m_format;
    std::map<int, Maker> m_makers;
};

// Its destructor asks the cel for its count from *thread: *verdict becomes 1
// when that returned, -1 when the cel's lock kept it blocked. The caller joins.
template <class Base> struct UnlockProbe : Base {
    template <class... A>
    UnlockProbe(const CEL_Cel* c, std::atomic<int>* v, std::thread* t, A&&... args)
        : Base(std::forward<A>(args)...), cel(c), verdict(v), thread(t) {}
    ~UnlockProbe() override {
        auto done = std::make_shared<std::atomic<bool>>(false);
        *thread = std::thread([c = cel, done] { c->repCount(), done->store(true); });
        for (int i = 0; i < 400 && !done->load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        verdict->store(done->load() ? 1 : -1);
    }
    const CEL_Cel* cel;
    std::atomic<int>* verdict;
    std::thread* thread;
};

} // namespace celtest
