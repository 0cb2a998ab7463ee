#pragma once

#include "core/log_sink.h"

#include <QDateTime>
#include <QString>

#include <functional>

namespace veltrane {

// The debug log: one timestamped line per call, appended in the ANSI code page,
// the file opened and closed within the call. Every failure is swallowed.
class DebugLog : public LogSink
{
public:
    using Clock = std::function<QDateTime()>;

    explicit DebugLog(QString path, Clock clock = {});

    void WriteLog(const QString& text) noexcept override;

    const QString& path() const { return FPath; }

    // "[yyyy-mm-dd hh:nn:ss] " + text + CR LF, as the bytes that reach the file.
    static QByteArray FormatLine(const QDateTime& when, const QString& text);

private:
    QString FPath;
    Clock FClock;
};

} // namespace veltrane
