#include "status.h"

#include <iterator>

const char *word(Result result)
{
    for (const ResultWord &entry : resultWords) {
        if (entry.result == result)
            return entry.word;
    }
    return "";
}

QString exitStatusHelp()
{
    QString text = QStringLiteral("Exit status (several ports: the highest):\n");
    for (const ExitStatus &status : exitStatuses)
        text +=
            QStringLiteral("  %1  %2\n").arg(QLatin1String(status.codes), -3).arg(status.meaning);
    return text;
}

QString resultWordHelp()
{
    QString text = QStringLiteral("Results (the table's last lines, --json's and the log's "
                                  "\"result\"), with their status:\n");
    for (const ResultWord &entry : resultWords)
        text += QStringLiteral("  %1  %2  %3\n")
                    .arg(QLatin1String(entry.word), -19)
                    .arg(QLatin1String(entry.status), -5)
                    .arg(entry.meaning);
    return text;
}
