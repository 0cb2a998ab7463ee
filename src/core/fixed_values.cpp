#include "core/fixed_values.h"

#include "core/fixed_values_config.h"

#include <QDir>

using namespace Qt::StringLiterals;

namespace veltrane {

FixedValues FixedValues::builtIn()
{
    FixedValues values;
    const QString configured = QString::fromUtf16(config::kDataDirectory);
    values.dataDirectory = configured.isEmpty()
                               ? QDir::toNativeSeparators(QDir::home().filePath(u"corvane"_s))
                               : configured;
    values.controllerAddress = QString::fromUtf16(config::kControllerAddress);
    values.controllerPort = config::kControllerPort;
    return values;
}

QString FixedValues::filePath(QStringView fileName) const
{
    return QDir::toNativeSeparators(dataDirectory + u'/' + fileName);
}

} // namespace veltrane
