#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace veltrane {
class LogSink;
}

namespace veltrane::monitor {

// The pump state file: one line "n=status" per pump, pumps 1 to 20 in order,
// CR LF after each, in the ANSI code page. A line break inside a status is
// left out, so the file always holds exactly one line per pump.
QByteArray FormatPumpStates(const QStringList& statuses);

// Replaces the file atomically, so a reader never finds it empty or half
// written (see text::WriteFileAtomically for a file held by a reader).
// Throws Failure.
void WritePumpStateFile(const QString& path, const QStringList& statuses, LogSink* log = nullptr);

} // namespace veltrane::monitor
