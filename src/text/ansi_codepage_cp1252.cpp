// Windows-1252 stands in for the system ANSI code page where the platform has none.
#include "text/ansi_codepage.h"

#include <array>

namespace veltrane::text {
namespace {

// Bytes 0x80..0x9F. The five bytes that Windows-1252 leaves undefined map to
// the C1 control of the same value, as Windows' own conversion does.
constexpr std::array<char16_t, 32> kHigh = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char encodeUnit(char16_t unit)
{
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) {
        return static_cast<char>(unit);
    }
    for (std::size_t i = 0; i < kHigh.size(); ++i) {
        if (kHigh[i] == unit) {
            return static_cast<char>(0x80 + i);
        }
    }
    return '?';
}

} // namespace

QByteArray AnsiCodePage::encode(QStringView text)
{
    QByteArray out;
    out.resize(text.size());
    char* dst = out.data();
    for (const QChar ch : text) {
        *dst++ = encodeUnit(ch.unicode());
    }
    return out;
}

QString AnsiCodePage::decode(QByteArrayView bytes)
{
    QString out;
    out.resize(bytes.size());
    QChar* dst = out.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *dst++ = QChar(b >= 0x80 && b < 0xA0 ? kHigh[b - 0x80] : char16_t(b));
    }
    return out;
}

} // namespace veltrane::text
