#pragma once

#include <QChar>
#include <QString>

namespace veltrane::text {

// The user's regional settings, read at each call.
QString TimeSeparator();
QChar DecimalSeparator();

} // namespace veltrane::text
