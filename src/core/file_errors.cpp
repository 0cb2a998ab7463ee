#include "core/file_errors.h"

#include <QDir>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace veltrane {

QString FileFailureMessage(const QFileDevice& file, FileOperation operation)
{
    const QString path = QDir::toNativeSeparators(file.fileName());
    const QFileInfo info(file.fileName());
    QString reason;
    if (info.isDir()) {
        reason = u"es una carpeta"_s;
    } else if (operation == FileOperation::Read && !info.exists()) {
        reason = u"el archivo no existe"_s;
    } else if (operation == FileOperation::Write && !info.dir().exists()) {
        reason = u"la carpeta no existe"_s;
    } else {
        switch (file.error()) {
        case QFileDevice::ReadError:
            reason = u"error de lectura"_s;
            break;
        case QFileDevice::WriteError:
        case QFileDevice::ResourceError:
            reason = u"error de escritura (¿disco lleno?)"_s;
            break;
        case QFileDevice::PermissionsError:
        case QFileDevice::OpenError:
            reason = u"acceso denegado o archivo bloqueado por otro programa"_s;
            break;
        default:
            reason = u"error de archivo"_s;
            break;
        }
    }
    const QString what =
        operation == FileOperation::Read ? u"No se pudo leer"_s : u"No se pudo escribir"_s;
    QString message = what + u" \""_s + path + u"\": "_s + reason;
    const QString system = file.errorString();
    if (!system.isEmpty() && file.error() != QFileDevice::NoError) {
        message += u" ("_s + system + u')';
    }
    return message;
}

} // namespace veltrane
