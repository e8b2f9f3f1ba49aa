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
    // The toolkit's own options, with their values, as given: for QApplication.
    QStringList toolkit;
};

// Reads the arguments after the program's name, before any window system is contacted.
// "-h"/"--help" and "-v"/"--version" win over everything else; "--" ends the options, so a file
// may begin with "-". The toolkit's options (-platform, -style, -display, -geometry, ..., with
// one or two dashes, and "-style=..." forms) are set aside with their values; any other option
// is a usage error, status 2.
CommandLine readCommandLine(const QStringList &arguments, const QString &version);
