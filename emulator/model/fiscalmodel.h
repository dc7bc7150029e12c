#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The register's command semantics and state, without any wire or timing concerns:
// one command code and payload in, one result code and payload out.
class FiscalModel
{
public:
    struct Result
    {
        quint8 code = 0;
        QByteArray payload;
    };

    FiscalModel();
    ~FiscalModel();

    // "fresh": no factory number, not activated. "ready": factory number set, registered
    // with five taxes, shift closed, cashier 20 with all rights.
    static bool isPreset(const QString &name);
    void applyPreset(const QString &name);

    Result execute(quint8 command, const QByteArray &payload);

    // Whole state as JSON (for --state FILE) and back; fromJson returns false on a document it cannot use.
    QJsonObject toJson() const;
    bool fromJson(const QJsonObject &json);

    // Atomic save (write to a temporary file, then rename) and load of the JSON state.
    bool saveToFile(const QString &path, QString *error = nullptr) const;
    bool loadFromFile(const QString &path, QString *error = nullptr);

    // Lines printed since the last call (the virtual paper), in the paper width.
    QStringList takePrinted();

    // Printing commands answer this code instead of printing (53 printer not answering,
    // 54 out of paper); 0 clears the fault.
    void setPrinterFault(quint8 code);

    // The register's clock runs at an offset from this source; tests fix it.
    void setHostClock(QDateTime (*now)());
    // The register's own clock now (host clock plus the offset set by 0x04).
    QDateTime registerClock() const;

    // Grows with every change of the saved state: save when it differs from the last saved value.
    quint64 revision() const;
    // How many times a command was executed (refusals included), and all commands together.
    quint64 executedCount(quint8 command) const;
    quint64 executedTotal() const;

    // Documents printed by one control tape request before it stops and answers where to go on.
    void setControlTapePageLimit(int documents);

private:
    struct State;
    State *d;
};
