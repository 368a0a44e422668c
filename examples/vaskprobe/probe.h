#ifndef VASKPROBE_PROBE_H
#define VASKPROBE_PROBE_H

// vaskprobe: an example host that drives the library through its public
// headers only. Each command lives in its own file and registers itself here.

#include <QString>
#include <QStringList>

#include <cstdio>

namespace probe {

struct Command {
    const char *name;
    const char *usage;   // one line shown by --help
    int (*run)(const QStringList &args); // returns the process exit code
    int tourOrder;       // position in the no-argument tour; 0 = not part of it
    int (*tour)();       // tour step, run with the tour's base directory set
};

// Adds a command at static-initialisation time; returns true so it can seed a
// namespace-scope constant.
bool registerCommand(const Command &command);

// Prints a line to standard output (UTF-8) and flushes, so the output keeps
// its order with the library's own printf messages.
void out(const QString &line);

// Prints a tour heading.
void heading(const QString &title);

// The path of the running vaskprobe executable, for steps that run it again
// in a child process.
QString selfPath();

} // namespace probe

#endif // VASKPROBE_PROBE_H
