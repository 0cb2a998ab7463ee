#include "monitor/pump_state_file.h"

#include "text/ansi_codepage.h"
#include "text/text_lines.h"

using namespace Qt::StringLiterals;

namespace veltrane::monitor {

QByteArray FormatPumpStates(const QStringList& statuses)
{
    QString text;
    for (qsizetype i = 0; i < statuses.size(); ++i) {
        QString status = statuses.at(i);
        status.remove(u'\r');
        status.remove(u'\n');
        text += QString::number(i + 1) + u'=' + status + u"\r\n"_s;
    }
    return text::AnsiCodePage::encode(text);
}

void WritePumpStateFile(const QString& path, const QStringList& statuses, LogSink* log)
{
    text::WriteFileAtomically(path, FormatPumpStates(statuses), log);
}

} // namespace veltrane::monitor
