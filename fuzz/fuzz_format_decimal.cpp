// FormatDecimal against its contract: text that is not a number comes back
// as it was; a number comes back in the sale file's style ("." between groups
// of three, "," and exactly one or three decimals) and within half a unit of
// its last place of the value that strtod reads from the same text.
#include "fuzz_support.h"
#include "sales/format_decimal.h"

#include <QRegularExpression>

#include <cmath>
#include <cstdlib>
#include <string>

using namespace Qt::StringLiterals;

namespace {

// The value of the text by the C library, when the text is a plain decimal
// number that the grammar could accept (blanks, sign, digits, point, exponent).
bool referenceValue(const QString& text, QChar separator, double& value)
{
    std::string s;
    for (const QChar c : text) {
        if (c == separator) {
            s.push_back('.');
        } else if (c.unicode() < 128 &&
                   (c.isDigit() || c == u' ' || c == u'+' || c == u'-' || c == u'e' || c == u'E')) {
            s.push_back(char(c.unicode()));
        } else {
            return false;
        }
    }
    char* end = nullptr;
    value = std::strtod(s.c_str(), &end);
    if (end == s.c_str()) {
        return false;
    }
    while (*end == ' ') {
        ++end;
    }
    return *end == '\0' && std::isfinite(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const int decimals = (data[0] & 1) ? 3 : 1;
    const QChar separator = (data[0] & 2) ? u',' : u'.';
    const QString text =
        QString::fromLatin1(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    const QString out = veltrane::sales::FormatDecimal(text, decimals, separator);

    QString t = text;
    const qsizetype dot = t.indexOf(u'.');
    if (dot >= 0) {
        t[dot] = separator;
    }
    double expected = 0;
    if (!referenceValue(t, separator, expected) || std::fabs(expected) >= 1e18) {
        FUZZ_CHECK(out == text); // not a number (or beyond fixed-point writing)
        return 0;
    }
    static const QRegularExpression one(u"^-?\\d{1,3}(\\.\\d{3})*,\\d$"_s);
    static const QRegularExpression three(u"^-?\\d{1,3}(\\.\\d{3})*,\\d{3}$"_s);
    FUZZ_CHECK((decimals == 3 ? three : one).match(out).hasMatch());
    QString plain = out;
    plain.remove(u'.');
    plain.replace(u',', u'.');
    const double got = plain.toDouble();
    const double unit = decimals == 3 ? 1e-3 : 1e-1;
    FUZZ_CHECK(std::fabs(got - expected) <= unit / 2 * (1 + 1e-9) + std::fabs(expected) * 1e-15);
    // Zero is never written with a sign.
    FUZZ_CHECK(!(out.startsWith(u'-') && got == 0));
    return 0;
}
