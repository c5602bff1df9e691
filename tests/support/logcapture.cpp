#include "logcapture.h"

#include <QtGlobal>

namespace {
QStringList captured;
QtMessageHandler previous = nullptr;

void collect(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        captured << message;
    else if (previous)
        previous(type, context, message);
}
} // namespace

LogCapture::LogCapture()
{
    captured.clear();
    previous = qInstallMessageHandler(collect);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(previous);
}

QStringList LogCapture::lines() const
{
    return captured;
}
