#include "text/regional.h"

#include <QLocale>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace veltrane::text {

QString TimeSeparator()
{
#ifdef Q_OS_WIN
    wchar_t buffer[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STIME, buffer, 8) > 0) {
        return QString::fromWCharArray(buffer);
    }
#else
    // The separator is what stands between the hours and the minutes of the
    // locale's short time format.
    const QString format = QLocale::system().timeFormat(QLocale::ShortFormat);
    const qsizetype h = format.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
    if (h >= 0) {
        qsizetype i = h;
        while (i < format.size() && format.at(i).toLower() == QLatin1Char('h')) {
            ++i;
        }
        const qsizetype m = format.indexOf(QLatin1Char('m'), i);
        if (m > i) {
            return format.mid(i, m - i);
        }
    }
#endif
    return QStringLiteral(":");
}

QChar DecimalSeparator()
{
#ifdef Q_OS_WIN
    wchar_t buffer[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8) > 0 && buffer[0]) {
        return QChar(static_cast<char16_t>(buffer[0]));
    }
    return QLatin1Char('.');
#else
    const QString point = QLocale::system().decimalPoint();
    return point.isEmpty() ? QLatin1Char('.') : point.at(0);
#endif
}

} // namespace veltrane::text
