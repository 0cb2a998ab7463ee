#pragma once

// Shared by the libFuzzer targets: a log that keeps nothing, and a check that
// ends the run (so libFuzzer saves the input) when a property fails.

#include "core/log_sink.h"

#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace veltrane::fuzzing {

class NullLog : public LogSink
{
public:
    void WriteLog(const QString& text) noexcept override { FCharacters += text.size(); }
    qsizetype FCharacters = 0;
};

[[noreturn]] inline void Broken(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
    std::abort();
}

inline QByteArrayView Bytes(const std::uint8_t* data, std::size_t size)
{
    return QByteArrayView(reinterpret_cast<const char*>(data), qsizetype(size));
}

} // namespace veltrane::fuzzing

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            ::veltrane::fuzzing::Broken(#condition, __FILE__, __LINE__);                           \
        }                                                                                          \
    } while (false)
