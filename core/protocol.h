#pragma once

// The converter's text protocol as data: what is asked, how an answer is cut, how a change is sent
// and which values the device takes. Every front end reads these tables; none of them is here.

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QString>
#include <QStringList>

#include <iterator>
#include <string_view>

namespace protocol {

enum class Kind
{
    Mac,
    Address,
    Netmask,
    TcpPort,
    Parity,
    Speed,
    StopBits,
    Timeout,
};

// The codes a choice takes on the wire, and the names a person gives them in a file.
struct Choices
{
    const char *const *codes = nullptr;
    const char *const *names = nullptr;
    int count = 0;
};

inline constexpr const char *parityCodes[] = {"0", "1", "2"};
inline constexpr const char *parityNames[] = {"none", "odd", "even"};
inline constexpr const char *speedCodes[] = {"1200",  "2400",  "4800",   "9600",   "19200",
                                             "38400", "57600", "115200", "128000", "256000"};
inline constexpr const char *stopBitCodes[] = {"1", "2"};

struct Parameter
{
    const char *key;    // stable English name for files and the command line
    const char *query;  // the keyword that asks for the value and starts its answer
    const char *change; // nullptr for a value the device does not let us change
    Kind kind;
    Choices choices;
};

// In the order the device is asked; changes go in the same order.
// clang-format off
inline constexpr Parameter parameters[] = {
//   key          query            change command           kind             choices
    {"mac",       "MAC",           nullptr,                 Kind::Mac,       {}},
    {"ip",        "ip",            "CHANGE IP:",            Kind::Address,   {}},
    {"mask",      "MASK",          "CHANGE MASK:",          Kind::Netmask,   {}},
    {"gateway",   "GATEWAY",       "CHANGE GATEWAY:",       Kind::Address,   {}},
    {"tcp_port",  "PORT TCP",      "CHANGE PORT TCP:",      Kind::TcpPort,   {}},
    {"parity",    "parity",        "CHANGE PARITY:",        Kind::Parity,    {parityCodes, parityNames, 3}},
    {"speed",     "SPEED RS485",   "CHANGE SPEED RS485:",   Kind::Speed,     {speedCodes, speedCodes, 10}},
    {"stop_bits", "STOP BIT",      "CHANGE STOP BIT:",      Kind::StopBits,  {stopBitCodes, stopBitCodes, 2}},
    {"server_ip", "IP SERVER TCP", "CHANGE IP SERVER TCP:", Kind::Address,   {}},
    {"timeout",   "TIMEOUT TCP",   "CHANGE TIMEOUT TCP:",   Kind::Timeout,   {}},
};
// clang-format on
constexpr int parameterCount = int(std::size(parameters));

// Only the MAC is read-only, and it comes first: writable parameter k is parameters[k + 1].
constexpr int writableCount = parameterCount - 1;
constexpr const Parameter &writable(int k)
{
    return parameters[k + 1];
}

struct Mode
{
    const char *key;
    int queried; // the first `queried` parameters exist in this mode
    int written; // the first `written` writable parameters are changed in this mode
};

// In the order of the window's mode selector.
inline constexpr Mode modes[] = {
    {"tcp-rtu", 8, 7},
    {"rtu-tcp", 10, 9},
};
constexpr int modeCount = int(std::size(modes));

constexpr char resetCommand[] = "RESET";

// How long bytes handed to the system take to leave the adapter: ten bits a byte on the line,
// plus the adapter's own latency (a USB-serial adapter holds bytes for up to 16 ms).
constexpr int drainMs(int bytes, int baud)
{
    return (bytes * 10'000 + baud - 1) / baud + 20;
}
constexpr char confirmation[] = "OK";

// An answer starts with the keyword and one more character before the value.
constexpr int prefixLength(const Parameter &parameter)
{
    return int(std::string_view(parameter.query).size()) + 1;
}

static_assert(parameters[0].change == nullptr, "the MAC must stay read-only");
static_assert(prefixLength(parameters[6]) == 12, "prefix is the keyword plus one");
static_assert(writableCount <= 32, "one bit per writable parameter");

// The position of a parameter in the table by its key, or -1.
int parameterIndex(const QString &key);
const Mode *modeByKey(const QString &key);

// A reply as the device means it: the bytes before its first zero byte (firmware that sends C
// strings pads with NUL), with every CR and LF taken out; the whole reply is one answer.
QByteArray replyText(const QByteArray &reply);
// The same bytes as the lines the device ended with CR or LF, empty ones left out: a reply may
// carry a late answer before the awaited one.
QByteArrayList replyLines(const QByteArray &reply);

// The value an answer carries: whatever follows the prefix, whole. The prefix itself is not
// examined.
QString answerValue(const Parameter &parameter, const QString &answer);

// The position of a value in the parameter's choices, or -1.
int choiceIndex(const Parameter &parameter, const QString &value);

// Whether a reply answers this parameter's query: its keyword in any letter case, then one
// character that is neither a letter, a digit nor a blank, so that "IP SERVER TCP:..." never
// answers "ip".
bool isAnswerTo(const Parameter &parameter, const QByteArray &reply);

// The parameter whose query a line answers, or -1.
int answeredParameter(const QByteArray &line);

// What one line says to the question of `asked`.
struct Answer
{
    enum Kind
    {
        Value, // the answer, with the value between its prefix and the line's end, blanks trimmed
        Late,  // the answer to another question, asked before
        Other, // anything else: an error message, an answer without a value, noise
    };
    Kind kind;
    QByteArray value;
};
Answer readAnswer(const Parameter &asked, const QByteArray &line);

// A value checked against what the device takes: the plain form to send (10.0.0.1 for
// 010.0.0.1, 502 for 0502), or the rule it breaks.
struct Checked
{
    QByteArray value;
    QString rule; // empty when the value is valid

    bool ok() const { return rule.isEmpty(); }
};

// A MAC as every part of the program spells it, upper case with colons, from six hexadecimal
// bytes in any letter case separated by ':' or '-' or not at all; empty when it is none.
QByteArray normalizedMac(const QByteArray &text);
// A MAC a device answered, spelt so; as it is when it is none.
QByteArray answeredMac(const QByteArray &answer);

// `text` is spelt as on the wire: parity as its code. A MAC is checked for its form only, and
// comes back as normalizedMac() spells it, so that two spellings of one address compare equal.
Checked check(const Parameter &parameter, const QByteArray &text);

// Whether the protocol has a form for a value: printable ASCII without blanks, which a change
// command carries and an answer gives back unchanged. A device may hold such a value although
// check() refuses it, when another tool set it.
bool carries(const QByteArray &value);

// A rule a unit's network settings break, with the keys whose values break it together.
struct NetworkProblem
{
    QString message; // names the values and what to do
    QStringList keys;
};

// The rules a unit's network settings break; empty when they make sense. The values are in their
// plain form; one that is no address is left to check(). An empty server address: the mode has
// none.
QList<NetworkProblem> networkProblems(const QByteArray &ip, const QByteArray &mask,
                                      const QByteArray &gateway, const QByteArray &serverIp);

// Bytes from or for the line as printable text: CR as \r, LF as \n, a backslash doubled, other
// control and non-ASCII bytes as \xNN.
QString escaped(const QByteArray &bytes);

} // namespace protocol
