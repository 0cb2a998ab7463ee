#pragma once

#include <QIcon>

namespace veltrane {

// The program's own icon, in the sizes desktops ask for.
QIcon AppIcon();

} // namespace veltrane
