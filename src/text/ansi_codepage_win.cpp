// The system ANSI code page on Windows, through the Win32 conversions.
#include "text/ansi_codepage.h"

#include <windows.h>

namespace veltrane::text {

QByteArray AnsiCodePage::encode(QStringView text)
{
    if (text.isEmpty()) {
        return {};
    }
    const auto* src = reinterpret_cast<const wchar_t*>(text.utf16());
    const int n = static_cast<int>(text.size());
    const int size = WideCharToMultiByte(CP_ACP, 0, src, n, nullptr, 0, nullptr, nullptr);
    QByteArray out(size, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, 0, src, n, out.data(), size, nullptr, nullptr);
    return out;
}

QString AnsiCodePage::decode(QByteArrayView bytes)
{
    if (bytes.isEmpty()) {
        return {};
    }
    const int n = static_cast<int>(bytes.size());
    const int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), n, nullptr, 0);
    QString out(size, Qt::Uninitialized);
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), n, reinterpret_cast<wchar_t*>(out.data()), size);
    return out;
}

} // namespace veltrane::text
