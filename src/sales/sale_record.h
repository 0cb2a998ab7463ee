#pragma once

#include "text/text_lines.h"

#include <QString>

#include <functional>

namespace veltrane {
class LogSink;
}

namespace veltrane::sales {

class ProductMap;

// The first line of the sale record file: the 19 column names.
QString SaleFileHeader();

// What the window shows of a recorded sale: its row's "Volumen", "Monto" and
// "Hora de Fin", exactly as the row has them.
struct SaleSummary
{
    QString volume;
    QString amount;
    QString time;
};
// The summary of the sale that a reply describes.
SaleSummary SummaryOfSale(QStringView reply);
// The summary as one line, "25,500 L · 33,1 · 14:30" (the time without its
// seconds); a value that is missing is left out.
QString SaleSummaryText(const SaleSummary& sale);

// What a sale needs beyond the reply: where the file is, the catalogue and the
// log, and who is told when a sale has been recorded.
struct SaleFileContext
{
    QString saleFilePath; // native form, as the log shows it
    const ProductMap& names;
    const ProductMap& id2;
    LogSink& log;
    // Called once the new row is safely in the file, never for a duplicate or
    // a failed write.
    std::function<void(const SaleSummary&)> recorded = {};
};

// A reply field with every CR and LF left out, so that no value can split a
// row of the file; empty when the field is missing.
QString SaleField(QStringView reply, QStringView key);

// "yyyymmdd" to "dd/mm/yyyy"; any other length unchanged.
QString ReshapeSaleDate(const QString& date);
// "hhnnss" to "hh:nn:ss"; any other length unchanged.
QString ReshapeSaleTime(const QString& time);

struct PaymentTypes
{
    QString tipoPago;  // column "Tipo de Pago"
    QString tipoVenta; // column "Tipo de Venta"
};
// The two payment columns from the raw PAY_TY1 value.
PaymentTypes PaymentTypesOf(QStringView payTy1);

// The 19 values of one sale joined by ",", with the catalogue's log lines and
// the product line on the way.
QString BuildSaleRow(QStringView reply, const ProductMap& names, const ProductMap& id2,
                     LogSink& log);

// Which data rows record a reply's sale: those whose "ID Venta", "# de Venta"
// and "Surtidor" columns are the reply's SA1, TI1 and PM as a file in that
// encoding holds them (a byte above 127 from the wire reads back as the code
// page's "?"). Where a controller leaves SA1 empty and numbers its sales per
// pump, the pump tells two sales of the same number apart. The "Surtidor"
// column is found past as many commas as this reply's date and time hold.
class SaleKey
{
public:
    SaleKey(QStringView reply, text::TextEncoding encoding);
    bool recordedBy(QStringView row) const;

private:
    QString FHead; // "ID Venta,# de Venta,"
    QString FPump; // "Surtidor,"
    qsizetype FCommasToPump;
};

// Appends the reply's sale to the sale record file unless a row of the file
// already records it (SaleKey). The file is replaced whole and atomically, in
// the encoding it was read in; a file that cannot be read is never
// overwritten. File failures are logged, not thrown.
void ParseAndSaveLastSale(const QString& reply, qint32 pump, const SaleFileContext& context);

} // namespace veltrane::sales
