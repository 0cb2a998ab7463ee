// Decimal formatting: the worked table for both regional separators, the
// rounding rules and the texts that are not numbers.
#include "sales/format_decimal.h"
#include "text/regional.h"

#include <QTest>

using namespace Qt::StringLiterals;
using veltrane::sales::FormatDecimal;

class TestFormatDecimal : public QObject
{
    Q_OBJECT

private:
    // Rows for one regional separator; "commaResult" is where "," differs.
    static void addRow(const char* input, int decimals, const char* result,
                       const char* commaResult = nullptr)
    {
        for (const QChar separator : {QChar(u'.'), QChar(u',')}) {
            const char* expected = separator == u',' && commaResult ? commaResult : result;
            const QByteArray name = QByteArray(input).replace('\t', "\\t").replace('\n', "\\n");
            QTest::addRow("%s %d [%c]", name.constData(), decimals, char(separator.unicode()))
                << QString::fromUtf8(input) << decimals << separator << QString::fromUtf8(expected);
        }
    }

private Q_SLOTS:
    void format_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("decimals");
        QTest::addColumn<QChar>("separator");
        QTest::addColumn<QString>("expected");

        // The worked table.
        addRow("1234.5", 3, "1.234,500");
        addRow("12.3", 1, "12,3");
        addRow("12.345", 3, "12,345");
        addRow("12.3456", 3, "12,346");
        addRow("45.678", 1, "45,7");
        addRow("7", 3, "7,000");
        addRow("0", 3, "0,000");
        addRow("123", 1, "123,0");
        addRow("1234", 1, "1.234,0");
        addRow("1000000", 1, "1.000.000,0");
        addRow("999.96", 1, "1.000,0");
        addRow("1.25", 1, "1,3");
        addRow("1.35", 1, "1,4");
        addRow("1.15", 1, "1,1");
        addRow("0.05", 1, "0,1");
        addRow("0.0005", 3, "0,001");
        addRow("-1234.5", 1, "-1.234,5");
        addRow("-123.4", 1, "-123,4");
        addRow("-123456.7", 1, "-123.456,7");
        addRow("-0.04", 1, "0,0");
        addRow("00012.5", 1, "12,5");
        addRow("+5", 1, "5,0");
        addRow(".5", 1, "0,5");
        addRow("5.", 1, "5,0");
        addRow("1e3", 1, "1.000,0");
        addRow("2.5", 2, "2,5");
        addRow(" 12.5 ", 1, "12,5");
        addRow("12.5abc", 1, "12.5abc");
        addRow("abc", 1, "abc");
        addRow("", 3, "");
        addRow(".", 1, ".");
        addRow("1.2.3", 1, "1.2.3");
        addRow("1,234.5", 3, "1,234.5");
        addRow("12,5", 3, "12,5", "12,500");

        // Grammar.
        addRow("\t12.5", 1, "\t12.5"); // only U+0020 is a blank
        addRow("12.5\n", 1, "12.5\n");
        addRow("1E-2", 3, "0,010");
        addRow("2.5e+1", 1, "25,0");
        addRow("-.5e1", 1, "-5,0");
        addRow("1e", 1, "1e");
        addRow("1e+", 1, "1e+");
        addRow("e5", 1, "e5");
        addRow("+-5", 1, "+-5");
        addRow("- 5", 1, "- 5");
        addRow("1 2", 1, "1 2");
        addRow("-", 1, "-");
        addRow("0x10", 1, "0x10");
        addRow("1_000", 1, "1_000");
        addRow("-0", 3, "0,000");
        addRow("-0.0004", 3, "0,000");
        addRow("-0.0005", 3, "-0,001");
        addRow("-999.96", 1, "-1.000,0");
        addRow("-1.25", 1, "-1,3");
        addRow("-2.5", 3, "-2,500");
        addRow("0.0195", 3, "0,020"); // stored below, but its 18 digits end in 5
        addRow("100000000000000.0625", 3, "100.000.000.000.000,062"); // 18-digit tie to even
        addRow("100000000000000.1875", 3, "100.000.000.000.000,188");
        addRow("1000000000000000.25", 1, "1.000.000.000.000.000,3");
        addRow("123456789012345678", 1, "123.456.789.012.345.680,0");
        addRow("99999999999999999", 3, "100.000.000.000.000.000,000");

        // Special values and magnitudes without an 18-digit fixed form.
        for (const char* special :
             {"NAN", "nan", "NaN", "INF", "inf", "+INF", "-INF", "-Inf", "  iNf", "Infinity",
              "1e18", "-1e18", "999999999999999999", "1.7976931348623157e308", "1e309", "1e5000",
              "-1e5000", "1e99999999999999999999999"}) {
            addRow(special, 1, special);
        }
        addRow("1e-400", 1, "0,0");
        addRow("-1e-400", 1, "0,0");
        addRow("5e-324", 3, "0,000");
        addRow("1e-99999999999999999999999", 3, "0,000");
    }

    void format()
    {
        QFETCH(QString, input);
        QFETCH(int, decimals);
        QFETCH(QChar, separator);
        QFETCH(QString, expected);
        QCOMPARE(FormatDecimal(input, decimals, separator), expected);
    }

    void otherSeparator()
    {
        const QChar arabic(u'\u066B');
        QCOMPARE(FormatDecimal(u"12.5"_s, 3, arabic), u"12,500"_s);
        QCOMPARE(FormatDecimal(u"12\u066B5"_s, 1, arabic), u"12,5"_s);
        QCOMPARE(FormatDecimal(u"12,5"_s, 1, arabic), u"12,5"_s);
    }

#ifndef Q_OS_WIN
    // Under a "," locale (set in main) the regional separator is ",": "12,5"
    // is a number then, which under "." stays as it came. Windows reads the
    // user's regional settings, which a test cannot set for itself.
    void regionalSeparatorIsRead()
    {
        QCOMPARE(veltrane::text::DecimalSeparator(), QChar(u','));
        QCOMPARE(FormatDecimal(u"12,5"_s, 3), u"12,500"_s);
        QCOMPARE(FormatDecimal(u"1234.5"_s, 3), u"1.234,500"_s);
        QCOMPARE(FormatDecimal(u"1,234.5"_s, 3), u"1,234.5"_s);
    }
#endif

    void longInputs_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        const QString zeros(100000, u'0');
        const QString nines(100000, u'9');
        QTest::newRow("huge integer") << nines << nines;
        QTest::newRow("tiny fraction") << u"0."_s + zeros + u'1' << u"0,0"_s;
        QTest::newRow("long fraction") << u"1."_s + nines << u"2,0"_s;
        QTest::newRow("digits and exponent cancel") << u'1' + zeros + u"e-100000"_s << u"1,0"_s;
        QTest::newRow("leading zeros and exponent") << u"0."_s + zeros + u"1e100001"_s << u"1,0"_s;
        QTest::newRow("just above a tie") << u"0.25"_s + zeros + u'1' << u"0,3"_s;
        QTest::newRow("long exponent") << u"1e-"_s + nines << u"0,0"_s;
    }

    void longInputs()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(FormatDecimal(input, 1, u'.'), expected);
    }
};

int main(int argc, char** argv)
{
    // The system locale of a country that writes "12,5": Qt takes the
    // separator from its own locale data, so the name needs no installed
    // C library locale. Every other test passes its separator itself.
    qputenv("LC_ALL", "es_ES.UTF-8");
    QCoreApplication app(argc, argv);
    TestFormatDecimal test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "test_format_decimal.moc"
