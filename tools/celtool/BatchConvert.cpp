// Batch conversion of frame sequences on the background loader.
//
// The main thread queues the frames in order, never more than two per worker
// ahead, each with a functor that converts and writes its frame on the worker
// that read it; the functor reports back through a small queue, and the main
// thread counts, draws the progress line and stops everything on a signal.
// Outputs are written beside their targets and renamed into place (writeCel),
// so a frame's output exists only whole; frames in flight when a signal comes
// are finished, the others never start.
#include "BatchConvert.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "Command.h"
#include "Console.h"
#include "base/Framework.h"
#include "cel/Cel.h"
#include "cel/Context.h"
#include "celio/Manager.h"
#include "celio/ManagerAsync.h"

namespace celtool {

namespace {

std::atomic<bool> g_interrupted{false};

struct FrameTask {
    long long number = 0;
    QString input, output;
};

struct Outcome {
    FrameTask task;
    bool ok = false;
    QString error;
};

// What the workers hand back to the main thread.
class Outcomes {
public:
    void push(Outcome o) {
        std::lock_guard lock(m_mutex);
        m_done.push_back(std::move(o));
        m_changed.notify_one();
    }
    // Waits up to `wait` for at least one, then takes all there are.
    std::deque<Outcome> take(std::chrono::milliseconds wait) {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, wait, [this] { return !m_done.empty(); });
        return std::exchange(m_done, {});
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Outcome> m_done;
};

struct Job {
    const BatchOptions& options;
    Outcomes outcomes;
};

// Reads (or takes what the loader read), converts and writes one frame, on
// the calling thread. Never throws.
Outcome convertFrame(const Job& job, const FrameTask& task, const CELIO_RepresentationList* loaded) {
    Outcome o{task, false, {}};
    takeThreadError();
    try {
        QString inString;
        const UT_SharedPtr<CEL_Cel> cel =
            readCel(task.input, QString(), job.options.layer, &inString, loaded);
        if (cel) {
            WriteOptions write = job.options.write;
            write.infoString =
                outputInfoString(job.options.infoStringGiven, job.options.givenInfoString, inString);
            o.ok = writeCel(cel.get(), task.output, write) == kSuccess;
        }
    } catch (const std::exception& e) { // out of memory, mostly
        error(QStringLiteral("%1: %2").arg(task.input, QString::fromLocal8Bit(e.what())));
    } catch (...) {
        error(QStringLiteral("%1: conversion failed").arg(task.input));
    }
    if (!o.ok) {
        o.error = takeThreadError();
        if (o.error.isEmpty()) o.error = QStringLiteral("%1: conversion failed").arg(task.input);
    }
    return o;
}

class FrameFunctor final : public CELIO_ManagerAsync::CallbackFunctor {
public:
    FrameFunctor(Job& job, FrameTask task) : m_job(job), m_task(std::move(task)) {}
    void operator()(CELIO_ManagerAsync::CallbackData& data) override {
        // What the loader's read said is dropped: a frame that failed there is
        // read again by readCel, which names the cause in one line.
        collectThreadMessages();
        m_job.outcomes.push(
            convertFrame(m_job, m_task, data.representations.empty() ? nullptr : &data.representations));
    }

private:
    Job& m_job;
    const FrameTask m_task;
};

// The workers' set-up: named for `top -H`, and their library messages kept
// from the terminal (each frame reports its own failure).
class ToolFramework final : public B3D_Framework {
public:
    QString threadBaseName() const override { return QStringLiteral("celtool"); }
    void initThread() override {
        B3D_Framework::initThread();
        collectThreadMessages();
    }
};

// The frames of the run, in order: a range, the files that match, or a list.
class Frames {
public:
    // Usage problems give kUsage, others kFailure (after a message); kSuccess.
    int build(const BatchOptions& o) {
        m_options = &o;
        if (!o.list.isEmpty()) {
            QString why;
            m_list = readList(o.list, &why);
            if (!why.isEmpty()) {
                error(QStringLiteral("%1: %2").arg(
                    o.list == QLatin1String("-") ? QStringLiteral("standard input") : o.list, why));
                return kFailure;
            }
            QSet<QString> outputs;
            for (const QString& in : m_list) {
                if (in == QLatin1String("-")) {
                    error(QStringLiteral("a list names files, not \"-\""));
                    return kUsage;
                }
                const QString out = listOutput(in);
                if (outputs.contains(out)) {
                    error(QStringLiteral("two inputs of the list write %1").arg(out));
                    return kUsage;
                }
                outputs.insert(out);
            }
            m_first = 1;
            m_count = m_list.size();
            if (o.frames) {
                if (o.frames->last > m_count || o.frames->first < 1) {
                    error(QStringLiteral("--frames %1-%2: the list has frames 1-%3")
                              .arg(o.frames->first)
                              .arg(o.frames->last)
                              .arg(m_count));
                    return kUsage;
                }
                m_first = o.frames->first;
                m_count = o.frames->last - o.frames->first + 1;
            }
        } else if (o.frames) {
            m_in = FramePattern(o.inPattern);
            m_out = FramePattern(o.outPattern);
            m_first = o.frames->first;
            m_count = o.frames->last - o.frames->first + 1;
        } else {
            m_in = FramePattern(o.inPattern);
            m_out = FramePattern(o.outPattern);
            m_existing = m_in.existing();
            m_count = qsizetype(m_existing.size());
            if (m_count == 0) {
                error(QStringLiteral("%1: no file matches").arg(o.inPattern));
                return kFailure;
            }
        }
        const Shard all;
        const auto [begin, end] = shardSlice(o.shard.value_or(all), m_count);
        m_begin = begin;
        m_end = end;
        return kSuccess;
    }

    long long begin() const { return m_begin; }
    long long end() const { return m_end; }

    // The frame at `position` of the whole sequence.
    FrameTask at(long long position) const {
        FrameTask t;
        if (!m_list.isEmpty()) {
            t.number = m_first + position;
            t.input = m_list[qsizetype(t.number - 1)];
            t.output = listOutput(t.input);
            return t;
        }
        if (!m_existing.empty()) {
            t.number = m_existing[size_t(position)].first;
            t.input = m_existing[size_t(position)].second;
        } else {
            t.number = m_first + position;
            t.input = m_in.name(t.number);
        }
        t.output = m_out.name(t.number);
        return t;
    }

private:
    QString listOutput(const QString& input) const {
        return m_options->outDir + QLatin1Char('/') + QFileInfo(input).completeBaseName() + QLatin1Char('.') +
               m_options->extension;
    }

    const BatchOptions* m_options = nullptr;
    FramePattern m_in{QString()}, m_out{QString()};
    QStringList m_list;
    std::vector<std::pair<long long, QString>> m_existing;
    long long m_first = 0, m_count = 0, m_begin = 0, m_end = 0;
};

QString clock(double seconds) {
    const long long s = (long long)(seconds + 0.5);
    return s >= 3600 ? QStringLiteral("%1:%2:%3")
                           .arg(s / 3600)
                           .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(s % 60, 2, 10, QLatin1Char('0'))
                     : QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString outputInfoString(bool given, const QString& givenString, const QString& inputString) {
    if (given) return givenString;
    if (inputString.isNull()) return QStringLiteral("Stage");
    // The reader gives each byte as a Latin-1 character and the writer stores
    // UTF-8, so bytes that form UTF-8 text are decoded first: SCAN converted
    // to SCAN keeps its string block.
    QString text = inputString;
    if (text.endsWith(QChar(0))) text.chop(1);
    const QByteArray bytes = text.toLatin1();
    const QString decoded = QString::fromUtf8(bytes);
    return decoded.toUtf8() == bytes ? decoded : text;
}

int runBatchConvert(const BatchOptions& o) {
    Frames frames;
    if (const int rc = frames.build(o); rc != kSuccess) return rc;
    const long long total = frames.end() - frames.begin();
    if (total > 0) {
        // The output's format and code, checked once before any frame is read.
        if (const int rc = checkOutput(frames.at(frames.begin()).output, o.write); rc != kSuccess) return rc;
    }

    enableStatus(!o.quiet); // drawn only when standard error is a terminal
    const bool chatty = statusEnabled();
    setWarningMode(chatty ? WarningMode::OncePerKind : WarningMode::None);
    g_interrupted = false;
    watchSignals([] { g_interrupted = true; });

    qxCelAddPixmapHandler(); // every handler before the first worker reads
    ToolFramework framework;
    B3D_Framework* previousFramework = B3D_Framework::setInstance(&framework);
    CELIO_ManagerAsync::startService(unsigned(o.threads));

    Job job{o, {}};
    const CEL_Context context = readContext(o.layer);
    const long long ahead = 2LL * o.threads;
    long long next = frames.begin(), inFlight = 0, converted = 0, skipped = 0;
    std::vector<Outcome> failures;
    QElapsedTimer timer;
    timer.start();

    const QString shardText =
        o.shard ? QStringLiteral(" shard %1/%2").arg(o.shard->index).arg(o.shard->count) : QString();
    const auto drawStatus = [&](bool force) {
        if (!chatty) return;
        const long long done = converted + skipped + qsizetype(failures.size());
        const double seconds = timer.elapsed() / 1000.0;
        const double fps = seconds > 0 ? converted / seconds : 0.0;
        QString text = QStringLiteral("%1/%2").arg(done).arg(total);
        if (converted > 0 && fps > 0) {
            text += QStringLiteral(" %1 fps").arg(fps, 0, 'f', 1);
            text += QStringLiteral(" ETA %1").arg(clock((total - done) / fps));
        }
        setStatus(text + shardText, force);
    };
    const auto record = [&](Outcome&& outcome) {
        if (outcome.ok)
            ++converted;
        else
            failures.push_back(std::move(outcome));
    };

    drawStatus(true);
    while (!g_interrupted) {
        if (next < frames.end() && inFlight < ahead) {
            FrameTask task = frames.at(next++);
            if (o.skipExisting && QFileInfo::exists(task.output)) {
                ++skipped;
            } else {
                const QString input = task.input;
                const UT_SharedPtr<CELIO_ManagerAsync::CallbackFunctor> functor(new FrameFunctor(job, task));
                if (CELIO_ManagerAsync::read(input, context, QString(), functor))
                    ++inFlight;
                else // no handler for its extension: readCel goes by the content, here
                    record(convertFrame(job, task, nullptr));
            }
            drawStatus(false);
            continue;
        }
        if (inFlight == 0) break;
        for (Outcome& outcome : job.outcomes.take(std::chrono::milliseconds(100))) {
            --inFlight;
            record(std::move(outcome));
        }
        drawStatus(false);
    }
    const bool interrupted = g_interrupted;
    if (interrupted) {
        clearStatus();
        error(QStringLiteral("interrupted: finishing the frames being converted"));
    }
    // Waits for the frames being converted; frames queued behind them are dropped.
    CELIO_ManagerAsync::stopService();
    B3D_Framework::setInstance(previousFramework);
    for (Outcome& outcome : job.outcomes.take(std::chrono::milliseconds(0))) record(std::move(outcome));
    removeTemporaries();
    drawStatus(true);
    clearStatus();

    const double seconds = timer.elapsed() / 1000.0;
    if (chatty) {
        if (const int held = heldBackWarnings(); held > 0)
            writeLine(
                stderr,
                QStringLiteral("celtool: %1 more warnings like those above not shown").arg(held).toUtf8());
        writeLine(stderr, QStringLiteral("celtool: %1 frames: %2 converted, %3 skipped, %4 failed in %5 s%6")
                              .arg(total)
                              .arg(converted)
                              .arg(skipped)
                              .arg(failures.size())
                              .arg(seconds, 0, 'f', 1)
                              .arg(interrupted ? QStringLiteral(" (interrupted)") : QString())
                              .toUtf8());
    }
    if (o.json) {
        // Workers finish in any order; the report lists failures by frame so that
        // two runs over the same frames print the same summary.
        std::stable_sort(failures.begin(), failures.end(),
                         [](const Outcome& a, const Outcome& b) { return a.task.number < b.task.number; });
        QJsonArray failed;
        for (const Outcome& f : failures)
            failed.append(QJsonObject{{QStringLiteral("frame"), double(f.task.number)},
                                      {QStringLiteral("input"), f.task.input},
                                      {QStringLiteral("output"), f.task.output},
                                      {QStringLiteral("error"), f.error}});
        const QJsonObject summary{
            {QStringLiteral("frames"), double(total)},    {QStringLiteral("converted"), double(converted)},
            {QStringLiteral("skipped"), double(skipped)}, {QStringLiteral("failed"), failed},
            {QStringLiteral("interrupted"), interrupted}, {QStringLiteral("seconds"), seconds}};
        print(QString::fromUtf8(QJsonDocument(summary).toJson(QJsonDocument::Compact)));
    }
    return interrupted || !failures.empty() ? kFailure : kSuccess;
}

} // namespace celtool
