#include "sales/format_decimal.h"

#include "text/regional.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <system_error>

namespace veltrane::sales {
namespace {

// Enough significant digits to round any decimal text to the nearest double:
// a halfway point between two doubles has at most 767 of them. Digits beyond
// are summed up in one sticky digit.
constexpr qsizetype kMaxParseDigits = 800;

// Values from 1e18 up are left as they came: their 18 significant digits do
// not reach the decimal point.
constexpr double kLimit = 1e18;

// A double has at most 1074 digits after the decimal point.
constexpr int kMaxFraction = 1074;

bool isDigit(char16_t c)
{
    return c >= u'0' && c <= u'9';
}

// The scanners of parseNumber: each moves i past what it reads.
void skipBlanks(QStringView t, qsizetype& i)
{
    while (i < t.size() && t[i] == u' ') {
        ++i;
    }
}

void skipDigits(QStringView t, qsizetype& i)
{
    while (i < t.size() && isDigit(t[i].unicode())) {
        ++i;
    }
}

// An optional sign; true when it is "-".
bool takeSign(QStringView t, qsizetype& i)
{
    if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) {
        return t[i++] == u'-';
    }
    return false;
}

// Reads text by the number grammar: blanks, sign, digits with one optional
// separator, optional exponent, blanks. Empty when the text is not a number
// or its magnitude exceeds the largest double.
std::optional<double> parseNumber(QStringView t, char16_t separator)
{
    const qsizetype n = t.size();
    qsizetype i = 0;
    skipBlanks(t, i);
    const bool negative = takeSign(t, i);
    const qsizetype intBegin = i;
    skipDigits(t, i);
    const qsizetype intEnd = i;
    qsizetype fracBegin = i;
    qsizetype fracEnd = i;
    if (i < n && t[i] == separator) {
        ++i;
        fracBegin = i;
        skipDigits(t, i);
        fracEnd = i;
    }
    if (intEnd == intBegin && fracEnd == fracBegin) {
        return std::nullopt;
    }
    // The exponent saturates: anything past a million is as good as infinite.
    qint64 exponent = 0;
    if (i < n && (t[i] == u'e' || t[i] == u'E')) {
        ++i;
        const bool expNegative = takeSign(t, i);
        const qsizetype expBegin = i;
        while (i < n && isDigit(t[i].unicode())) {
            if (exponent < 1'000'000) {
                exponent = exponent * 10 + (t[i].unicode() - u'0');
            }
            ++i;
        }
        if (i == expBegin) {
            return std::nullopt;
        }
        if (expNegative) {
            exponent = -exponent;
        }
    }
    skipBlanks(t, i);
    if (i != n) {
        return std::nullopt;
    }

    // Significant digits, without leading zeros, and where the point falls.
    std::string digits;
    qint64 pointShift = intEnd - intBegin; // digits before the point
    bool sticky = false;
    auto take = [&](qsizetype from, qsizetype to) {
        for (qsizetype k = from; k < to; ++k) {
            const char d = static_cast<char>(t[k].unicode());
            if (digits.empty() && d == '0') {
                --pointShift;
                continue;
            }
            if (static_cast<qsizetype>(digits.size()) < kMaxParseDigits) {
                digits.push_back(d);
            } else if (d != '0') {
                sticky = true;
            }
        }
    };
    take(intBegin, intEnd);
    take(fracBegin, fracEnd);
    if (digits.empty()) {
        return negative ? -0.0 : 0.0;
    }
    if (sticky) {
        digits.push_back('1');
    }
    // The value is 0.digits * 10^magnitude.
    const qint64 magnitude = pointShift + exponent;
    if (magnitude > 400) {
        return std::nullopt; // beyond the largest double
    }
    if (magnitude < -400) {
        return negative ? -0.0 : 0.0; // below the smallest double
    }
    std::string canonical = "0." + digits + "e" + std::to_string(magnitude);
    double value = 0.0;
    const auto [end, ec] =
        std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
    if (ec == std::errc::result_out_of_range) {
        if (magnitude > 0) {
            return std::nullopt;
        }
        value = 0.0; // underflow: the nearest double is zero
    } else if (ec != std::errc() || end != canonical.data() + canonical.size()) {
        return std::nullopt;
    }
    if (!std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

// How many decimals the exact value of a double has: as many as the power of
// two below its lowest set bit. With that many the fixed-point text is exact.
int exactFractionDigits(double value)
{
    int exp2 = 0;
    const double mantissa = std::frexp(value, &exp2); // value = mantissa * 2^exp2
    auto bits = static_cast<quint64>(std::fabs(std::ldexp(mantissa, 53)));
    int lowest = exp2 - 53;
    if (bits == 0) {
        return 0;
    }
    while ((bits & 1U) == 0) {
        bits >>= 1;
        ++lowest;
    }
    return lowest < 0 ? std::min(-lowest, kMaxFraction) : 0;
}

// Adds one unit at the last digit of digits[0, end); returns true when the
// carry runs out of the front (all nines).
bool incrementAt(std::string& digits, std::size_t end)
{
    for (std::size_t k = end; k-- > 0;) {
        if (digits[k] == '9') {
            digits[k] = '0';
        } else {
            ++digits[k];
            return false;
        }
    }
    return true;
}

// The fixed-point text of value (|value| < 1e18) with exactly places decimals:
// the exact binary value cut to 18 significant digits (ties to even), then
// rounded half away from zero. Returns the integer digits and the decimals.
void roundFixed(double value, int places, std::string& intDigits, std::string& fraction)
{
    std::array<char, 32 + kMaxFraction> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), std::fabs(value),
                      std::chars_format::fixed, exactFractionDigits(value));
    std::string digits(buffer.data(), result.ptr);
    const std::size_t dot = digits.find('.');
    std::size_t point = dot; // digits before the point
    if (dot != std::string::npos) {
        digits.erase(dot, 1);
    } else {
        point = digits.size();
    }

    // Cut to 18 significant digits, ties to even.
    const std::size_t first = digits.find_first_not_of('0');
    if (first != std::string::npos && first + 18 < digits.size()) {
        const std::size_t cut = first + 18;
        const char next = digits[cut];
        const bool restNonZero = digits.find_first_not_of('0', cut + 1) != std::string::npos;
        const bool lastOdd = (digits[cut - 1] - '0') % 2 == 1;
        const bool up = next > '5' || (next == '5' && (restNonZero || lastOdd));
        digits.resize(cut);
        if (up && incrementAt(digits, cut)) {
            digits.insert(digits.begin(), '1');
            ++point;
        }
    }

    // Round to the requested decimals, half away from zero.
    const std::size_t keep = point + static_cast<std::size_t>(places);
    if (digits.size() < keep) {
        digits.append(keep - digits.size(), '0');
    } else if (digits.size() > keep) {
        const bool up = digits[keep] >= '5';
        digits.resize(keep);
        if (up && incrementAt(digits, keep)) {
            digits.insert(digits.begin(), '1');
            ++point;
        }
    }
    const std::size_t lead = std::min(digits.find_first_not_of('0'), point);
    intDigits = lead == point ? std::string("0") : digits.substr(lead, point - lead);
    fraction = digits.substr(point);
}

} // namespace

QString FormatDecimal(const QString& text, int decimals, QChar decimalSeparator)
{
    // The controller writes "." for the point; it stands for the regional
    // separator, which is the only decimal mark the grammar accepts.
    QString t = text;
    const qsizetype dot = t.indexOf(u'.');
    if (dot >= 0) {
        t[dot] = decimalSeparator;
    }
    const std::optional<double> parsed = parseNumber(t, decimalSeparator.unicode());
    if (!parsed || std::fabs(*parsed) >= kLimit) {
        return text;
    }
    const int places = decimals == 3 ? 3 : 1;
    std::string intDigits;
    std::string fraction;
    roundFixed(*parsed, places, intDigits, fraction);

    const bool zero = intDigits == "0" && fraction.find_first_not_of('0') == std::string::npos;
    QString out;
    const auto intCount = static_cast<qsizetype>(intDigits.size());
    out.reserve(intCount + intCount / 3 + 6);
    if (*parsed < 0 && !zero) {
        out.append(u'-');
    }
    const std::size_t n = intDigits.size();
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && (n - k) % 3 == 0) {
            out.append(u'.');
        }
        out.append(QLatin1Char(intDigits[k]));
    }
    out.append(u',');
    out.append(QLatin1StringView(fraction.data(), static_cast<qsizetype>(fraction.size())));
    return out;
}

QString FormatDecimal(const QString& text, int decimals)
{
    return FormatDecimal(text, decimals, text::DecimalSeparator());
}

} // namespace veltrane::sales
