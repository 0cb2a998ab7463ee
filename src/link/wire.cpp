#include "link/wire.h"

using namespace Qt::StringLiterals;

namespace veltrane::link {
namespace {

QString requestBody(QStringView name, QStringView parameters)
{
    return u"2||POST|"_s + name + u"|||"_s + parameters + u"||^"_s;
}

} // namespace

QString FrameRequest(QStringView body)
{
    return QStringLiteral("%1").arg(body.size(), 5, 10, QLatin1Char('0')) + u"|5|"_s + body;
}

QString ThreeDigitPump(int pump)
{
    // "%.3d": a negative number keeps its sign ahead of the zeros.
    const QString digits = QString::number(qAbs(static_cast<qint64>(pump)));
    return (pump < 0 ? u"-"_s : QString()) + digits.rightJustified(3, QLatin1Char('0'));
}

QString BuildPumpStatusRequest(int pump)
{
    return FrameRequest(requestBody(u"REQ_PUMP_STATUS", QString(u"PM="_s + ThreeDigitPump(pump))));
}

QString BuildAuthorizeRequest(QStringView pumpText)
{
    return FrameRequest(requestBody(u"REQ_AUTHORIZE", QString(u"PM="_s + pumpText + u"|AU=1"_s)));
}

QString BuildStopRequest(QStringView pumpText)
{
    return FrameRequest(requestBody(u"REQ_STOP", QString(u"PM="_s + pumpText)));
}

QString BuildResumeRequest(QStringView pumpText)
{
    return FrameRequest(requestBody(u"REQ_RESUME", QString(u"PM="_s + pumpText)));
}

QString BuildPriceChangeRequest(QStringView pumpText, const PriceChange& prices)
{
    const QString parameters = u"PM="_s + pumpText + u"|GP="_s + prices.gp + u"|GR="_s + prices.gr +
                               u"|DP="_s + prices.dp + u"|DR="_s + prices.dr + u"|KR="_s +
                               prices.kr + u"|RC="_s + prices.rc;
    return FrameRequest(requestBody(u"REQ_PRICE_CHANGE", parameters));
}

QString BuildPumpSalesRequest(int pump)
{
    return FrameRequest(
        requestBody(u"REQ_GET_PUMP_SALES", QString(u"PM="_s + QString::number(pump) + u"|QT=1"_s)));
}

QByteArray EncodeWireText(QStringView text)
{
    QByteArray out(text.size(), Qt::Uninitialized);
    char* dst = out.data();
    for (const QChar ch : text) {
        *dst++ = ch.unicode() <= 127 ? static_cast<char>(ch.unicode()) : '?';
    }
    return out;
}

QString DecodeWireText(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar* dst = out.data();
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        *dst++ = b <= 127 ? QChar(char16_t(b)) : QChar(QChar::ReplacementCharacter);
    }
    return out;
}

QString ExtractFieldValue(QStringView reply, QStringView key)
{
    const QString needle = key + u'=';
    qsizetype from = 0;
    while (true) {
        const qsizetype at = reply.indexOf(needle, from);
        if (at < 0) {
            return {};
        }
        if (at == 0 || reply.at(at - 1) == u'|') {
            const QStringView rest = reply.sliced(at + needle.size());
            const qsizetype bar = rest.indexOf(u'|');
            return (bar < 0 ? rest : rest.first(bar)).toString();
        }
        from = at + 1;
    }
}

QString ExtractPumpStatus(QStringView reply, QStringView marker)
{
    const qsizetype at = reply.indexOf(marker);
    if (at < 0) {
        return pump_status::kUnknown.toString();
    }
    QStringView value = reply.sliced(at + marker.size());
    value = value.first(qMin(value.size(), kPumpStatusWidth));
    const qsizetype bar = value.indexOf(u'|');
    return (bar < 0 ? value : value.first(bar)).toString();
}

} // namespace veltrane::link
