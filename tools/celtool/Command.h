#pragma once
// celtool's subcommands. A subcommand is one function in its own source file
// plus one row in the table of Commands.cpp.

#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <vector>

namespace celtool {

enum ExitCode { kSuccess = 0, kFailure = 1, kUsage = 2 };

struct Command {
    const char* name;
    const char* summary;
    // Runs the subcommand; args are the words after the subcommand's name.
    int (*run)(const QStringList& args);
};

const std::vector<Command>& commands();

// Parses args into parser (adds --help); prints the help and returns kSuccess
// through *exitCode when asked, or an error and kUsage. Returns true when the
// command should go on.
bool parseArgs(QCommandLineParser& parser, const QString& command, const QString& synopsis,
               const QStringList& args, int* exitCode);

// Messages to standard error, one line each, prefixed with "celtool: "
// (errors, and the warnings and notes that go with a result).
void error(const QString& text);
void print(const QString& text); // to standard output, with a line feed

int runDemo(const QStringList& args);
int runInfo(const QStringList& args);
int runConvert(const QStringList& args);
int runDump(const QStringList& args);
int runComposite(const QStringList& args);
int runCompare(const QStringList& args);
int runFlatten(const QStringList& args);
int runFilter(const QStringList& args);
int runThumbnail(const QStringList& args);
int runContactSheet(const QStringList& args);
int runCache(const QStringList& args);
int runRender(const QStringList& args);
int runStack(const QStringList& args);
int runTiles(const QStringList& args);
int runUntile(const QStringList& args);
int runInterlace(const QStringList& args);
int runInbetween(const QStringList& args);

} // namespace celtool
