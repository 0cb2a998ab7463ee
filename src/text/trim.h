#pragma once

#include <QString>

namespace veltrane::text {

// Removes every leading and trailing character whose code is below 33: the
// blank and all control characters.
QString TrimControl(QStringView text);

} // namespace veltrane::text
