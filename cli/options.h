#pragma once

// The command line: every option tcprtu takes, each an object defined once, and every command with
// the options it takes and what each means there. A command reads its options through its own
// Arguments, which know no others: an option the command lacks is never asked of the parser, and
// its help lists exactly what it takes, in the command's own words.

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QList>
#include <QStringList>

// Each option's names and value. Its text is the one the commands that take it share; where an
// option means something else to each command, it has none and each command gives its own.
namespace option {
extern const QCommandLineOption port;
extern const QCommandLineOption mode;
extern const QCommandLineOption json;
extern const QCommandLineOption output;
extern const QCommandLineOption csv;
extern const QCommandLineOption inventory;
extern const QCommandLineOption encoding;
extern const QCommandLineOption mac;
extern const QCommandLineOption since;
extern const QCommandLineOption result;
extern const QCommandLineOption merge;
extern const QCommandLineOption title;
extern const QCommandLineOption engineer;
extern const QCommandLineOption engineerNotes;
extern const QCommandLineOption set;
extern const QCommandLineOption dryRun;
extern const QCommandLineOption force;
extern const QCommandLineOption backup;
extern const QCommandLineOption noBackup;
extern const QCommandLineOption noVerify;
extern const QCommandLineOption check;
extern const QCommandLineOption checkHost;
extern const QCommandLineOption restartTimeout;
extern const QCommandLineOption timeout;
extern const QCommandLineOption baud;
extern const QCommandLineOption trace;
extern const QCommandLineOption quiet;
extern const QCommandLineOption host;
extern const QCommandLineOption tcpPort;
extern const QCommandLineOption unit;
extern const QCommandLineOption read;
extern const QCommandLineOption input;
extern const QCommandLineOption write;
extern const QCommandLineOption units;
extern const QCommandLineOption interval;
extern const QCommandLineOption count;
extern const QCommandLineOption duration;
extern const QCommandLineOption speeds;
extern const QCommandLineOption parities;
extern const QCommandLineOption stopBits;
extern const QCommandLineOption keep;
extern const QCommandLineOption restore;
extern const QCommandLineOption scan;
} // namespace option

enum class Verb
{
    Ports,
    Find,
    Read,
    Write,
    Reset,
    Audit,
    Log,
    Report,
    Check,
    Scan,
    Poll,
    Line,
};

// An option as one command takes it: with the command's own text, or the shared one when that
// is true for the command.
struct TakenOption
{
    const QCommandLineOption *option;
    QString help = {};
};

struct CommandInfo
{
    const char *name;
    Verb command;
    const char *synopsis;
    const char *about;
    const char *example;
    QList<TakenOption> options; // besides --help and --quiet, in the order --help lists them
    // Its own list of exit statuses, or none for that of the commands that work on ports.
    const char *exitStatuses;
};

// In the order --help lists them.
extern const QList<CommandInfo> commands;
// The command of that name, or none.
const CommandInfo *commandNamed(const QString &name);

// One command's arguments as given.
class Arguments
{
public:
    explicit Arguments(const CommandInfo &command);

    // False, with the reason, when the arguments are no command line of this command.
    bool parse(const QStringList &arguments, QString *error);
    const CommandInfo &command() const { return m_command; }
    bool helpAsked() const;
    // The options part of --help.
    QString optionsHelp() const;

    bool isSet(const QCommandLineOption &option) const;
    QString value(const QCommandLineOption &option) const;
    QStringList values(const QCommandLineOption &option) const;
    QStringList positional() const { return m_parser.positionalArguments(); }
    // An error for each positional argument beyond the first `taken`.
    QStringList unexpected(int taken = 0) const;
    // A whole number from min to max; the fallback when it is not given, and an error added when
    // it is out of range.
    int number(const QCommandLineOption &option, int fallback, int min, int max,
               QStringList *errors) const;

private:
    bool takes(const QCommandLineOption &option) const;

    const CommandInfo &m_command;
    QCommandLineParser m_parser;
};
