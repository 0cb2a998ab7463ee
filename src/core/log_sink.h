#pragma once

#include <QString>

namespace veltrane {

// Where window-free code sends its debug log lines. The program's sink is the
// debug log file; tests use an in-memory one.
class LogSink
{
public:
    virtual ~LogSink() = default;
    // Never fails towards the caller.
    virtual void WriteLog(const QString& text) noexcept = 0;
};

} // namespace veltrane
