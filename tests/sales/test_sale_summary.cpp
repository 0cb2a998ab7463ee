// What the window is told of a recorded sale: the row's volume, amount and
// time, only once the row is in the file.
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "support/logs.h"
#include "support/sale_samples.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane;
using testing::MemoryLog;

namespace {

const QString& kReply = testing::kSaleReply;

} // namespace

class TestSaleSummary : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir FDir;
    sales::ProductMap FNames;
    sales::ProductMap FIds;
    MemoryLog FLog;

    // The summaries reported by one call.
    QList<sales::SaleSummary> save(const QString& reply, const QString& path)
    {
        QList<sales::SaleSummary> told;
        const sales::SaleFileContext context{
            path, FNames, FIds, FLog,
            [&told](const sales::SaleSummary& sale) { told.append(sale); }};
        sales::ParseAndSaveLastSale(reply, 3, context);
        return told;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(FDir.isValid());
        sales::SetBuiltInProducts(FNames, FIds);
    }

    void reportedOnlyWhenTheRowIsInTheFile()
    {
        const QString path = QDir::toNativeSeparators(FDir.filePath(u"sale.txt"_s));
        const QList<sales::SaleSummary> told = save(kReply, path);
        QCOMPARE(told.size(), 1);
        QCOMPARE(told[0].volume, u"25,500"_s);
        QCOMPARE(told[0].amount, u"33,1"_s);
        QCOMPARE(told[0].time, u"14:30:05"_s);
        // The same values stand in the row: columns 9 ("Volumen"), 12 ("Monto")
        // and 4 ("Hora de Fin").
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(
            file.readAll().contains(",14:30:05,3,1,4,Gasolina Regular,25,500,25,500,1,3,33,1,"));
        QCOMPARE(sales::SaleSummaryText(told[0]), u"25,500 L · 33,1 · 14:30"_s);

        QVERIFY(save(kReply, path).isEmpty());                                   // already recorded
        QVERIFY(save(u"RES_GET_PUMP_SALES|RC=OK|VO1=1|PM=3"_s, path).isEmpty()); // no TI1
        const QString missingFolder = QDir::toNativeSeparators(FDir.filePath(u"falta/sale.txt"_s));
        QVERIFY(save(kReply, missingFolder).isEmpty()); // the write failed
        const QString folderInItsPlace = QDir::toNativeSeparators(FDir.filePath(u"dir"_s));
        QVERIFY(QDir().mkpath(folderInItsPlace));
        QVERIFY(save(kReply, folderInItsPlace).isEmpty()); // the file could not be read
    }

    void summaryText_data()
    {
        QTest::addColumn<QString>("volume");
        QTest::addColumn<QString>("amount");
        QTest::addColumn<QString>("time");
        QTest::addColumn<QString>("text");
        QTest::newRow("whole") << u"1.025,500"_s << u"1.332,1"_s << u"09:05:59"_s
                               << u"1.025,500 L · 1.332,1 · 09:05"_s;
        QTest::newRow("time not reshaped")
            << u"2,000"_s << u"3,0"_s << u"14305"_s << u"2,000 L · 3,0 · 14305"_s;
        QTest::newRow("no volume") << QString() << u"3,0"_s << u"14:30:05"_s << u"3,0 · 14:30"_s;
        QTest::newRow("nothing") << QString() << QString() << QString() << QString();
    }

    void summaryText()
    {
        QFETCH(QString, volume);
        QFETCH(QString, amount);
        QFETCH(QString, time);
        QFETCH(QString, text);
        QCOMPARE(sales::SaleSummaryText({volume, amount, time}), text);
    }
};

QTEST_GUILESS_MAIN(TestSaleSummary)
#include "test_sale_summary.moc"
