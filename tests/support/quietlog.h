#pragma once

// For tests whose code under test logs every frame: the messages are noise there, and only what
// ends a test (a fatal or critical message) is printed. Installed with qInstallMessageHandler.

#include <QString>
#include <QtGlobal>

#include <cstdio>

inline void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg || type == QtCriticalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}
