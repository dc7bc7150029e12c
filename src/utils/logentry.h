#pragma once

// Internal to the logging files: what one entry of a log file looks like.

#include <QString>
#include <QtGlobal>

namespace logging {

struct LogEntryHeader
{
    bool dateInName = false; // the file name carries the date: no date line before the entry
    QString sourceFile;
    QString function;
    int line = 0;
    int type = QtDebugMsg;
};

// The whole entry with its message and the closing new line: a time stamp line with label, source
// file, line and thread, then the function and the message each under the time stamp; without a
// source file and line, one line with the short label.
QString entryText(const LogEntryHeader &h, const QString &message);

} // namespace logging
