#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

#include "frconst.h"

class FsOperation;
class FsWrapper;
class PortLock;

// Exit statuses besides the register's own result codes (1 to 54, 252 to 255).
namespace CliExit {
constexpr int Success = 0;
constexpr int Usage = 64;
constexpr int NoInput = 66;
constexpr int Unavailable = 69;
constexpr int TempFail = 75; // the port is another program's (EX_TEMPFAIL): try again later
} // namespace CliExit

struct CliOptions
{
    QString port;
    int cashier = DefaultCashierNumber;
    int password = DefaultCashierPassword;
    bool json = false;
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
    int finish(int code);

    // A line of the human output; nothing with --json, where stdout holds only the document.
    void out(const QString &text) const;
    // The one document of --json.
    void printJson(const QJsonValue &value) const;
    // A diagnostic line on stderr, prefixed with the program's name.
    static void note(const QString &text);
    // With --json a failed command still leaves one document: its exit status and its last
    // diagnostic line, unless it printed a document of its own.
    static void printErrorDocument(int code);
    static int usage(const QString &text);
    // The register refused or did not answer: its text on stderr, its code as the exit status.
    // A request that was not sent (the command was stopped) is told as such.
    static int failed(int code, const QString &action);

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
};
const QVector<CliCommand> &cliCommands();

// Parsers of the arguments: false for text that is not what is asked for.
namespace cliparse {
bool integer(const QString &text, qint64 min, qint64 max, qint64 *value);
// Money: digits, optionally a point or comma and one or two decimals; positive.
bool sum(const QString &text, qint64 *kopecks);
// "yyyy-MM-dd hh:mm:ss", or "yyyy-MM-dd" for the start of the day.
bool dateTime(const QString &text, QDateTime *dt);
// Hexadecimal bytes; blanks and colons between them are allowed.
bool hexBytes(const QString &text, QByteArray *bytes);
// Takes "--name VALUE" out of args; false when the option is there without its value.
bool takeOption(QStringList &args, const QString &name, int values, QStringList *taken);
bool takeFlag(QStringList &args, const QString &name);
} // namespace cliparse

// The renderings of the status pane as plain text for a terminal.
QString plainText(const QString &html);

// Commands that live in their own files.
int cmdFind(Cli &cli, const QStringList &args);
int cmdBackup(Cli &cli, const QStringList &args);
int cmdRestore(Cli &cli, const QStringList &args);
int cmdFirmware(Cli &cli, const QStringList &args);
int cmdDecode(Cli &cli, const QStringList &args);
