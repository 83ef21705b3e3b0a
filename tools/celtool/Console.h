#pragma once
// What celtool writes to the terminal goes through here, from any thread: whole
// lines under one lock, and the status line of a batch (progress on standard
// error, redrawn in place) cleared before any other line so that messages never
// mix with it.

#include <QByteArray>
#include <QString>
#include <cstdio>

namespace celtool {

// Writes one line (a line feed is added) to `out`, clearing the status line first.
void writeLine(FILE* out, const QByteArray& line);

// Warnings and notes ("x.jpg: alpha dropped: JPEG has no alpha"): printed like
// errors by default. A batch prints each kind once (the text after the file
// name), or none with --quiet.
enum class WarningMode { Every, OncePerKind, None };
void setWarningMode(WarningMode mode);
void warning(const QString& text);
// How many warnings OncePerKind held back.
int heldBackWarnings();

// The last error line error() wrote on the calling thread (without "celtool: "),
// cleared as it is taken; a batch reports each frame's cause with it.
QString takeThreadError();
void noteThreadError(const QString& text); // called by error()

// The status line: drawn on standard error only when it is a terminal and the
// line is enabled; setStatus redraws at most ten times a second (force: now).
void enableStatus(bool enable);
bool statusEnabled();
void setStatus(const QString& text, bool force = false);
void clearStatus();

} // namespace celtool
