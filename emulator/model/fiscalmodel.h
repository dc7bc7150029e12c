#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <memory>

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

    // With a state file kept (keepStateIn), a change that cannot be saved is undone and answered
    // with 5 ("storage read/write error"): the register never reports a document it lost.
    Result execute(quint8 command, const QByteArray &payload);

    // Whole state as JSON (the single-file form, archive included) and back. fromJson takes
    // nothing from a document it cannot use whole; *error then names the field and what is wrong,
    // e.g. "openDocument.positions[0].section: 21 is out of range (1 to 20)".
    QJsonObject toJson() const;
    bool fromJson(const QJsonObject &json, QString *error = nullptr);

    // The state file: PATH holds the state without its archive and is replaced atomically;
    // journalPath(PATH) holds the archive, one document a line, and only grows. A link of another
    // user on the way to PATH is never followed. loadFromFile reads that pair (the journal only
    // where needed: its first and last documents, checked against their signs), or a single file
    // with the archive inside (earlier versions), which the first save then carries over; a file
    // it refuses is left as it was. saveToFile writes the pair at PATH: the documents made since
    // the last save when PATH is the pair loaded or saved last, both whole otherwise. createStore
    // is saveToFile for a PATH that holds no state, refused when a journal without its state is
    // there.
    bool saveToFile(const QString &path, QString *error = nullptr);
    bool loadFromFile(const QString &path, QString *error = nullptr);
    bool createStore(const QString &path, QString *error = nullptr);
    static QString journalPath(const QString &statePath);
    // From now on every change is saved to PATH before it is answered: new documents are appended
    // to the journal, the rest replaces PATH. Reads write nothing, nor does a change that leaves
    // the file as it was.
    void keepStateIn(const QString &path);
    // Why the last command failed on the store: a save that did not happen (answered 5) or a
    // document of the archive that is not what was signed (answered 4). Empty after one that did not.
    QString lastStoreError() const;
    // For tests of the program: the Nth write or sync of one of the store's files from now on fails,
    // as a full disk or a failing one would make it: "short-write:journal|state:N" (half of it is
    // written) or "sync:journal|state|folder:N". False for anything else.
    bool failStoreForTests(const QString &spec, QString *error);

    // Lines printed since the last call (the virtual paper), in the paper width.
    QStringList takePrinted();

    // Printing commands answer this code instead of printing (53 printer not answering,
    // 54 out of paper); 0 clears the fault.
    void setPrinterFault(quint8 code);

    // Conditions of the hardware that no command leads to, set by faults so that the host's
    // handling of them can be tried; 0 clears them.
    enum Condition : quint32 {
        ForeignCard = 0x1, // status bit 2; fiscal documents answer 32
        EepromError = 0x2, // status bit 6; catalogue, clock, factory number and settings writes answer 25
        PaperLow = 0x4,    // status bit 13; printing goes on
    };
    void setConditions(quint32 conditions);
    // A control tape runs out of paper after this many documents: what is printed stays printed
    // and the reply is 54 with the number to go on from. -1: it does not.
    void setTapePaperOut(int documents);

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
    struct Store;
    bool save(QString *error);   // the change just made, to the file kept in
    bool commit(QString *error); // the documents made since the last save, and the state
    bool wholeSave(const QString &resolved, QString *error);
    QByteArray stateText(const QString &name, int documents, qint64 bytes) const;
    State *d;
    std::unique_ptr<Store> store_;
};
