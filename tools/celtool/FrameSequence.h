#pragma once
// Frame sequences for batch conversion: name patterns with one frame field,
// frame ranges, shards and lists of files.
//
// Pattern: the frame field is the last one in the file name (folders are taken
// literally): a run of '#' (the number zero-padded to the run's length) or
// printf's "%d" / "%0Nd"; "%%" stands for "%". Earlier fields are literal text.
// A number longer than its padding is written whole, as printf does.
//
// Shards: of M frames in order, shard I of N takes the frames at positions
// floor(I*M/N) up to floor((I+1)*M/N), excluded: fixed, contiguous, and sizes
// within one of each other, so N machines given the same list never overlap
// and together cover it.

#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace celtool {

class FramePattern {
public:
    // Parses `text`; hasField() tells whether it names a sequence.
    explicit FramePattern(const QString& text);
    bool hasField() const { return m_width >= 0; }
    // The name of frame n (the text itself without a field).
    QString name(long long frame) const;
    // The frames whose files exist, in increasing order, each with its file.
    std::vector<std::pair<long long, QString>> existing() const;

private:
    QString m_folder; // with its trailing '/', or empty
    QString m_prefix;
    QString m_suffix;
    int m_width = -1; // -1: no field; 0: unpadded
    QString m_text;
};

struct FrameRange {
    long long first = 0, last = 0;
};
// "A-B" (A <= B) or "A"; non-negative. Empty when the text is not one.
std::optional<FrameRange> parseFrameRange(const QString& text);

struct Shard {
    long long index = 0, count = 1;
};
// "I/N" with 0 <= I < N. Empty when the text is not one.
std::optional<Shard> parseShard(const QString& text);
// The positions [begin, end) that a shard takes of `total` frames.
std::pair<long long, long long> shardSlice(const Shard& shard, long long total);

// The lines of a list file ("-": standard input): each non-empty line one
// path (a trailing carriage return dropped). Empty with `error` set when it
// cannot be read.
QStringList readList(const QString& path, QString* error);

} // namespace celtool
