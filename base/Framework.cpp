#include "base/Framework.h"

#include <atomic>
#include <pthread.h>

namespace {

std::atomic<B3D_Framework*> g_host{nullptr};
std::atomic<int> g_threadNumber{0};

} // namespace

B3D_Framework::~B3D_Framework() = default;

QString B3D_Framework::threadBaseName() const {
    return QStringLiteral("celcore");
}

void B3D_Framework::initThread() {
    const int number = g_threadNumber.fetch_add(1, std::memory_order_relaxed) + 1;
    // Linux keeps 15 bytes of a thread's name; the number is the part worth keeping.
    const QByteArray suffix = '-' + QByteArray::number(number);
    const QByteArray name = threadBaseName().toUtf8().left(15 - suffix.size()) + suffix;
    pthread_setname_np(pthread_self(), name.constData());
}

B3D_Framework* B3D_Framework::instance() {
    static B3D_Framework defaultFramework;
    B3D_Framework* host = g_host.load(std::memory_order_acquire);
    return host ? host : &defaultFramework;
}

B3D_Framework* B3D_Framework::setInstance(B3D_Framework* framework) {
    return g_host.exchange(framework, std::memory_order_acq_rel);
}
