#include "output.h"

#include "protocol.h"

#include <QTime>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool print(FILE *stream, const QString &text)
{
    const bool written =
        std::fputs(text.toLocal8Bit().constData(), stream) >= 0 && std::fputc('\n', stream) != EOF;
    return std::fflush(stream) == 0 && written;
}

} // namespace

void Console::result(const QString &text) const
{
    if (!m_resultLost && !print(stdout, text)) {
        m_resultLost = true;
        error(QStringLiteral("the results could not be written to standard output: %1")
                  .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }
}

void Console::error(const QString &text) const
{
    print(stderr, "tcprtu: " + text);
}

bool Console::errors(const QStringList &texts) const
{
    for (const QString &text : texts)
        error(text);
    return texts.isEmpty();
}

void Console::note(const QString &text) const
{
    if (!quiet)
        print(stderr, text);
}

void Console::step(const QString &text) const
{
    if (progress)
        note(text);
}

void Console::live(const QString &text) const
{
    if (!progress || quiet)
        return;
    // Back to the line's start, the text, and the rest of the old line cleared.
    std::fputs(("\r" + text + "\x1b[K").toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void Console::traffic(const QString &port, char direction, const QByteArray &bytes) const
{
    if (trace && !quiet)
        note(QStringLiteral("%1 %2 %3 %4")
                 .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")), port,
                      QString(QLatin1Char(direction)), protocol::escaped(bytes)));
}

// The one call outside Qt: Qt cannot tell a terminal from a pipe.
bool standardErrorIsTerminal()
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stderr));
#else
    return isatty(fileno(stderr));
#endif
}

QString table(const QList<QStringList> &rows)
{
    QList<int> widths;
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            if (i == widths.size())
                widths << 0;
            widths[i] = std::max(widths[i], int(row[i].size()));
        }
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i].leftJustified(widths[i] + 2) : row[i];
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        lines << line;
    }
    return lines.join('\n');
}
