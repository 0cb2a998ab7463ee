#include "sales/product_catalog.h"

#include "core/failure.h"
#include "core/log_sink.h"
#include "sales/product_map.h"
#include "text/text_lines.h"
#include "text/trim.h"

#include <QFileInfo>

#include <exception>

using namespace Qt::StringLiterals;

namespace veltrane::sales {
namespace {

const QString kRule = QString(40, u'=');
const QString kDash = QString(40, u'-');

QString quoted(const QString& text)
{
    return u'"' + text + u'"';
}

// Lines 6.1 to 6.6 of the load for one catalogue line.
void parseLine(const QString& line, qsizetype number, ProductMap& names, ProductMap& id2,
               LogSink& log)
{
    const QString t = text::TrimControl(line);
    log.WriteLog(u"Línea "_s + QString::number(number) + u": "_s + quoted(t));
    if (t.isEmpty() || t.startsWith(u'[')) {
        log.WriteLog(u"  -> Línea vacía o sección, saltando"_s);
        return;
    }
    const qsizetype p1 = t.indexOf(u',');
    if (p1 < 0) {
        log.WriteLog(u"  -> ERROR: No se encontró coma en la línea"_s);
    } else {
        const QString id1 = text::TrimControl(QStringView(t).first(p1));
        const QStringView rest = QStringView(t).sliced(p1 + 1);
        const qsizetype p2 = rest.indexOf(u',');
        if (p2 >= 0) {
            const QString name = text::TrimControl(rest.first(p2));
            const QString ident = text::TrimControl(rest.sliced(p2 + 1));
            names.SetValue(id1, name);
            id2.SetValue(id1, ident);
            log.WriteLog(u"  -> *** PARSEADO EXITOSO ***"_s);
            log.WriteLog(u"     ID1 (Consola): "_s + quoted(id1));
            log.WriteLog(u"     Nombre: "_s + quoted(name));
            log.WriteLog(u"     ID2 (Sistema): "_s + quoted(ident));
        } else {
            const QString name = text::TrimControl(rest);
            names.SetValue(id1, name);
            id2.SetValue(id1, id1);
            log.WriteLog(u"  -> *** SIN ID2 *** usando ID1 como ID2"_s);
            log.WriteLog(u"     ID1: "_s + quoted(id1));
            log.WriteLog(u"     Nombre: "_s + quoted(name));
        }
    }
    log.WriteLog(kDash);
}

void loadFile(const QString& path, ProductMap& names, ProductMap& id2, LogSink& log)
{
    const QStringList lines = text::ReadTextLines(path).lines;
    log.WriteLog(u"LoadProductNames: Archivo encontrado - Total líneas: "_s +
                 QString::number(lines.size()));
    log.WriteLog(kDash);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        parseLine(lines.at(i), i + 1, names, id2, log);
    }
    log.WriteLog(kRule);
    log.WriteLog(u"RESUMEN FINAL:"_s);
    log.WriteLog(u"Total productos en FProductNames: "_s + QString::number(names.Count()));
    log.WriteLog(u"Total ID2 en FProductID2: "_s + QString::number(id2.Count()));
    log.WriteLog(QString());
    log.WriteLog(u"Contenido completo de FProductID2:"_s);
    for (qsizetype j = 0; j < id2.Count(); ++j) {
        log.WriteLog(u"  ["_s + QString::number(j) + u"] "_s + id2.Entry(j));
    }
    log.WriteLog(kRule);
}

} // namespace

void SetBuiltInProducts(ProductMap& names, ProductMap& id2)
{
    names.SetValue(u"3"_s, u"Gasolina Excellium"_s);
    names.SetValue(u"6"_s, u"Gasolina Regular"_s);
    names.SetValue(u"7"_s, u"Diesel Regular"_s);
    names.SetValue(u"8"_s, u"Diesel Excellium"_s);
    names.SetValue(u"9"_s, u"Gasolina Racing X"_s);
    id2.SetValue(u"3"_s, u"3"_s);
    id2.SetValue(u"6"_s, u"4"_s);
    id2.SetValue(u"7"_s, u"2"_s);
    id2.SetValue(u"8"_s, u"5"_s);
    id2.SetValue(u"9"_s, u"6"_s);
}

void LoadProductNames(const QString& path, ProductMap& names, ProductMap& id2, LogSink& log)
{
    names.Clear();
    id2.Clear();
    log.WriteLog(kRule);
    log.WriteLog(u"LoadProductNames: INICIANDO CARGA (FORMATO CSV CON COMAS)"_s);
    log.WriteLog(kRule);
    if (!QFileInfo::exists(path)) {
        log.WriteLog(
            u"LoadProductNames: *** ADVERTENCIA *** Archivo productos.txt NO ENCONTRADO"_s);
        SetBuiltInProducts(names, id2);
        return;
    }
    try {
        loadFile(path, names, id2, log);
    } catch (const std::exception& failure) {
        // Whatever loaded before the failure stays; the built-in codes win.
        log.WriteLog(u"LoadProductNames: *** ERROR CRÍTICO *** "_s + FailureText(failure));
        SetBuiltInProducts(names, id2);
    }
}

QString GetFuelName(const ProductMap& names, const QString& code, LogSink& log)
{
    QString name = names.Value(code);
    if (name.isEmpty()) {
        log.WriteLog(u"GetFuelName: Producto no encontrado para GR1="_s + code);
        return u"Desconocido (ID:"_s + code + u')';
    }
    return name;
}

QString GetProductID2(const ProductMap& id2, const QString& code, LogSink& log)
{
    log.WriteLog(u"GetProductID2: Buscando ID2 para GR1="_s + quoted(code));
    QString id = id2.Value(code);
    if (id.isEmpty()) {
        log.WriteLog(u"GetProductID2: *** NO ENCONTRADO *** usando GR1 como ID2"_s);
        return code;
    }
    log.WriteLog(u"GetProductID2: *** ENCONTRADO *** GR1="_s + code + u" → ID2="_s + id);
    return id;
}

} // namespace veltrane::sales
