// Writes the panning HD cel of the batch benchmarks as TGA frames:
//   celcore_bench_frames DIR [COUNT]   (DIR/f.0001.tga ..., default 200 frames)
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

#include "BenchFrames.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2 || args.size() > 3) {
        std::fprintf(stderr, "usage: celcore_bench_frames DIR [COUNT]\n");
        return 2;
    }
    const int count = args.size() == 3 ? args[2].toInt() : 200;
    if (count < 1) {
        std::fprintf(stderr, "celcore_bench_frames: COUNT must be at least 1\n");
        return 2;
    }
    const bool ok = benchframes::writeFrames(args[1], count);
    deleteCELIO_ManagerInstance();
    return ok ? 0 : 1;
}
