// The program's files under attack: the data directory missing or a file, the
// catalogue, sale file, state file and log read-only, unreadable or replaced
// by a directory, very large files, and a catalogue of hostile content. Each
// behaves as the program's rules say, and nothing already recorded is lost.
#include "app/form_fixture.h"
#include "core/failure.h"
#include "monitor/pump_state_file.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "support/logs.h"
#include "support/sale_samples.h"
#include "support/unprivileged.h"
#include "support/visible_skip.h"
#include "text/debug_log.h"
#include "text/text_lines.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace veltrane;
using testing::MemoryLog;
using testing::RunUnprivileged;
using testing::Unprivileged;

namespace {

const QString& kReply = testing::kSaleReply;
const QString& kRow = testing::kSaleRow;
using testing::kOtherRow;

// Counts log lines; a million-line catalogue logs several million.
class CountingLog : public LogSink
{
public:
    void WriteLog(const QString& text) noexcept override
    {
        ++lines;
        if (text.startsWith(u"LoadProductNames: *** ERROR"_s) ||
            text.startsWith(u"LoadProductNames: *** ADVERTENCIA"_s)) {
            verdicts.append(text);
        }
    }
    qsizetype lines = 0;
    QStringList verdicts;
};

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

bool anyStartsWith(const QStringList& lines, const QString& prefix)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString& line) { return line.startsWith(prefix); });
}

QByteArray saleFile(const QStringList& rows)
{
    return text::EncodeTextLines(QStringList{sales::SaleFileHeader()} + rows,
                                 text::TextEncoding::Ansi);
}

constexpr QFileDevice::Permissions kReadOnly =
    QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;

void requireUnprivileged(Unprivileged result)
{
    if (result == Unprivileged::NotAvailable) {
        VELTRANE_SKIP("cannot drop to an unprivileged user here");
    }
    QVERIFY(result == Unprivileged::Passed);
}

} // namespace

class TestHostileFiles : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A U+FEFF right after the byte-order mark is text: it survives a rewrite.
    void secondMarkSurvivesARewrite_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("UTF-8") << QByteArray("\xEF\xBB\xBF\xEF\xBB\xBFID\r\nx\r\n");
        QTest::newRow("UTF-16 LE") << QByteArray("\xFF\xFE\xFF\xFEI\0D\0\r\0\n\0", 12);
        QTest::newRow("UTF-16 BE") << QByteArray("\xFE\xFF\xFE\xFF\0I\0D\0\r\0\n", 12);
    }

    void secondMarkSurvivesARewrite()
    {
        QFETCH(QByteArray, bytes);
        const text::TextLines read = text::DecodeTextLines(bytes);
        QVERIFY(read.lines.value(0).startsWith(QChar(0xFEFF)));
        QCOMPARE(text::EncodeTextLines(read.lines, read.encoding), bytes);
    }

    // The catalogue: whatever stands at its path, loading never fails, and
    // the built-in products take over where the rules say.
    void catalogueUnderAttack_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("verdict");
        QTest::addColumn<QString>("name6");
        QTest::newRow("missing") << u"missing"_s
                                 << u"LoadProductNames: *** ADVERTENCIA *** Archivo productos.txt "
                                    u"NO ENCONTRADO"_s
                                 << u"Gasolina Regular"_s;
        QTest::newRow("a directory in its place")
            << u"directory"_s << u"LoadProductNames: *** ERROR CRÍTICO *** "_s
            << u"Gasolina Regular"_s;
        QTest::newRow("binary") << u"binary"_s << QString() << QString();
        QTest::newRow("one line of 32 MiB") << u"huge line"_s << QString() << u"Regular"_s;
        QTest::newRow("NUL bytes inside a line") << u"nul"_s << QString() << u"Gas\0ina"_s;
    }

    void catalogueUnderAttack()
    {
        QFETCH(QString, attack);
        QFETCH(QString, verdict);
        QFETCH(QString, name6);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"productos.txt"_s);
        if (attack == u"directory"_s) {
            QVERIFY(QDir().mkdir(path));
        } else if (attack == u"binary"_s) {
            QByteArray bytes(1 << 20, Qt::Uninitialized);
            QRandomGenerator random(42);
            random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
            QVERIFY(writeBytes(path, bytes));
        } else if (attack == u"huge line"_s) {
            QVERIFY(writeBytes(path, "6,Regular,4," + QByteArray(32 << 20, 'x') + "\r\n"));
        } else if (attack == u"nul"_s) {
            QVERIFY(writeBytes(path, QByteArray("6,Gas\0ina,4\r\n", 13)));
        }
        sales::ProductMap names;
        sales::ProductMap ids;
        CountingLog log;
        sales::LoadProductNames(path, names, ids, log);
        if (verdict.isEmpty()) {
            QVERIFY2(log.verdicts.isEmpty(), qPrintable(log.verdicts.join(u'\n')));
        } else {
            QCOMPARE(log.verdicts.size(), 1);
            QVERIFY2(log.verdicts.at(0).startsWith(verdict), qPrintable(log.verdicts.at(0)));
        }
        if (!name6.isNull()) {
            QCOMPARE(names.Value(u"6"), name6);
        }
        // Every entry is found again by the text before its first "=".
        for (const sales::ProductMap* map : {&names, &ids}) {
            for (qsizetype i = 0; i < map->Count(); ++i) {
                const QString& entry = map->Entry(i);
                QVERIFY(!map->Value(QStringView(entry).first(entry.indexOf(u'='))).isEmpty());
            }
        }
        QVERIFY(attack != u"directory"_s || QFileInfo(path).isDir());
    }

    void unreadableCatalogueFallsBackToBuiltIn()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"productos.txt"_s);
        QVERIFY(writeBytes(path, "6,Otro,9\r\n"));
        testing::OpenToEveryone(dir.path());
        QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        requireUnprivileged(RunUnprivileged([&] {
            sales::ProductMap names;
            sales::ProductMap ids;
            CountingLog log;
            sales::LoadProductNames(path, names, ids, log);
            return log.verdicts.size() == 1 &&
                   log.verdicts.at(0).startsWith(u"LoadProductNames: *** ERROR CRÍTICO *** "_s) &&
                   names.Value(u"6") == u"Gasolina Regular"_s && ids.Value(u"6") == u"4"_s;
        }));
    }

    // A million product lines load in linear time (the map finds each code
    // through an index), every one of them in the maps.
    void millionLineCatalogue()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"productos.txt"_s);
        QByteArray bytes;
        constexpr int kLines = 1'000'000;
        bytes.reserve(kLines * 28);
        for (int i = 0; i < kLines; ++i) {
            bytes += "P" + QByteArray::number(i) + ",Producto " + QByteArray::number(i) + "," +
                     QByteArray::number(i % 97) + "\r\n";
        }
        QVERIFY(writeBytes(path, bytes));
        sales::ProductMap names;
        sales::ProductMap ids;
        CountingLog log;
        sales::LoadProductNames(path, names, ids, log);
        QCOMPARE(names.Count(), kLines);
        QCOMPARE(ids.Count(), kLines);
        QCOMPARE(names.Value(u"p999999"), u"Producto 999999"_s);
        QCOMPARE(ids.Value(u"P123456"), QString::number(123456 % 97));
        QCOMPARE(ids.Entry(kLines - 1), u"P999999=%1"_s.arg(999999 % 97));
        QVERIFY(log.lines > 6 * kLines); // every line logged, and the dump
    }

    // The sale file: nothing already recorded is lost, whatever stands in the way.
    void saleFileUnderAttack_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("logged");
        QTest::addColumn<bool>("recorded");
        QTest::newRow("data directory missing")
            << u"no directory"_s << u"ParseAndSaveLastSale: ❌ ERROR al guardar archivo: "_s
            << false;
        QTest::newRow("a directory in its place")
            << u"directory"_s << u"ParseAndSaveLastSale: Error cargando archivo existente: "_s
            << false;
        QTest::newRow("last line cut short")
            << u"cut"_s << u"ParseAndSaveLastSale: ✅ Archivo guardado exitosamente en "_s << true;
        // A kill between the two steps of the atomic replace (link the new
        // file under a temporary name, rename it over the old) leaves such a
        // copy; later runs must neither trip over it nor touch it.
        QTest::newRow("a leftover copy beside it")
            << u"leftover"_s << u"ParseAndSaveLastSale: ✅ Archivo guardado exitosamente en "_s
            << true;
        QTest::newRow("200 000 rows")
            << u"large"_s << u"ParseAndSaveLastSale: ✅ Archivo guardado exitosamente en "_s << true;
    }

    void saleFileUnderAttack()
    {
        QFETCH(QString, attack);
        QFETCH(QString, logged);
        QFETCH(bool, recorded);
        QTemporaryDir dir;
        const QString data = dir.filePath(u"corvane"_s);
        const QString path = data + u"/sale.txt"_s;
        QByteArray before;
        if (attack != u"no directory"_s) {
            QVERIFY(QDir().mkdir(data));
        }
        if (attack == u"directory"_s) {
            QVERIFY(QDir().mkdir(path));
            QVERIFY(writeBytes(path + u"/keep"_s, "x"));
        } else if (attack == u"cut"_s) {
            before = saleFile({kOtherRow}) + "4701,12";
            QVERIFY(writeBytes(path, before));
        } else if (attack == u"leftover"_s) {
            before = saleFile({kOtherRow});
            QVERIFY(writeBytes(path, before));
            QVERIFY(writeBytes(path + u".Ab12Cd"_s, saleFile({})));
        } else if (attack == u"large"_s) {
            QStringList rows;
            for (int i = 0; i < 200'000; ++i) {
                rows.append(QString(kOtherRow).replace(u"4700,127"_s, u"%1,127"_s.arg(i)));
            }
            before = saleFile(rows);
            QVERIFY(writeBytes(path, before));
        }
        sales::ProductMap names;
        sales::ProductMap ids;
        sales::SetBuiltInProducts(names, ids);
        MemoryLog log;
        sales::ParseAndSaveLastSale(kReply, 3, {path, names, ids, log});
        QVERIFY2(anyStartsWith(log.lines, logged), qPrintable(log.lines.join(u'\n')));
        const QByteArray after = readBytes(path);
        if (attack == u"no directory"_s) {
            QVERIFY(!QFileInfo::exists(data)); // not made behind the program's back
        } else if (attack == u"directory"_s) {
            QVERIFY(QFileInfo(path).isDir());
            QCOMPARE(readBytes(path + u"/keep"_s), QByteArray("x"));
        } else if (attack == u"cut"_s) {
            // The cut line stays a line of its own; the row follows it.
            QCOMPARE(after, QByteArray(before + "\r\n" + kRow.toLatin1() + "\r\n"));
        } else {
            QVERIFY(after.startsWith(before));
        }
        if (recorded) {
            QVERIFY(after.endsWith(QByteArray(kRow.toLatin1() + "\r\n")));
        }
        // Nothing but the sale file (and the planted copy) is in the data directory.
        if (attack == u"leftover"_s) {
            QCOMPARE(readBytes(path + u".Ab12Cd"_s), saleFile({}));
            QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
                     (QStringList{u"sale.txt"_s, u"sale.txt.Ab12Cd"_s}));
        } else if (QFileInfo(data).isDir()) {
            QCOMPARE(QDir(data).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
                     QStringList{u"sale.txt"_s});
        }
    }

    // Read-only file, unreadable file, read-only directory: the rows stay as
    // they were, and the failure is in the log.
    void saleFileWithoutPermission_data()
    {
        QTest::addColumn<QString>("attack");
        QTest::addColumn<QString>("logged");
        QTest::newRow("read-only file")
            << u"read-only"_s << u"ParseAndSaveLastSale: ❌ ERROR al guardar archivo: "_s;
        QTest::newRow("unreadable file")
            << u"unreadable"_s << u"ParseAndSaveLastSale: Error cargando archivo existente: "_s;
        QTest::newRow("read-only directory")
            << u"read-only directory"_s << u"ParseAndSaveLastSale: ❌ ERROR al guardar archivo: "_s;
    }

    void saleFileWithoutPermission()
    {
        QFETCH(QString, attack);
        QFETCH(QString, logged);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sale.txt"_s);
        const QByteArray before = saleFile({kOtherRow});
        QVERIFY(writeBytes(path, before));
        testing::OpenToEveryone(dir.path());
        if (attack == u"read-only"_s) {
            QVERIFY(QFile::setPermissions(path, kReadOnly));
        } else if (attack == u"unreadable"_s) {
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner | QFileDevice::WriteOther));
        } else {
            QVERIFY(QFile::setPermissions(dir.path(), kReadOnly | QFileDevice::ExeOwner |
                                                          QFileDevice::ExeGroup |
                                                          QFileDevice::ExeOther));
        }
        requireUnprivileged(RunUnprivileged([&] {
            sales::ProductMap names;
            sales::ProductMap ids;
            sales::SetBuiltInProducts(names, ids);
            MemoryLog log;
            sales::ParseAndSaveLastSale(kReply, 3, {path, names, ids, log});
            return anyStartsWith(log.lines, logged);
        }));
        testing::OpenToEveryone(dir.path());
        QCOMPARE(readBytes(path), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::NoDotAndDotDot),
                 QStringList{u"sale.txt"_s});
    }

    // The state file: a directory in its place or a read-only file make the
    // write fail with a Failure and leave what is there untouched.
    void stateFileUnderAttack()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"estsur.txt"_s);
        const QStringList statuses(20, u"IDLE"_s);
        QVERIFY(QDir().mkdir(path));
        QVERIFY_THROWS_EXCEPTION(Failure, monitor::WritePumpStateFile(path, statuses));
        QVERIFY(QFileInfo(path).isDir());
        QVERIFY(QDir().rmdir(path));

        QVERIFY(writeBytes(path, "old"));
        testing::OpenToEveryone(dir.path());
        QVERIFY(QFile::setPermissions(path, kReadOnly));
        requireUnprivileged(RunUnprivileged([&] {
            try {
                monitor::WritePumpStateFile(path, statuses);
                return false;
            } catch (const Failure&) {
                return true;
            }
        }));
        QCOMPARE(readBytes(path), QByteArray("old"));
    }

    // The window's own handling: a state file it cannot write is logged and
    // tried again at the next chance; the program goes on.
    void windowWithStateFileAsDirectory()
    {
        testing::FormFixture fixture;
        TForm1& form = fixture.form();
        QVERIFY(QDir().mkdir(fixture.dataPath(u"estsur.txt"_s)));
        form.UpdatePumpStatus(2, u"IDLE"_s);
        fixture.markLog();
        form.SavePumpStates();
        QVERIFY(form.FFileNeedsSave);
        const QStringList log = fixture.logSinceMark();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log.at(0).startsWith(u"Error guardando estados: "_s), qPrintable(log.at(0)));
        QVERIFY(QDir().rmdir(fixture.dataPath(u"estsur.txt"_s)));
        form.SavePumpStates();
        QVERIFY(!form.FFileNeedsSave);
        QVERIFY(readBytes(fixture.dataPath(u"estsur.txt"_s)).startsWith("1=\r\n2=IDLE\r\n"));
    }

    // The log: a directory in its place, a read-only log, a missing data
    // directory: lines are lost without a word and nothing is created.
    void debugLogUnderAttack()
    {
        QTemporaryDir dir;
        DebugLog inPlaceOfDirectory(dir.filePath(u"debug.log"_s));
        QVERIFY(QDir().mkdir(inPlaceOfDirectory.path()));
        inPlaceOfDirectory.WriteLog(u"línea"_s);
        QVERIFY(QFileInfo(inPlaceOfDirectory.path()).isDir());

        DebugLog missingDirectory(dir.filePath(u"corvane/debug.log"_s));
        missingDirectory.WriteLog(u"línea"_s);
        QVERIFY(!QFileInfo::exists(dir.filePath(u"corvane"_s)));

        const QString path = dir.filePath(u"ro.log"_s);
        QVERIFY(writeBytes(path, "earlier\r\n"));
        testing::OpenToEveryone(dir.path());
        QVERIFY(QFile::setPermissions(path, kReadOnly));
        requireUnprivileged(RunUnprivileged([&] {
            DebugLog(path).WriteLog(u"lost"_s);
            return true;
        }));
        QCOMPARE(readBytes(path), QByteArray("earlier\r\n"));
    }

    // A file where the data directory should be: the program starts, polls
    // and checks sales; every file operation fails where it is handled.
    void dataDirectoryIsAFile()
    {
        testing::FormFixture fixture;
        QVERIFY(QDir().mkpath(QFileInfo(fixture.fixed().dataDirectory).path()));
        QVERIFY(writeBytes(fixture.fixed().dataDirectory, "not a directory"));
        TForm1& form = fixture.form();
        QVERIFY(fixture.failures().isEmpty());
        form.UpdatePumpStatus(1, u"IDLE"_s);
        form.SavePumpStates();
        QVERIFY(form.FFileNeedsSave);
        form.ParseAndSaveLastSale(kReply, 3);
        form.CheckLastSaleForPump(3); // nothing listens: logged (nowhere) and over
        QCOMPARE(readBytes(fixture.fixed().dataDirectory), QByteArray("not a directory"));
    }
};

VELTRANE_TEST_MAIN(TestHostileFiles)
#include "test_hostile_files.moc"
