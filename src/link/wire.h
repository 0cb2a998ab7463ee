#pragma once

#include <QByteArray>
#include <QString>

namespace veltrane::link {

// The controller protocol's request frame and reply fields. Pure text
// functions: no connection, no window, no file, and none of them fails.

// The body's length as at least five decimal digits, "|5|", the body.
QString FrameRequest(QStringView body);

// The six requests, framed. Each keeps its own pump-number form:
// three digits for status and authorization, the operator's text for the
// commands, plain decimal for the last-sale request.
QString BuildPumpStatusRequest(int pump);
QString BuildAuthorizeRequest(QStringView pumpText);
QString BuildStopRequest(QStringView pumpText);
QString BuildResumeRequest(QStringView pumpText);
struct PriceChange
{
    QString gp, gr, dp, dr, kr, rc;
};
QString BuildPriceChangeRequest(QStringView pumpText, const PriceChange& prices);
QString BuildPumpSalesRequest(int pump);

// A pump number as three digits with leading zeros: 7 -> "007".
QString ThreeDigitPump(int pump);

// 7-bit ASCII on the wire: every UTF-16 unit above 127 goes out as one "?",
// every received byte above 127 becomes U+FFFD.
QByteArray EncodeWireText(QStringView text);
QString DecodeWireText(QByteArrayView bytes);

// The value of the field "key=" in a reply, up to the next "|" or the end of
// the reply; empty when missing. The key matches only where a field starts
// (at the start of the reply or right after a "|"), so "TI1" is never read
// out of "STI1" nor "PM" out of a longer key.
QString ExtractFieldValue(QStringView reply, QStringView key);

// The pump statuses the program tells apart; any other status is shown as it
// comes. Only "CALLING" leads to an action: the automatic authorization.
namespace pump_status {
inline constexpr QStringView kCalling = u"CALLING";
inline constexpr QStringView kAuthorized = u"AUTHORIZED";
inline constexpr QStringView kFuelling = u"FUELLING";
inline constexpr QStringView kClosed = u"CLOSED";
inline constexpr QStringView kUnknown = u"UNKNOWN"; // the reply holds no status
} // namespace pump_status

// The most characters of a pump status.
inline constexpr qsizetype kPumpStatusWidth = 10;

// At most kPumpStatusWidth characters after the first marker, cut before a
// "|"; kUnknown when the marker does not occur.
QString ExtractPumpStatus(QStringView reply, QStringView marker);

} // namespace veltrane::link
