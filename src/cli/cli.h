#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

#include "frconst.h"

class FsOperation;
class FsWrapper;
class PortLock;

// Exit statuses besides the register's own result codes (1 to 54, 252 to 255), from sysexits.h.
namespace CliExit {
constexpr int Success = 0;
constexpr int Usage = 64;
constexpr int DataError = 65;
constexpr int NoInput = 66;
constexpr int Unavailable = 69;
constexpr int IoError = 74;
constexpr int Protocol = 76;
constexpr int TempFail = 75; // the port is another program's (EX_TEMPFAIL): try again later
} // namespace CliExit

struct CliOptions
{
    QString port;
    int cashier = DefaultCashierNumber;
    int password = DefaultCashierPassword;
    bool json = false;
    // The command's own options, each occurrence with its values, in the order given.
    QMap<QString, QList<QStringList>> commandOptions;
    int waitSeconds = 0; // --wait: how long a port another program holds is waited for
};

// What every command works with: the options, the register behind the command layer, and the
// two output streams (results on stdout, diagnostics on stderr).
class Cli
{
public:
    explicit Cli(const CliOptions &options);
    ~Cli();

    const CliOptions &options() const { return options_; }
    bool json() const { return options_.json; }

    // The command's own options (declared in its line of the command table).
    bool has(const QString &option) const { return options_.commandOptions.contains(option); }
    // The value of its last occurrence; empty when it was not given.
    QString value(const QString &option) const { return values(option).value(0); }
    QStringList values(const QString &option) const
    {
        const auto given = options_.commandOptions.value(option);
        return given.isEmpty() ? QStringList() : given.last();
    }
    // Every occurrence of a repeatable option, in order.
    QStringList every(const QString &option) const;

    // Opens the register's port once and makes the rest of the command one operation on it, the
    // port ours until the command ends (another program waits or is refused); on failure says why
    // and returns the exit status (75 when another program holds the port, 69 when it does not
    // open, 64 without a port). 0 when the command layer is ready.
    int connect();
    FsWrapper &fr() { return *fr_; }

    // A stop (SIGINT, SIGTERM) while the command works with the register: no new request leaves,
    // the one in flight finishes within its time-outs and the command reports what it got. False
    // when the command has no operation on the register to finish (the program just quits).
    bool stop(int sig);
    // What the exchanges in flight may still take, and a cancel after them: how long a stopped
    // command may keep the terminal.
    qint64 stopBudgetMs() const;
    // Once the command has returned: when it failed or was stopped, cancels a document it opened
    // and did not complete (one exchange, also after a stop) and says so; then lets the port go.
    // Returns `code`.
    int endCommand(int code);

    // A line of the human output; nothing with --json, where stdout holds only the document.
    void out(const QString &text) const;
    // The one document of --json. It is written when the command has ended, so that a failure
    // can still say so in it (see finish).
    void printJson(const QJsonValue &value) const;
    // An array of --json written as it grows, for output without a bound (decode).
    void printJsonItem(const QJsonValue &value) const;
    // A diagnostic line on stderr, prefixed with the program's name.
    static void note(const QString &text);
    static int usage(const QString &text);
    // The register refused or did not answer: its text on stderr, its code as the exit status.
    // A request that was not sent (the command was stopped) is told as such.
    static int failed(int code, const QString &action);
    // Whether standard output took everything written so far.
    static bool outputFailed();

    // The end of every run: the document of --json (on failure with "result" and "error"), and
    // 74 when standard output could not take what was written to it.
    static int finish(int code, bool json);
    // The command in progress, for the hint of a usage error.
    static void setCommandName(const QString &name);

private:
    int takePort();

    CliOptions options_;
    std::shared_ptr<PortLock> lock_;
    std::unique_ptr<FsWrapper> fr_;
    std::unique_ptr<FsOperation> operation_;
};

// One command of the program. Adding a command is one function and one line in the table.
struct CliCommand
{
    const char *name;
    const char *arguments; // as shown in --help
    const char *summary;   // one or more lines of --help, "\n" between them
    int (*run)(Cli &cli, const QStringList &args);
    // Its own options with the number of values each takes: "--name/1 --force/0". They may stand
    // anywhere on the line before "--", like the program's own options.
    const char *options = "";
    // What `COMMAND --help` says besides the summary.
    const char *details = "";
};
const QVector<CliCommand> &cliCommands();

// Parsers of the arguments: false for text that is not what is asked for.
namespace cliparse {
bool integer(const QString &text, qint64 min, qint64 max, qint64 *value);
// Money: digits, optionally a point or comma and one or two decimals; positive (or zero when
// `zero` allows it).
bool sum(const QString &text, qint64 *kopecks, bool zero = false);
// A decimal with at most `decimals` places, as a count of 10^-decimals; positive.
bool decimal(const QString &text, int decimals, qint64 *raw);
// "yyyy-MM-ddThh:mm:ss" (a blank for the T, as people type it, too), or "yyyy-MM-dd" for the
// start of the day.
bool dateTime(const QString &text, QDateTime *dt);
// Hexadecimal bytes; blanks and colons between them are allowed.
bool hexBytes(const QString &text, QByteArray *bytes);
// A text the register keeps in CP866 in a field of `maxBytes`: empty when it fits, else why not.
QString cp866Refusal(const QString &text, int maxBytes);
// A port as typed: a network address as "tcp://HOST:PORT"; a path (relative to the current folder,
// when it has a slash or names a file here), else a device name under /dev; an invalid address
// (FrAddress) as typed.
QString portPath(const QString &typed);
} // namespace cliparse

// The date forms of the frame decoder's summaries (dd.MM.yyyy hh:mm:ss) in the console's one
// form, ISO 8601.
QString isoDates(const QString &text);

// Fiscal documents: the numbers a completed one comes back with, as the paper shows them.
struct CliDocument
{
    qint16 cycle = 0;
    qint32 fd = 0;
    qint32 fp = 0;
    QDateTime dt;
};
int reportDocument(Cli &cli, const CliDocument &d, const QString &title, QJsonObject extraJson = {},
                   const QStringList &extraLines = {});
// The cashier's name for a document: `name` if given, else the name the register keeps for the
// cashier the program works as. 0, or the exit status once it has said why not.
int cashierName(Cli &cli, QString &name);
// The one form of dates in the console's output.
extern const QString CliDateFormat;

// Commands that live in their own files.
int cmdFind(Cli &cli, const QStringList &args);
int cmdBackup(Cli &cli, const QStringList &args);
int cmdRestore(Cli &cli, const QStringList &args);
int cmdFirmware(Cli &cli, const QStringList &args);
int cmdDecode(Cli &cli, const QStringList &args);
int cmdReceipt(Cli &cli, const QStringList &args);
