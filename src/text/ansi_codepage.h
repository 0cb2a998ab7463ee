#pragma once

#include <QByteArray>
#include <QString>

namespace veltrane::text {

// The system's ANSI (8-bit) code page: on Windows the one GetACP() reports,
// elsewhere Windows-1252. A character the code page cannot represent becomes
// "?" (one per UTF-16 unit).
class AnsiCodePage
{
public:
    static QByteArray encode(QStringView text);
    static QString decode(QByteArrayView bytes);
};

} // namespace veltrane::text
