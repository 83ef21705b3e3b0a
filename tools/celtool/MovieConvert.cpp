// `celtool convert clip.mov out.####.png`: the frames of a movie to numbered
// pictures. Each worker converts a contiguous run of frames in order, so it
// decodes on from one frame to the next with a decoder of its own.

#include <QFileInfo>
#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "BatchConvert.h"
#include "Command.h"
#include "MovieFiles.h"
#include "cel/Cel.h"
#include "cel/MovieFrame.h"
#include "celio/handlers/MovieHandler.h"

namespace celtool {

int runMovieConvert(const BatchOptions& o) {
    const QString in = o.inPattern;
    const FramePattern out(o.outPattern);
    MovieFacts facts;
    if (!movieFacts(in, facts)) {
        // Let the one read path say why.
        readCel(in, QString(), o.layer);
        return kFailure;
    }
    FrameRange range{1, facts.frames};
    if (o.frames) {
        range = *o.frames;
        if (range.first < 1 || range.last > facts.frames) {
            error(QStringLiteral("%1: frames %2-%3 out of range 1\u2013%4")
                      .arg(in)
                      .arg(range.first)
                      .arg(range.last)
                      .arg(facts.frames));
            return kFailure;
        }
    }
    long long begin = 0, end = range.last - range.first + 1;
    if (o.shard) std::tie(begin, end) = shardSlice(*o.shard, end);
    const long long count = end - begin;
    if (count <= 0) return kSuccess;

    std::atomic<long long> converted{0}, skipped{0}, failed{0};
    const int workers = int(std::min<long long>(std::max(1, o.threads), count));
    auto work = [&](long long from, long long to) {
        collectThreadMessages();
        for (long long i = from; i < to; ++i) {
            const long long frame = range.first + begin + i;
            const QString target = out.name(frame);
            if (o.skipExisting && QFileInfo::exists(target)) {
                ++skipped;
                continue;
            }
            const UT_SharedPtr<CEL_Cel> cel = readCel(in, QString(), o.layer, nullptr, nullptr, int(frame));
            if (cel && writeCel(cel.get(), target, o.write) == kSuccess)
                ++converted;
            else
                ++failed;
        }
    };
    std::vector<std::thread> threads;
    for (int w = 1; w < workers; ++w)
        threads.emplace_back(work, count * w / workers, count * (w + 1) / workers);
    work(0, count / workers);
    for (auto& t : threads) t.join();
    if (o.json)
        print(QStringLiteral("{\"frames\": %1, \"converted\": %2, \"skipped\": %3, \"failed\": %4}")
                  .arg(count)
                  .arg(converted.load())
                  .arg(skipped.load())
                  .arg(failed.load()));
    return failed ? kFailure : kSuccess;
}

} // namespace celtool
