#pragma once

// A log sink for tests.

#include "core/log_sink.h"

#include <QStringList>

namespace veltrane::testing {

// Keeps every log line in memory, so tests can compare them exactly.
class MemoryLog : public LogSink
{
public:
    void WriteLog(const QString& text) noexcept override { lines.append(text); }

    QStringList lines;
};

} // namespace veltrane::testing
