#pragma once

#include <QString>
#include <QStringList>

#include "cli.h"

// The command line as people type it: the program's options and the command's own may stand
// before or after the command's name, "--" ends the options, and whatever is refused is refused
// before a port is opened.
struct CliLine
{
    CliOptions options;
    const CliCommand *command = nullptr;
    QStringList arguments; // the command's own arguments, options taken out
    bool help = false;
    bool version = false;
    int refusal = 0; // exit status of a refused line, said on stderr already
};

// `args` without the program's name. The environment gives VIRTA_PORT and VIRTA_PASSWORD.
CliLine parseCommandLine(const QStringList &args);
