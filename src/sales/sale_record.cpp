#include "sales/sale_record.h"

#include "core/failure.h"
#include "core/log_sink.h"
#include "link/wire.h"
#include "sales/format_decimal.h"
#include "sales/product_catalog.h"
#include "text/text_lines.h"
#include "text/trim.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <exception>

using namespace Qt::StringLiterals;

namespace veltrane::sales {
namespace {

const QString kLogPrefix = u"ParseAndSaveLastSale: "_s;

// As the file's encoding holds a text: a character it cannot represent (U+FFFD
// from the wire, in the ANSI code page) reads back as the default character.
QString asStored(const QString& value, text::TextEncoding encoding)
{
    return text::DecodeTextLines(text::EncodeTextLines({value}, encoding)).lines.value(0);
}

} // namespace

QString SaleFileHeader()
{
    return u"ID Venta,# de Venta,Fecha de Fin,Hora de Fin,Surtidor,Manguera,ID Producto,"
           u"Combustible,Volumen,Vol Compensado,PPU,Monto,Totaliz. Inicial,TC Inicial,"
           u"Volumen Final,TC Final,Temp media,Tipo de Venta,Tipo de Pago"_s;
}

QString SaleField(QStringView reply, QStringView key)
{
    QString value = link::ExtractFieldValue(reply, key);
    value.remove(u'\r');
    value.remove(u'\n');
    return value;
}

QString ReshapeSaleDate(const QString& date)
{
    if (date.size() != 8) {
        return date;
    }
    return date.sliced(6, 2) + u'/' + date.sliced(4, 2) + u'/' + date.first(4);
}

QString ReshapeSaleTime(const QString& time)
{
    if (time.size() != 6) {
        return time;
    }
    return time.first(2) + u':' + time.sliced(2, 2) + u':' + time.sliced(4, 2);
}

PaymentTypes PaymentTypesOf(QStringView payTy1)
{
    const QString p = text::TrimControl(payTy1);
    if (p.isEmpty() || p == u"0"_s) {
        return {u"No Asignado"_s, u"Ventas"_s};
    }
    // Only the letters A to Z fold: "EFECTİVO" and the like stay what they are.
    if (QLatin1StringView("EFECTIVO").compare(p, Qt::CaseInsensitive) == 0 &&
        std::all_of(p.cbegin(), p.cend(), [](QChar c) { return c.unicode() < 128; })) {
        return {u"EFECTIVO"_s, u"Ventas EFECTIVO"_s};
    }
    return {p, u"Ventas"_s};
}

QString BuildSaleRow(QStringView reply, const ProductMap& names, const ProductMap& id2,
                     LogSink& log)
{
    const QString sa1 = SaleField(reply, u"SA1");
    const QString ti1 = SaleField(reply, u"TI1");
    const QString da1 = SaleField(reply, u"DA1");
    const QString sti1 = SaleField(reply, u"STI1");
    const QString pm = SaleField(reply, u"PM");
    const QString ho1 = SaleField(reply, u"HO1");
    const QString gr1 = SaleField(reply, u"GR1");

    const QString name = GetFuelName(names, gr1, log);
    const QString id = GetProductID2(id2, gr1, log);
    log.WriteLog(kLogPrefix + u"GR1="_s + gr1 + u" → ProductID2="_s + id + u" | Nombre="_s + name);

    const QString vo1 = SaleField(reply, u"VO1");
    const QString pu1 = SaleField(reply, u"PU1");
    const QString am1 = SaleField(reply, u"AM1");
    const QString iv1 = SaleField(reply, u"IV1");
    const QString fv1 = SaleField(reply, u"FV1");
    const QString avgtm1 = SaleField(reply, u"AVGTM1");
    const QString payTy1 = SaleField(reply, u"PAY_TY1");
    const QString zero = u"0,000"_s;

    const PaymentTypes payment = PaymentTypesOf(payTy1);
    const QString volume = FormatDecimal(vo1, 3);
    const QString compensated = FormatDecimal(vo1, 3);
    const QString price = FormatDecimal(pu1, 1);
    const QString amount = FormatDecimal(am1, 1);
    const QString initial = FormatDecimal(iv1, 3);
    const QString final = FormatDecimal(fv1, 3);

    const QChar c = u',';
    return sa1 + c + ti1 + c + ReshapeSaleDate(da1) + c + ReshapeSaleTime(sti1) + c + pm + c + ho1 +
           c + id + c + name + c + volume + c + compensated + c + price + c + amount + c + initial +
           c + zero + c + final + c + zero + c + avgtm1 + c + payment.tipoVenta + c +
           payment.tipoPago;
}

SaleSummary SummaryOfSale(QStringView reply)
{
    // The same fields and formatting as the row's columns 9, 12 and 4.
    return {FormatDecimal(SaleField(reply, u"VO1"), 3), FormatDecimal(SaleField(reply, u"AM1"), 1),
            ReshapeSaleTime(SaleField(reply, u"STI1"))};
}

QString SaleSummaryText(const SaleSummary& sale)
{
    QStringList parts;
    if (!sale.volume.isEmpty()) {
        parts.append(sale.volume + u" L"_s);
    }
    if (!sale.amount.isEmpty()) {
        parts.append(sale.amount);
    }
    if (!sale.time.isEmpty()) {
        // "14:30:05" as "14:30"; a time in another shape stays as recorded.
        const bool reshaped = sale.time.size() == 8 && sale.time.at(5) == u':';
        parts.append(reshaped ? sale.time.first(5) : sale.time);
    }
    return parts.join(u" · "_s);
}

SaleKey::SaleKey(QStringView reply, text::TextEncoding encoding)
    : FHead(asStored(SaleField(reply, u"SA1") + u',' + SaleField(reply, u"TI1") + u',', encoding)),
      FPump(asStored(SaleField(reply, u"PM") + u',', encoding)),
      // The date and the time columns with the commas that end them.
      FCommasToPump(ReshapeSaleDate(SaleField(reply, u"DA1")).count(u',') +
                    ReshapeSaleTime(SaleField(reply, u"STI1")).count(u',') + 2)
{
}

bool SaleKey::recordedBy(QStringView row) const
{
    if (!row.startsWith(FHead)) {
        return false;
    }
    qsizetype at = FHead.size();
    for (qsizetype commas = 0; commas < FCommasToPump; ++commas) {
        at = row.indexOf(u',', at);
        if (at < 0) {
            return false;
        }
        ++at;
    }
    return row.sliced(at).startsWith(FPump);
}

void ParseAndSaveLastSale(const QString& reply, qint32 pump, const SaleFileContext& context)
{
    LogSink& log = context.log;
    const QString path = context.saleFilePath;
    log.WriteLog(u"=== ParseAndSaveLastSale: INICIO bomba "_s + QString::number(pump) + u" ==="_s);

    const QString numVenta = SaleField(reply, u"TI1");
    if (numVenta.isEmpty()) {
        log.WriteLog(kLogPrefix + u"NumVenta vacío, saliendo"_s);
        return;
    }
    log.WriteLog(kLogPrefix + u"NumVenta="_s + numVenta);

    text::TextLines file;
    bool read = false;
    if (QFileInfo::exists(path)) {
        try {
            file = text::ReadTextLines(path);
            read = true;
            log.WriteLog(kLogPrefix + u"Archivo existente cargado, líneas="_s +
                         QString::number(file.lines.size()));
            // Only the lines after the first are rows.
            const SaleKey key(reply, file.encoding);
            if (std::any_of(file.lines.cbegin() + std::min<qsizetype>(1, file.lines.size()),
                            file.lines.cend(),
                            [&key](const QString& row) { return key.recordedBy(row); })) {
                log.WriteLog(kLogPrefix + u"Venta "_s + numVenta + u" ya existe, saliendo"_s);
                return;
            }
        } catch (const std::exception& failure) {
            // Writing now would replace the rows that could not be read, so
            // this sale waits for a later poll.
            log.WriteLog(kLogPrefix + u"Error cargando archivo existente: "_s +
                         FailureText(failure));
            log.WriteLog(u"=== ParseAndSaveLastSale: FIN ==="_s);
            return;
        }
    } else {
        log.WriteLog(kLogPrefix + u"Archivo no existe, creando nuevo"_s);
    }

    if (!read || file.lines.isEmpty()) {
        file.lines.clear();
        file.lines.append(SaleFileHeader());
        log.WriteLog(kLogPrefix + u"Header creado (CON COMAS)"_s);
    }

    const QString row = BuildSaleRow(reply, context.names, context.id2, log);
    file.lines.append(row);
    log.WriteLog(kLogPrefix + u"Línea agregada (CON COMAS): "_s + row);

    bool saved = false;
    try {
        text::WriteTextLines(path, file.lines, file.encoding, &log);
        log.WriteLog(kLogPrefix + u"✅ Archivo guardado exitosamente en "_s +
                     QDir::toNativeSeparators(path));
        saved = true;
    } catch (const std::exception& failure) {
        log.WriteLog(kLogPrefix + u"❌ ERROR al guardar archivo: "_s + FailureText(failure));
    }
    file.lines.clear();
    log.WriteLog(u"=== ParseAndSaveLastSale: FIN ==="_s);
    if (saved && context.recorded) {
        context.recorded(SummaryOfSale(reply));
    }
}

} // namespace veltrane::sales
