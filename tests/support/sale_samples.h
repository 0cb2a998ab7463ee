#pragma once

// The sale the tests share: one controller reply in two layouts and the row
// the program writes for either, with another sale's row for files that
// already hold one.

#include <QByteArray>
#include <QString>

namespace veltrane::testing {

using namespace Qt::StringLiterals;

// A reply body framed as the controller frames it: its length in five digits.
inline QByteArray Frame(const QByteArray& body)
{
    return QByteArray::number(body.size()).rightJustified(5, '0') + "|5|" + body;
}

// The body of a sales reply, fields in the controller's usual order.
inline const QByteArray kSaleBody =
    "2||POST|RES_GET_PUMP_SALES|||RC=OK|SA1=4711|TI1=128|DA1=20240131|STI1=143005|PM=3|HO1=1|"
    "GR1=6|VO1=25.5|PU1=1.299|AM1=33.12|IV1=123456.789|FV1=123482.289|AVGTM1=21.5|"
    "PAY_TY1=efectivo||^";

// The same sale framed, STI1 ahead of TI1 on purpose: the sale number must
// not be read out of it.
inline const QString kSaleReply =
    u"00250|5|2||POST|RES_GET_PUMP_SALES|||RC=OK|PM=3|QT=1|SA1=4711|STI1=143005|TI1=128|"
    u"DA1=20240131|HO1=1|GR1=6|VO1=25.5|PU1=1.299|AM1=33.12|IV1=123456.789|FV1=123482.289|"
    u"AVGTM1=21.5|PAY_TY1=efectivo||^"_s;

// The row of that sale (the built-in catalogue, "." as regional separator).
inline const QString kSaleRow =
    u"4711,128,31/01/2024,14:30:05,3,1,4,Gasolina Regular,25,500,25,500,1,3,"
    u"33,1,123.456,789,0,000,123.482,289,0,000,21.5,Ventas EFECTIVO,EFECTIVO"_s;

// Another pump's sale, as a file recorded earlier holds it.
inline const QString kOtherRow =
    u"4700,127,30/01/2024,10:00:00,2,1,2,Diesel Regular,1,000,1,000,1,0,"
    u"1,0,5,000,0,000,6,000,0,000,20.0,Ventas,TARJETA"_s;

} // namespace veltrane::testing
