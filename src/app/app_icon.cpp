#include "app/app_icon.h"

using namespace Qt::StringLiterals;

namespace veltrane {

QIcon AppIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
        icon.addFile(u":/veltrane/veltrane-%1.png"_s.arg(size), QSize(size, size));
    }
    return icon;
}

} // namespace veltrane
