// Product catalogue: the file's lines into the two maps, the built-in
// products, the lookups and every log line they write.
#include "core/failure.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "support/logs.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::sales::ProductMap;
using veltrane::testing::MemoryLog;

namespace {

const QString kRule = QString(40, u'=');
const QString kDash = QString(40, u'-');

QStringList entries(const ProductMap& map)
{
    QStringList out;
    for (qsizetype i = 0; i < map.Count(); ++i) {
        out.append(map.Entry(i));
    }
    return out;
}

const QStringList kBuiltInNames = {u"3=Gasolina Excellium"_s, u"6=Gasolina Regular"_s,
                                   u"7=Diesel Regular"_s, u"8=Diesel Excellium"_s,
                                   u"9=Gasolina Racing X"_s};
const QStringList kBuiltInIds = {u"3=3"_s, u"6=4"_s, u"7=2"_s, u"8=5"_s, u"9=6"_s};

} // namespace

class TestProductCatalog : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir FDir;
    QString FPath;
    ProductMap FNames;
    ProductMap FIds;
    MemoryLog FLog;

    void writeCatalog(const QByteArray& bytes)
    {
        QFile file(FPath);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(bytes), bytes.size());
    }
    void load() { veltrane::sales::LoadProductNames(FPath, FNames, FIds, FLog); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(FDir.isValid());
        FPath = QDir::toNativeSeparators(FDir.filePath(u"productos.txt"_s));
        QFile::remove(FPath);
        QDir(FDir.path()).rmdir(u"productos.txt"_s);
        FLog.lines.clear();
        // Left-overs of an earlier run must be cleared by the load.
        FNames.SetValue(u"99"_s, u"Viejo"_s);
        FIds.SetValue(u"99"_s, u"99"_s);
    }

    void mapRules()
    {
        ProductMap map;
        map.SetValue(u"ab"_s, u"1"_s);
        map.SetValue(u"a"_s, u"2"_s);
        QCOMPARE(map.Value(u"a"), u"2"_s); // "ab=1" does not match key "a"
        QCOMPARE(map.Value(u"AB"), u"1"_s);
        map.SetValue(u"AB"_s, u"3"_s); // replaced in place, with the new spelling
        QCOMPARE(entries(map), (QStringList{u"AB=3"_s, u"a=2"_s}));
        map.SetValue(u"zz"_s, QString()); // removing an absent key adds nothing
        map.SetValue(u"ab"_s, QString());
        QCOMPARE(entries(map), QStringList{u"a=2"_s});
        QVERIFY(map.Value(u"ab").isEmpty());
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, map.Entry(1));
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, map.Entry(-1));
        map.Clear();
        QCOMPARE(map.Count(), 0);
    }

    void missingFileUsesBuiltIns()
    {
        load();
        QCOMPARE(entries(FNames), kBuiltInNames);
        QCOMPARE(entries(FIds), kBuiltInIds);
        QCOMPARE(FLog.lines,
                 (QStringList{kRule, u"LoadProductNames: INICIANDO CARGA (FORMATO CSV CON COMAS)"_s,
                              kRule,
                              u"LoadProductNames: *** ADVERTENCIA *** Archivo productos.txt NO "
                              u"ENCONTRADO"_s}));
    }

    void wholeLoadLog()
    {
        writeCatalog("[Productos]\r\n3,Gasolina Excellium,3\r\n\r\n9\r\n7,Diesel Regular\r\n");
        load();
        QCOMPARE(entries(FNames), (QStringList{u"3=Gasolina Excellium"_s, u"7=Diesel Regular"_s}));
        QCOMPARE(entries(FIds), (QStringList{u"3=3"_s, u"7=7"_s}));
        const QStringList expected = {
            kRule,
            u"LoadProductNames: INICIANDO CARGA (FORMATO CSV CON COMAS)"_s,
            kRule,
            u"LoadProductNames: Archivo encontrado - Total líneas: 5"_s,
            kDash,
            u"Línea 1: \"[Productos]\""_s,
            u"  -> Línea vacía o sección, saltando"_s,
            u"Línea 2: \"3,Gasolina Excellium,3\""_s,
            u"  -> *** PARSEADO EXITOSO ***"_s,
            u"     ID1 (Consola): \"3\""_s,
            u"     Nombre: \"Gasolina Excellium\""_s,
            u"     ID2 (Sistema): \"3\""_s,
            kDash,
            u"Línea 3: \"\""_s,
            u"  -> Línea vacía o sección, saltando"_s,
            u"Línea 4: \"9\""_s,
            u"  -> ERROR: No se encontró coma en la línea"_s,
            kDash,
            u"Línea 5: \"7,Diesel Regular\""_s,
            u"  -> *** SIN ID2 *** usando ID1 como ID2"_s,
            u"     ID1: \"7\""_s,
            u"     Nombre: \"Diesel Regular\""_s,
            kDash,
            kRule,
            u"RESUMEN FINAL:"_s,
            u"Total productos en FProductNames: 2"_s,
            u"Total ID2 en FProductID2: 2"_s,
            QString(),
            u"Contenido completo de FProductID2:"_s,
            u"  [0] 3=3"_s,
            u"  [1] 7=7"_s,
            kRule,
        };
        QCOMPARE(FLog.lines, expected);
    }

    // One line after "5,Viejo,9", so removals show.
    void lineTable_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QString>("verdict");

        const QString parsed = u"  -> *** PARSEADO EXITOSO ***"_s;
        const QString noId = u"  -> *** SIN ID2 *** usando ID1 como ID2"_s;
        const QString skipped = u"  -> Línea vacía o sección, saltando"_s;
        const QString noComma = u"  -> ERROR: No se encontró coma en la línea"_s;
        const QString old = u"5=Viejo"_s;
        const QString oldId = u"5=9"_s;
        QTest::newRow("blank") << QByteArray(" \t ") << QStringList{old} << QStringList{oldId}
                               << skipped;
        QTest::newRow("section") << QByteArray("[Productos]") << QStringList{old}
                                 << QStringList{oldId} << skipped;
        QTest::newRow("full") << QByteArray("3,Gasolina Excellium,3")
                              << QStringList{old, u"3=Gasolina Excellium"_s}
                              << QStringList{oldId, u"3=3"_s} << parsed;
        QTest::newRow("blanks and tabs")
            << QByteArray("\t6 ,\tGasolina Regular\t, 4\t")
            << QStringList{old, u"6=Gasolina Regular"_s} << QStringList{oldId, u"6=4"_s} << parsed;
        QTest::newRow("no identifier")
            << QByteArray("7,Diesel Regular") << QStringList{old, u"7=Diesel Regular"_s}
            << QStringList{oldId, u"7=7"_s} << noId;
        QTest::newRow("identifier with commas")
            << QByteArray("8,Diesel,5,B") << QStringList{old, u"8=Diesel"_s}
            << QStringList{oldId, u"8=5,B"_s} << parsed;
        QTest::newRow("no comma") << QByteArray("9") << QStringList{old} << QStringList{oldId}
                                  << noComma;
        QTest::newRow("code and comma")
            << QByteArray("5,") << QStringList{} << QStringList{u"5=5"_s} << noId;
        QTest::newRow("empty name")
            << QByteArray("5,,7") << QStringList{} << QStringList{u"5=7"_s} << parsed;
        QTest::newRow("empty identifier")
            << QByteArray("5,Gas,") << QStringList{u"5=Gas"_s} << QStringList{} << parsed;
        QTest::newRow("empty code") << QByteArray(",Gas,7") << QStringList{old, u"=Gas"_s}
                                    << QStringList{oldId, u"=7"_s} << parsed;
        QTest::newRow("code in other case")
            << QByteArray("a,Uno,1\r\nA,Dos,2") << QStringList{old, u"A=Dos"_s}
            << QStringList{oldId, u"A=2"_s} << parsed;
    }

    void lineTable()
    {
        QFETCH(QByteArray, line);
        QFETCH(QStringList, names);
        QFETCH(QStringList, ids);
        QFETCH(QString, verdict);
        writeCatalog("5,Viejo,9\r\n" + line + "\r\n");
        load();
        QCOMPARE(entries(FNames), names);
        QCOMPARE(entries(FIds), ids);
        // The verdict follows the last "Línea" line.
        const qsizetype at = FLog.lines.lastIndexOf(QRegularExpression(u"Línea \\d+: .*"_s));
        QVERIFY(at > 0);
        QCOMPARE(FLog.lines.at(at + 1), verdict);
    }

    void encodingsAndLineEnds_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QString text = u"3,Gasolina Ñandú,3\r\n6,Diésel,4\r\n"_s;
        QTest::newRow("ANSI") << QByteArray("3,Gasolina \xD1\x61nd\xFA,3\r\n6,Di\xE9sel,4\r\n");
        QTest::newRow("UTF-8 BOM") << QByteArray("\xEF\xBB\xBF" + text.toUtf8());
        QByteArray le("\xFF\xFE");
        QByteArray be("\xFE\xFF");
        for (const QChar c : text) {
            const char16_t u = c.unicode();
            le.append(char(u & 0xFF)).append(char(u >> 8));
            be.append(char(u >> 8)).append(char(u & 0xFF));
        }
        QTest::newRow("UTF-16 LE") << le;
        QTest::newRow("UTF-16 BE") << be;
        QTest::newRow("LF") << QByteArray("3,Gasolina \xD1\x61nd\xFA,3\n6,Di\xE9sel,4\n");
        QTest::newRow("CR") << QByteArray("3,Gasolina \xD1\x61nd\xFA,3\r6,Di\xE9sel,4");
    }

    void encodingsAndLineEnds()
    {
        QFETCH(QByteArray, bytes);
        writeCatalog(bytes);
        load();
        QVERIFY(FLog.lines.contains(u"LoadProductNames: Archivo encontrado - Total líneas: 2"_s));
        QCOMPARE(entries(FNames), (QStringList{u"3=Gasolina Ñandú"_s, u"6=Diésel"_s}));
        QCOMPARE(entries(FIds), (QStringList{u"3=3"_s, u"6=4"_s}));
    }

    void laterLineKeepsPlaceOfFirst()
    {
        writeCatalog("3,Uno,1\n6,Dos,2\n3,Tres,3\n");
        load();
        QCOMPARE(entries(FNames), (QStringList{u"3=Tres"_s, u"6=Dos"_s}));
        QCOMPARE(entries(FIds), (QStringList{u"3=3"_s, u"6=2"_s}));
        QVERIFY(FLog.lines.contains(u"  [0] 3=3"_s));
        QVERIFY(FLog.lines.contains(u"  [1] 6=2"_s));
    }

    void emptyFileHasNoProducts()
    {
        writeCatalog("\r\n[Productos]\r\n");
        load();
        QCOMPARE(FNames.Count(), 0);
        QCOMPARE(FIds.Count(), 0);
        QVERIFY(FLog.lines.contains(u"Total productos en FProductNames: 0"_s));
        QVERIFY(FLog.lines.contains(u"Total ID2 en FProductID2: 0"_s));
        FLog.lines.clear();
        QCOMPARE(veltrane::sales::GetFuelName(FNames, u"3"_s, FLog), u"Desconocido (ID:3)"_s);
        QCOMPARE(veltrane::sales::GetProductID2(FIds, u"3"_s, FLog), u"3"_s);
    }

    void unreadableFileFallsBack()
    {
        QVERIFY(QDir(FDir.path()).mkdir(u"productos.txt"_s));
        load();
        QCOMPARE(entries(FNames), kBuiltInNames);
        QCOMPARE(entries(FIds), kBuiltInIds);
        QCOMPARE(FLog.lines.size(), 4);
        QVERIFY2(FLog.lines.at(3).startsWith(u"LoadProductNames: *** ERROR CRÍTICO *** No se "
                                             u"pudo leer \""_s +
                                             FPath),
                 qPrintable(FLog.lines.at(3)));
    }

    void lookups_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("found") << u"6"_s << u"Gasolina Regular"_s << u"4"_s
                               << QStringList{u"GetProductID2: Buscando ID2 para GR1=\"6\""_s,
                                              u"GetProductID2: *** ENCONTRADO *** GR1=6 → ID2=4"_s};
        QTest::newRow("missing")
            << u"12"_s << u"Desconocido (ID:12)"_s << u"12"_s
            << QStringList{u"GetFuelName: Producto no encontrado para GR1=12"_s,
                           u"GetProductID2: Buscando ID2 para GR1=\"12\""_s,
                           u"GetProductID2: *** NO ENCONTRADO *** usando GR1 como ID2"_s};
        QTest::newRow("empty code")
            << QString() << u"Desconocido (ID:)"_s << QString()
            << QStringList{u"GetFuelName: Producto no encontrado para GR1="_s,
                           u"GetProductID2: Buscando ID2 para GR1=\"\""_s,
                           u"GetProductID2: *** NO ENCONTRADO *** usando GR1 como ID2"_s};
        QTest::newRow("not trimmed")
            << u" 6"_s << u"Desconocido (ID: 6)"_s << u" 6"_s
            << QStringList{u"GetFuelName: Producto no encontrado para GR1= 6"_s,
                           u"GetProductID2: Buscando ID2 para GR1=\" 6\""_s,
                           u"GetProductID2: *** NO ENCONTRADO *** usando GR1 como ID2"_s};
    }

    void lookups()
    {
        QFETCH(QString, code);
        QFETCH(QString, name);
        QFETCH(QString, id);
        QFETCH(QStringList, log);
        ProductMap names;
        ProductMap ids;
        veltrane::sales::SetBuiltInProducts(names, ids);
        QCOMPARE(veltrane::sales::GetFuelName(names, code, FLog), name);
        QCOMPARE(veltrane::sales::GetProductID2(ids, code, FLog), id);
        QCOMPARE(FLog.lines, log);
    }
};

QTEST_GUILESS_MAIN(TestProductCatalog)
#include "test_product_catalog.moc"
