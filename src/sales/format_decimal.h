#pragma once

#include <QChar>
#include <QString>

namespace veltrane::sales {

// Numeric text to the sale file's number style: "," before the decimals,
// "." between groups of three integer digits, three decimals when decimals is
// 3 and one otherwise. The input's first "." stands for the regional decimal
// separator. Text that is not a number comes back unchanged, and so do
// magnitudes of 1e18 or more (they have no fixed-point form at 18 digits).
// Never fails.
QString FormatDecimal(const QString& text, int decimals);

// The same with the regional decimal separator given instead of read.
QString FormatDecimal(const QString& text, int decimals, QChar decimalSeparator);

} // namespace veltrane::sales
