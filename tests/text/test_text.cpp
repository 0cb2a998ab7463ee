#include "core/failure.h"
#include "support/logs.h"
#include "text/ansi_codepage.h"
#include "text/text_lines.h"
#include "text/trim.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace Qt::StringLiterals;
using veltrane::testing::MemoryLog;
using namespace veltrane::text;

Q_DECLARE_METATYPE(veltrane::text::TextEncoding)

class TestText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ansiCodePage()
    {
        // Windows-1252 stands in for the system code page here.
        QCOMPARE(AnsiCodePage::encode(u"Ñandú €5 “x”"_s), QByteArray("\xD1"
                                                                     "and\xFA \x80"
                                                                     "5 \x93x\x94"));
        QCOMPARE(AnsiCodePage::encode(u"→✅"_s), QByteArray("??"));
        // A character outside the 16-bit range is two units, so two "?".
        QCOMPARE(AnsiCodePage::encode(u"\U0001F600"_s), QByteArray("??"));
        QCOMPARE(AnsiCodePage::decode("\xD3\x80\x81\x9F"), u"Ó€\u0081Ÿ"_s);
        // Every byte survives a round trip.
        QByteArray all;
        for (int b = 0; b < 256; ++b) {
            all.append(char(b));
        }
        QCOMPARE(AnsiCodePage::encode(AnsiCodePage::decode(all)), all);
    }

    void splitLines_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("empty") << QString() << QStringList();
        QTest::newRow("no line end") << u"a"_s << QStringList{u"a"_s};
        QTest::newRow("final line end makes no empty line") << u"a\r\n"_s << QStringList{u"a"_s};
        QTest::newRow("CR LF, LF, CR")
            << u"a\r\nb\nc\rd"_s << QStringList{u"a"_s, u"b"_s, u"c"_s, u"d"_s};
        QTest::newRow("LF CR is two breaks")
            << u"a\n\rb"_s << QStringList{u"a"_s, QString(), u"b"_s};
        QTest::newRow("blank lines kept")
            << u"\r\n\r\nx\r\n\r\n"_s << QStringList{QString(), QString(), u"x"_s, QString()};
    }

    void splitLines()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QCOMPARE(SplitLines(text), lines);
    }

    void decodeByByteOrderMark_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<TextEncoding>("encoding");
        QTest::addColumn<QStringList>("lines");
        const QStringList lines{u"3,Gasolina Excellium,3"_s, u"Diésel"_s};
        QTest::newRow("ANSI") << QByteArray("3,Gasolina Excellium,3\nDi\xE9sel")
                              << TextEncoding::Ansi << lines;
        QTest::newRow("UTF-8 mark") << QByteArray("\xEF\xBB\xBF"
                                                  "3,Gasolina Excellium,3\r\nDi\xC3\xA9sel\r\n")
                                    << TextEncoding::Utf8Bom << lines;
        QByteArray le("\xFF\xFE");
        QByteArray be("\xFE\xFF");
        for (const QChar c : u"3,Gasolina Excellium,3\rDiésel\r"_s) {
            le.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
            be.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xFF));
        }
        QTest::newRow("UTF-16 LE mark") << le << TextEncoding::Utf16LE << lines;
        QTest::newRow("UTF-16 BE mark") << be << TextEncoding::Utf16BE << lines;
        QTest::newRow("UTF-8 without mark is ANSI")
            << QByteArray("Di\xC3\xA9sel") << TextEncoding::Ansi << QStringList{u"DiÃ©sel"_s};
    }

    void decodeByByteOrderMark()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(TextEncoding, encoding);
        QFETCH(QStringList, lines);
        const TextLines decoded = DecodeTextLines(bytes);
        QCOMPARE(decoded.encoding, encoding);
        QCOMPARE(decoded.lines, lines);
        // Written back whole, in the same encoding, with CR LF after each line.
        QCOMPARE(DecodeTextLines(EncodeTextLines(decoded.lines, encoding)).lines, lines);
        QCOMPARE(DecodeTextLines(EncodeTextLines(decoded.lines, encoding)).encoding, encoding);
    }

    void encodeWritesMarkAndCrLf()
    {
        const QStringList lines{u"a"_s, u"ñ"_s};
        QCOMPARE(EncodeTextLines(lines, TextEncoding::Ansi), QByteArray("a\r\n\xF1\r\n"));
        QCOMPARE(EncodeTextLines(lines, TextEncoding::Utf8Bom), QByteArray("\xEF\xBB\xBF"
                                                                           "a\r\n\xC3\xB1\r\n"));
        QCOMPARE(EncodeTextLines(lines, TextEncoding::Utf16LE),
                 QByteArray("\xFF\xFE"
                            "a\0\r\0\n\0\xF1\0\r\0\n\0",
                            14));
        QCOMPARE(EncodeTextLines({}, TextEncoding::Utf16BE), QByteArray("\xFE\xFF"));
    }

    void fileRoundTripAndFailures()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sale.txt"_s);
        WriteTextLines(path, {u"uno"_s, u"dos"_s}, TextEncoding::Utf8Bom);
        const TextLines read = ReadTextLines(path);
        QCOMPARE(read.lines, (QStringList{u"uno"_s, u"dos"_s}));
        QCOMPARE(read.encoding, TextEncoding::Utf8Bom);
        // Nothing but the file is left in the folder: no temporary copies.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"sale.txt"_s});

        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, ReadTextLines(dir.filePath(u"missing"_s)));
        QVERIFY(QDir().mkpath(dir.filePath(u"folder"_s)));
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure, ReadTextLines(dir.filePath(u"folder"_s)));
        QVERIFY_THROWS_EXCEPTION(veltrane::Failure,
                                 WriteTextLines(dir.filePath(u"folder"_s), {}, TextEncoding::Ansi));
        try {
            WriteTextLines(dir.filePath(u"no/such/dir/x.txt"_s), {}, TextEncoding::Ansi);
            QFAIL("writing into a missing folder must fail");
        } catch (const veltrane::Failure& failure) {
            QVERIFY2(failure.message().contains(u"la carpeta no existe"_s),
                     qPrintable(failure.message()));
        }
    }

    // Windows refuses to replace a file that a reader holds open without
    // delete sharing, as QFile and fopen do: the new content must still reach
    // the file (rewritten in place), and the log must say so.
    void writeWhileAReaderHoldsTheFile_data()
    {
        QTest::addColumn<bool>("cRuntime");
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QByteArray>("after");
        const QByteArray header("ID Venta,# de Venta\r\n");
        const QByteArray row("100001,7\r\n");
        QTest::newRow("QFile reader, file grows") << false << header << header + row;
        QTest::newRow("fopen reader, file grows") << true << header << header + row;
        QTest::newRow("fopen reader, file shrinks") << true << header + row + row << header;
    }

    void writeWhileAReaderHoldsTheFile()
    {
        QFETCH(bool, cRuntime);
        QFETCH(QByteArray, before);
        QFETCH(QByteArray, after);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"sale.txt"_s);
        WriteFileAtomically(path, before);

        QFile qtReader(path);
        std::FILE* cReader = nullptr;
        if (cRuntime) {
            cReader = std::fopen(QFile::encodeName(path).constData(), "rb");
            QVERIFY(cReader);
        } else {
            QVERIFY(qtReader.open(QIODevice::ReadOnly));
        }
        MemoryLog log;
        WriteFileAtomically(path, after, &log);
        QFile check(path);
        QVERIFY(check.open(QIODevice::ReadOnly));
        QCOMPARE(check.readAll(), after);
        check.close();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{u"sale.txt"_s});
#ifdef Q_OS_WIN
        QCOMPARE(log.lines,
                 QStringList{u"Archivo en uso por otro programa, reescrito en su lugar: "_s +
                             QDir::toNativeSeparators(path)});
#else
        QVERIFY(log.lines.isEmpty()); // replaced as usual: POSIX allows it
#endif
        if (cReader) {
            std::fclose(cReader);
        }
        qtReader.close();
        // Once the reader has gone, the atomic replace works again, unlogged.
        log.lines.clear();
        WriteFileAtomically(path, before, &log);
        QVERIFY(log.lines.isEmpty());
    }

    void trimControl_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("trimmed");
        QTest::newRow("blanks and tabs") << u" \t 5 , x \t"_s << u"5 , x"_s;
        QTest::newRow("control characters") << u"\x01\x1F\r\nab\x7F\0"_s << u"ab\x7F"_s;
        QTest::newRow("only controls") << u" \t\r\n"_s << QString();
        QTest::newRow("no-break space is kept") << u"\u00A0a\u00A0"_s << u"\u00A0a\u00A0"_s;
    }

    void trimControl()
    {
        QFETCH(QString, text);
        QFETCH(QString, trimmed);
        QCOMPARE(TrimControl(text), trimmed);
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "test_text.moc"
