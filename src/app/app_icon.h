#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>

namespace veltrane {

// The program's own icon, in the sizes desktops ask for.
QIcon AppIcon();

// The icon with a warning sign in its lower right corner: the tray's form
// while the controller does not answer.
QIcon AppWarningIcon();

// A warning triangle with an exclamation mark, size pixels wide.
QPixmap WarningSign(int size, const QColor& fill, const QColor& mark);

} // namespace veltrane
