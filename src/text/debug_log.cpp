#include "text/debug_log.h"

#include "text/ansi_codepage.h"
#include "text/regional.h"

#include <QFile>

using namespace Qt::StringLiterals;

namespace veltrane {

DebugLog::DebugLog(QString path, Clock clock) : FPath(std::move(path)), FClock(std::move(clock))
{
    if (!FClock) {
        FClock = [] { return QDateTime::currentDateTime(); };
    }
}

QByteArray DebugLog::FormatLine(const QDateTime& when, const QString& text)
{
    const QString sep = text::TimeSeparator();
    const QString stamp = when.toString(u"yyyy-MM-dd hh"_s) + sep + when.toString(u"mm"_s) + sep +
                          when.toString(u"ss"_s);
    QByteArray line = text::AnsiCodePage::encode(QString(u"["_s + stamp + u"] "_s + text));
    line.append("\r\n", 2);
    return line;
}

void DebugLog::WriteLog(const QString& text) noexcept
{
    try {
        // The clock is read before the file is opened, once per call.
        const QByteArray line = FormatLine(FClock(), text);
        // QFile closes on every path when it goes out of scope, so a failed
        // write never leaves the log open for the next call.
        QFile file(FPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            return;
        }
        file.write(line);
    } catch (...) {
        // Logging must never disturb the work that is being logged.
    }
}

} // namespace veltrane
