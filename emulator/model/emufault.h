#pragma once

#include <QString>
#include <QStringList>

// A misbehaviour asked for by a test or by the user (--fault NAME[:N][=VALUE]).
struct EmuFault
{
    enum Kind {
        DropReply,           // the request is executed, its reply is not sent (0x05 recovers it)
        IgnoreRequest,       // the request is neither executed nor answered
        StaleRepeat,         // 0x05 is answered with an older reply of another exchange number
        SplitReply,          // the reply goes out in two bursts, VALUE ms apart (default 50)
        DelayReply,          // the first byte of the reply goes out after VALUE ms (default 500)
        CorruptCrc,          // the reply's checksum is wrong
        StrayPrefix,         // VALUE stray bytes (default 3) go out before the reply
        Silent,              // nothing received is executed or answered, 0x05 included
        TruncateReply,       // only the first VALUE bytes of the reply go out (default: all but the CRC)
        PrinterNotAnswering, // printing commands answer 53
        OutOfPaper,          // printing commands answer 54
        TapeOutOfPaper,      // a control tape stops after VALUE documents (default 1): 54 and where to go on
        ForeignCard,         // status bit 2; fiscal documents answer 32
        EepromError,         // status bit 6; catalogue, clock, factory number and settings writes answer 25
        PaperLow,            // status bit 13
        Refuse,              // the request is not executed and is answered with the code VALUE
    };
    Kind kind = DropReply;
    // 0: every time; N: only the Nth time, counted from when the fault was added. What is counted:
    // replies for the reply faults (answers to 0x05 included), request frames for IgnoreRequest,
    // Refuse, the printer faults and the conditions, 0x05 bytes for StaleRepeat, frames and 0x05
    // bytes alike for Silent.
    int nth = 0;
    int value = -1; // milliseconds or bytes as noted above; -1 takes the default
    int seen = 0;   // events counted so far (kept by the device)

    EmuFault() = default;
    EmuFault(Kind k, int n = 0, int v = -1) : kind(k), nth(n), value(v) {}

    static QString name(Kind kind);
    static QStringList names();
    // "drop-reply", "drop-reply:3", "split-reply=150", "split-reply:2=150" (also "split-reply=150:2").
    static bool parse(const QString &text, EmuFault *fault, QString *error = nullptr);
    QString toString() const;
    int valueOr(int fallback) const { return value < 0 ? fallback : value; }
};
