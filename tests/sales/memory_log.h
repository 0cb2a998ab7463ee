#pragma once

#include "core/log_sink.h"

#include <QStringList>

// Keeps every log line in memory, so tests can compare them exactly.
class MemoryLog : public veltrane::LogSink
{
public:
    void WriteLog(const QString& text) noexcept override { lines.append(text); }

    QStringList lines;
};
