#pragma once

#include <QFileDevice>
#include <QString>

namespace veltrane {

enum class FileOperation
{
    Read,
    Write
};

// A Spanish message for a failed file operation, naming the file and, where
// it can be told, why (missing, a folder, no permission, disk full).
QString FileFailureMessage(const QFileDevice& file, FileOperation operation);

} // namespace veltrane
