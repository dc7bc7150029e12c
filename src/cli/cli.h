#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

#include "frconst.h"

class FsWrapper;

// Exit statuses besides the register's own result codes (1 to 54, 252 to 255).
namespace CliExit {
constexpr int Success = 0;
constexpr int Usage = 64;
constexpr int NoInput = 66;
constexpr int Unavailable = 69;
} // namespace CliExit

struct CliOptions
{
    QString port;
    int cashier = DefaultCashierNumber;
    int password = DefaultCashierPassword;
    bool json = false;
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

    // Opens the register's port once; on failure says why and returns the exit status (69, or
    // 64 without a port). 0 when the command layer is ready.
    int connect();
    FsWrapper &fr() { return *fr_; }

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
    static int failed(int code, const QString &action);

private:
    CliOptions options_;
    std::unique_ptr<FsWrapper> fr_;
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
