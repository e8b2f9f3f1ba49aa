#pragma once

#include <QString>
#include <QStringList>

// What the program's command line asks for: a text to print before leaving (help, version or
// a usage error, with the exit status), or the files and addresses to open.
struct CommandLine {
    QString output;     // printed instead of starting, when not empty
    bool toError = false; // output goes to the error stream
    int exitCode = 0;
    QStringList files;
};

// Reads the arguments after the program's name. "-h"/"--help" and "-v"/"--version" win over
// everything else; "--" ends the options, so a file may begin with "-".
CommandLine readCommandLine(const QStringList &arguments, const QString &version);

// Whether the command line asks only for help or the version: answerable before any window
// system is contacted.
bool asksOnlyToPrint(const QStringList &arguments);
