#include <VellumixCelCore/VellumixCelCore.h>

#include <cstdio>
#include <cstring>

int main() {
    Math::Box2di box(0, 0, 4, 3);
    std::printf("%s %lld\n", celcoreVersion(), static_cast<long long>(box.area()));
    return std::strlen(celcoreVersion()) > 0 && box.area() == 12 ? 0 : 1;
}
