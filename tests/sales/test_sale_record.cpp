// Sale record file: one reply becomes one row, the file keeps its rows and its
// encoding, a recorded sale is not recorded twice, and every way through the
// call leaves its log lines.
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "support/logs.h"
#include "support/sale_samples.h"
#include "support/visible_skip.h"
#include "text/text_lines.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include "support/unprivileged.h"
#endif

using namespace Qt::StringLiterals;
using namespace veltrane;
using sales::ParseAndSaveLastSale;
using testing::MemoryLog;

Q_DECLARE_METATYPE(veltrane::text::TextEncoding)

namespace {

const QString& kReply = testing::kSaleReply;
const QString& kRow = testing::kSaleRow;
using testing::kOtherRow;

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no se pudo leer>");
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray crlf(const QStringList& lines)
{
    return text::EncodeTextLines(lines, text::TextEncoding::Ansi);
}

} // namespace

class TestSaleRecord : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QString FPath;
    sales::ProductMap FNames;
    sales::ProductMap FIds;
    MemoryLog FLog;

    void save(const QString& reply, qint32 pump = 3, const QString& path = {})
    {
        const sales::SaleFileContext context{path.isEmpty() ? FPath : path, FNames, FIds, FLog};
        ParseAndSaveLastSale(reply, pump, context);
    }

    // The lines of a call that appends kReply's row, after the file lines.
    QStringList appendLines() const
    {
        return {u"GetProductID2: Buscando ID2 para GR1=\"6\""_s,
                u"GetProductID2: *** ENCONTRADO *** GR1=6 → ID2=4"_s,
                u"ParseAndSaveLastSale: GR1=6 → ProductID2=4 | Nombre=Gasolina Regular"_s,
                u"ParseAndSaveLastSale: Línea agregada (CON COMAS): "_s + kRow,
                u"ParseAndSaveLastSale: ✅ Archivo guardado exitosamente en "_s + FPath,
                u"=== ParseAndSaveLastSale: FIN ==="_s};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FDir.isValid());
        sales::SetBuiltInProducts(FNames, FIds);
    }

    void init()
    {
        static int n = 0;
        const QString dir = FDir.filePath(QString::number(++n));
        QVERIFY(QDir().mkpath(dir));
        FPath = QDir::toNativeSeparators(dir + u"/sale.txt"_s);
        FLog.lines.clear();
    }

    void newFileGetsHeaderAndRow()
    {
        save(kReply);
        QCOMPARE(readBytes(FPath), crlf({sales::SaleFileHeader(), kRow}));
        QCOMPARE(FLog.lines,
                 QStringList({u"=== ParseAndSaveLastSale: INICIO bomba 3 ==="_s,
                              u"ParseAndSaveLastSale: NumVenta=128"_s,
                              u"ParseAndSaveLastSale: Archivo no existe, creando nuevo"_s,
                              u"ParseAndSaveLastSale: Header creado (CON COMAS)"_s}) +
                     appendLines());
        QCOMPARE(sales::SaleFileHeader().split(u',').size(), 19);
    }

    void existingFiles_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QStringList>("fileLog");
        const QString header = sales::SaleFileHeader();
        const QString loaded = u"ParseAndSaveLastSale: Archivo existente cargado, líneas=%1"_s;
        const QString created = u"ParseAndSaveLastSale: Header creado (CON COMAS)"_s;

        QTest::newRow("rows") << crlf({header, kOtherRow}) << crlf({header, kOtherRow, kRow})
                              << QStringList{loaded.arg(2)};
        QTest::newRow("header only")
            << crlf({header}) << crlf({header, kRow}) << QStringList{loaded.arg(1)};
        QTest::newRow("empty") << QByteArray() << crlf({header, kRow})
                               << QStringList{loaded.arg(0), created};
        QTest::newRow("LF, no final break")
            << QByteArray(header.toLatin1() + '\n' + kOtherRow.toLatin1())
            << crlf({header, kOtherRow, kRow}) << QStringList{loaded.arg(2)};
        QTest::newRow("first line not the header")
            << crlf({kRow, kOtherRow}) << crlf({kRow, kOtherRow, kRow})
            << QStringList{loaded.arg(2)};
        // Only "ID Venta" and "# de Venta" together name a sale.
        QTest::newRow("same number, other id")
            << crlf({header, u"4700,128,x"_s}) << crlf({header, u"4700,128,x"_s, kRow})
            << QStringList{loaded.arg(2)};
        QTest::newRow("id equal to this number")
            << crlf({header, u"128,4711,x"_s}) << crlf({header, u"128,4711,x"_s, kRow})
            << QStringList{loaded.arg(2)};
        QTest::newRow("longer number")
            << crlf({header, u"4711,1280,x"_s}) << crlf({header, u"4711,1280,x"_s, kRow})
            << QStringList{loaded.arg(2)};
        // "Surtidor" takes part too: ticket numbers may be counted per pump.
        const QString otherPump = QString(kRow).replace(u",14:30:05,3,"_s, u",14:30:05,9,"_s);
        QTest::newRow("same id and number, other pump")
            << crlf({header, otherPump}) << crlf({header, otherPump, kRow})
            << QStringList{loaded.arg(2)};
        QTest::newRow("pump in another column")
            << crlf({header, u"4711,128,3,x,y"_s}) << crlf({header, u"4711,128,3,x,y"_s, kRow})
            << QStringList{loaded.arg(2)};
        QTest::newRow("row ends before its pump")
            << crlf({header, u"4711,128,31/01/2024"_s})
            << crlf({header, u"4711,128,31/01/2024"_s, kRow}) << QStringList{loaded.arg(2)};
        QTest::newRow("ANSI kept")
            << QByteArray("ID\r\n1,Ca\xF1\x61 \x80\r\n")
            << QByteArray("ID\r\n1,Ca\xF1\x61 \x80\r\n" + kRow.toLatin1() + "\r\n")
            << QStringList{loaded.arg(2)};
    }

    void existingFiles()
    {
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QFETCH(QStringList, fileLog);
        writeBytes(FPath, before);
        save(kReply);
        QCOMPARE(readBytes(FPath), after);
        QCOMPARE(FLog.lines, QStringList({u"=== ParseAndSaveLastSale: INICIO bomba 3 ==="_s,
                                          u"ParseAndSaveLastSale: NumVenta=128"_s}) +
                                 fileLog + appendLines());
    }

    void encodingKept_data()
    {
        QTest::addColumn<text::TextEncoding>("encoding");
        QTest::newRow("ANSI") << text::TextEncoding::Ansi;
        QTest::newRow("UTF-8 BOM") << text::TextEncoding::Utf8Bom;
        QTest::newRow("UTF-16 LE") << text::TextEncoding::Utf16LE;
        QTest::newRow("UTF-16 BE") << text::TextEncoding::Utf16BE;
    }

    void encodingKept()
    {
        QFETCH(text::TextEncoding, encoding);
        const QStringList before = {sales::SaleFileHeader(), u"1,2,Señal Ñandú"_s};
        writeBytes(FPath, text::EncodeTextLines(before, encoding));
        save(kReply);
        QCOMPARE(readBytes(FPath), text::EncodeTextLines(before + QStringList{kRow}, encoding));
    }

    void recordedSaleIsNotWritten()
    {
        const QByteArray before =
            QByteArray("ID\n") + kOtherRow.toLatin1() + '\n' + kRow.toLatin1() + '\n';
        writeBytes(FPath, before);
        save(kReply, 7);
        QCOMPARE(readBytes(FPath), before); // not even rewritten with CR LF
        QCOMPARE(FLog.lines,
                 (QStringList{u"=== ParseAndSaveLastSale: INICIO bomba 7 ==="_s,
                              u"ParseAndSaveLastSale: NumVenta=128"_s,
                              u"ParseAndSaveLastSale: Archivo existente cargado, líneas=3"_s,
                              u"ParseAndSaveLastSale: Venta 128 ya existe, saliendo"_s}));

        // A second poll of the same sale after a first recording.
        init();
        save(kReply);
        FLog.lines.clear();
        save(kReply);
        QCOMPARE(FLog.lines.last(), u"ParseAndSaveLastSale: Venta 128 ya existe, saliendo"_s);
        QCOMPARE(readBytes(FPath), crlf({sales::SaleFileHeader(), kRow}));
    }

    // Rows that record kReply's sale: the same "ID Venta", "# de Venta" and
    // "Surtidor", whatever the other columns hold.
    void rowsThatRecordTheSale_data()
    {
        QTest::addColumn<QString>("row");
        QTest::newRow("its own row") << kRow;
        QTest::newRow("other date, time and amounts")
            << u"4711,128,01/02/2024,08:00:00,3,2,4,Gasolina Regular,1,000,1,000,1,3,1,3,0,000,"
               u"0,000,0,000,0,000,20.0,Ventas,TARJETA"_s;
        QTest::newRow("columns cut after the pump") << u"4711,128,31/01/2024,14:30:05,3,"_s;
    }

    void rowsThatRecordTheSale()
    {
        QFETCH(QString, row);
        writeBytes(FPath, crlf({sales::SaleFileHeader(), kOtherRow, row}));
        save(kReply);
        QCOMPARE(FLog.lines.last(), u"ParseAndSaveLastSale: Venta 128 ya existe, saliendo"_s);
        QCOMPARE(readBytes(FPath), crlf({sales::SaleFileHeader(), kOtherRow, row}));
    }

    // A byte above 127 from the wire (U+FFFD in the reply) is recorded: the
    // ANSI code page writes its default character "?", a Unicode file keeps
    // U+FFFD. The same reply again is the same sale, also where the byte
    // stands in a column that tells the sale.
    void bytesAbove127AreRecordedOnce_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<text::TextEncoding>("encoding");
        QTest::addColumn<QString>("row");
        const QString fffd(1, QChar(QChar::ReplacementCharacter));
        const QString unused = QString(kReply).replace(u"|HO1=1|"_s, u"|HO1=1|OPE1=JOS"_s + fffd +
                                                                         u" PE"_s + fffd + u"A|"_s);
        const QString payment =
            QString(kReply).replace(u"efectivo"_s, u"TARJETA D"_s + fffd + u"BITO"_s);
        const QString paidRow =
            QString(kRow).replace(u"Ventas EFECTIVO,EFECTIVO"_s, u"Ventas,TARJETA D?BITO"_s);
        const QString id = QString(kReply).replace(u"SA1=4711"_s, u"SA1=47"_s + fffd + u"1"_s);
        QTest::newRow("unused field") << unused << text::TextEncoding::Ansi << kRow;
        QTest::newRow("payment type") << payment << text::TextEncoding::Ansi << paidRow;
        QTest::newRow("sale id") << id << text::TextEncoding::Ansi
                                 << QString(kRow).replace(u"4711,"_s, u"47?1,"_s);
        QTest::newRow("payment type, UTF-8 file")
            << payment << text::TextEncoding::Utf8Bom
            << QString(paidRow).replace(u'?', QChar(QChar::ReplacementCharacter));
        QTest::newRow("sale id, UTF-16 file")
            << id << text::TextEncoding::Utf16LE
            << QString(kRow).replace(u"4711,"_s, u"47"_s + fffd + u"1,"_s);
    }

    void bytesAbove127AreRecordedOnce()
    {
        QFETCH(QString, reply);
        QFETCH(text::TextEncoding, encoding);
        QFETCH(QString, row);
        writeBytes(FPath, text::EncodeTextLines({sales::SaleFileHeader()}, encoding));
        save(reply);
        const QByteArray recorded = text::EncodeTextLines({sales::SaleFileHeader(), row}, encoding);
        QCOMPARE(readBytes(FPath), recorded);
        save(reply);
        QCOMPARE(FLog.lines.last(), u"ParseAndSaveLastSale: Venta 128 ya existe, saliendo"_s);
        QCOMPARE(readBytes(FPath), recorded);
    }

    void noSaleNumber_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::newRow("missing") << u"RES_GET_PUMP_SALES|RC=OK|SA1=1|STI1=143005|PM=3"_s;
        QTest::newRow("empty") << u"RES_GET_PUMP_SALES|RC=OK|SA1=1|TI1=|PM=3"_s;
        QTest::newRow("line break only") << u"RES_GET_PUMP_SALES|RC=OK|TI1=\r\n|PM=3"_s;
    }

    void noSaleNumber()
    {
        QFETCH(QString, reply);
        save(reply, 20);
        QVERIFY(!QFile::exists(FPath));
        QCOMPARE(FLog.lines, (QStringList{u"=== ParseAndSaveLastSale: INICIO bomba 20 ==="_s,
                                          u"ParseAndSaveLastSale: NumVenta vacío, saliendo"_s}));
    }

    void missingFieldsLeaveColumnsEmpty()
    {
        save(u"RES_GET_PUMP_SALES|RC=OK|TI1=9"_s);
        const QString row = u",9,,,,,,Desconocido (ID:),,,,,,0,000,,0,000,,Ventas,No Asignado"_s;
        QCOMPARE(readBytes(FPath), crlf({sales::SaleFileHeader(), row}));
        QCOMPARE(FLog.lines.mid(4, 4),
                 (QStringList{
                     u"GetFuelName: Producto no encontrado para GR1="_s,
                     u"GetProductID2: Buscando ID2 para GR1=\"\""_s,
                     u"GetProductID2: *** NO ENCONTRADO *** usando GR1 como ID2"_s,
                     u"ParseAndSaveLastSale: GR1= → ProductID2= | Nombre=Desconocido (ID:)"_s}));
    }

    void lineBreakInsideValue()
    {
        const QString reply = u"RES_GET_PUMP_SALES|RC=OK|SA1=47\n11|TI1=12\r8|GR1=6\r\n|VO1=1.\n5|"
                              u"PAY_TY1=TAR\r\nJETA"_s;
        save(reply);
        const QString row = u"4711,128,,,,,4,Gasolina Regular,1,500,1,500,,,,0,000,,0,000,,Ventas,"
                            u"TARJETA"_s;
        QCOMPARE(readBytes(FPath), crlf({sales::SaleFileHeader(), row}));
        save(reply);
        QCOMPARE(FLog.lines.last(), u"ParseAndSaveLastSale: Venta 128 ya existe, saliendo"_s);
    }

    void unreadableFileKeepsItsRows_data()
    {
        QTest::addColumn<bool>("folder");
        QTest::newRow("folder in its place") << true;
#ifndef Q_OS_WIN
        // Windows has no read permission that QFile can take away.
        QTest::newRow("no read permission") << false;
#endif
    }

    void unreadableFileKeepsItsRows()
    {
        QFETCH(bool, folder);
        const QByteArray rows = crlf({sales::SaleFileHeader(), kOtherRow});
        // The call stops at the file it cannot read and says why.
        const auto saveIsRefused = [&] {
            save(kReply);
            return FLog.lines.size() == 4 &&
                   FLog.lines.at(1) == u"ParseAndSaveLastSale: NumVenta=128"_s &&
                   FLog.lines.at(2).startsWith(
                       u"ParseAndSaveLastSale: Error cargando archivo existente: No se pudo leer \""_s +
                       FPath + u'"') &&
                   FLog.lines.at(3) == u"=== ParseAndSaveLastSale: FIN ==="_s;
        };
        QString inside;
        if (folder) {
            QVERIFY(QDir().mkdir(FPath));
            inside = FPath + u"/keep.txt"_s;
            writeBytes(inside, rows);
            QVERIFY2(saveIsRefused(), qPrintable(FLog.lines.join(u'\n')));
        } else {
#ifndef Q_OS_WIN
            // Root reads any file: the call runs as "nobody" then, in a child.
            writeBytes(FPath, rows);
            testing::OpenToEveryone(FDir.path());
            QVERIFY(
                QFile::setPermissions(FPath, QFileDevice::WriteOwner | QFileDevice::WriteOther));
            const testing::Unprivileged result = testing::RunUnprivileged(saveIsRefused);
            if (result == testing::Unprivileged::NotAvailable) {
                VELTRANE_SKIP("cannot drop to an unprivileged user here");
            }
            QVERIFY2(result == testing::Unprivileged::Passed, qPrintable(FLog.lines.join(u'\n')));
#endif
        }
        if (folder) {
            QVERIFY(QFileInfo(FPath).isDir());
            QCOMPARE(readBytes(inside), rows);
        } else {
            QVERIFY(QFile::setPermissions(FPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
            QCOMPARE(readBytes(FPath), rows);
        }
    }

    void unwritableFile()
    {
        const QString path = QDir::toNativeSeparators(FDir.filePath(u"falta/sale.txt"_s));
        save(kReply, 3, path);
        QVERIFY(!QFile::exists(path));
        QCOMPARE(FLog.lines.size(), 10);
        QCOMPARE(FLog.lines.at(7), u"ParseAndSaveLastSale: Línea agregada (CON COMAS): "_s + kRow);
        QVERIFY2(FLog.lines.at(8).startsWith(
                     u"ParseAndSaveLastSale: ❌ ERROR al guardar archivo: No se pudo escribir \""_s +
                     path + u"\": la carpeta no existe"_s),
                 qPrintable(FLog.lines.at(8)));
        QCOMPARE(FLog.lines.at(9), u"=== ParseAndSaveLastSale: FIN ==="_s);
    }

    // A reader that still holds the old file sees all of it: the file is
    // replaced, not rewritten in place. Windows refuses that replace while
    // the reader holds the file (QFile shares no delete): there the sale is
    // written into the same file, which the reader then sees, and the log
    // says so.
    void fileIsReplacedWhole()
    {
        const QByteArray before = crlf({sales::SaleFileHeader(), kOtherRow});
        const QByteArray after = crlf({sales::SaleFileHeader(), kOtherRow, kRow});
        writeBytes(FPath, before);
        QFile reader(FPath);
        QVERIFY(reader.open(QIODevice::ReadOnly));
        save(kReply);
#ifdef Q_OS_WIN
        QCOMPARE(reader.readAll(), after);
        QVERIFY(FLog.lines.contains(u"Archivo en uso por otro programa, reescrito en su lugar: "_s +
                                    QDir::toNativeSeparators(FPath)));
#else
        QCOMPARE(reader.readAll(), before);
#endif
        QCOMPARE(readBytes(FPath), after);
    }

    void dateAndTime_data()
    {
        QTest::addColumn<QString>("date");
        QTest::addColumn<QString>("dateColumn");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("timeColumn");
        QTest::newRow("reshaped") << u"20240131"_s << u"31/01/2024"_s << u"143005"_s
                                  << u"14:30:05"_s;
        QTest::newRow("not digits")
            << u"abcdefgh"_s << u"gh/ef/abcd"_s << u"ab cd "_s << u"ab: c:d "_s;
        QTest::newRow("one short") << u"2024013"_s << u"2024013"_s << u"14300"_s << u"14300"_s;
        QTest::newRow("one long") << u"202401311"_s << u"202401311"_s << u"1430055"_s
                                  << u"1430055"_s;
        QTest::newRow("empty") << QString() << QString() << QString() << QString();
    }

    void dateAndTime()
    {
        QFETCH(QString, date);
        QFETCH(QString, dateColumn);
        QFETCH(QString, time);
        QFETCH(QString, timeColumn);
        QCOMPARE(sales::ReshapeSaleDate(date), dateColumn);
        QCOMPARE(sales::ReshapeSaleTime(time), timeColumn);
    }

    void paymentTypes_data()
    {
        QTest::addColumn<QString>("payTy1");
        QTest::addColumn<QString>("tipoPago");
        QTest::addColumn<QString>("tipoVenta");
        QTest::newRow("blanks around") << u" efectivo "_s << u"EFECTIVO"_s << u"Ventas EFECTIVO"_s;
        QTest::newRow("blank after") << u"Efectivo "_s << u"EFECTIVO"_s << u"Ventas EFECTIVO"_s;
        QTest::newRow("mixed case") << u"eFeCtIvO"_s << u"EFECTIVO"_s << u"Ventas EFECTIVO"_s;
        QTest::newRow("controls") << u"\tEFECTIVO\r"_s << u"EFECTIVO"_s << u"Ventas EFECTIVO"_s;
        QTest::newRow("zero") << u"0"_s << u"No Asignado"_s << u"Ventas"_s;
        QTest::newRow("zero with blanks") << u" 0 "_s << u"No Asignado"_s << u"Ventas"_s;
        QTest::newRow("empty") << QString() << u"No Asignado"_s << u"Ventas"_s;
        QTest::newRow("other word") << u"TARJETA"_s << u"TARJETA"_s << u"Ventas"_s;
        QTest::newRow("other, trimmed") << u" tarjeta "_s << u"tarjeta"_s << u"Ventas"_s;
        QTest::newRow("longer word") << u"EFECTIVOS"_s << u"EFECTIVOS"_s << u"Ventas"_s;
        QTest::newRow("zeros") << u"00"_s << u"00"_s << u"Ventas"_s;
        QTest::newRow("not A to Z") << u"EFECT\u0130VO"_s << u"EFECT\u0130VO"_s << u"Ventas"_s;
    }

    void paymentTypes()
    {
        QFETCH(QString, payTy1);
        QFETCH(QString, tipoPago);
        QFETCH(QString, tipoVenta);
        const sales::PaymentTypes types = sales::PaymentTypesOf(payTy1);
        QCOMPARE(types.tipoPago, tipoPago);
        QCOMPARE(types.tipoVenta, tipoVenta);
    }
};

VELTRANE_GUILESS_TEST_MAIN(TestSaleRecord)
#include "test_sale_record.moc"
