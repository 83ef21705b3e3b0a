#pragma once
// `celtool convert` over frame sequences: a pattern pair or a list of files,
// converted on the background loader's workers.

#include <QString>
#include <optional>

#include "CelFiles.h"
#include "FrameSequence.h"

namespace celtool {

struct BatchOptions {
    // Pattern form: IN and OUT with a frame field each.
    QString inPattern, outPattern;
    // List form: the list file ("-": standard input), the output folder and extension.
    QString list, outDir, extension;

    std::optional<FrameRange> frames; // --frames (list form: line numbers, from 1)
    std::optional<Shard> shard;       // --shard
    int threads = 1;
    bool skipExisting = false;
    bool quiet = false;
    bool json = false;

    QString layer;
    WriteOptions write; // format, code, keepValues (infoString: see givenInfoString)
    bool infoStringGiven = false;
    QString givenInfoString; // --info-string
};

// Runs the batch; the options were checked for usage already. Exit code.
int runBatchConvert(const BatchOptions& options);
// The frames of the movie inPattern (--frames: movie frames, from 1) to the
// pictures outPattern names, by frame number; threads convert contiguous runs.
int runMovieConvert(const BatchOptions& options);

// The information string of SCAN or VAR output: the one given, else a SCAN or
// VAR input's (its ending zero dropped, its bytes decoded as UTF-8 again when
// they form UTF-8), else "Stage".
QString outputInfoString(bool given, const QString& givenString, const QString& inputString);

} // namespace celtool
