#pragma once

#include <QString>

namespace veltrane {

// The program's fixed values, handed to the main window as one value so that
// tests can point it at a temporary directory and an ephemeral port. The
// program itself only ever uses FixedValues::builtIn().
struct FixedValues
{
    QString dataDirectory;     // absolute, native separators
    QString controllerAddress; // IPv4, dotted
    quint16 controllerPort = 0;

    static FixedValues builtIn();

    QString debugLogPath() const { return filePath(u"debug.log"); }
    QString catalogPath() const { return filePath(u"productos.txt"); }
    QString saleFilePath() const { return filePath(u"sale.txt"); }
    QString stateFilePath() const { return filePath(u"estsur.txt"); }

    // A file of the data directory, in native form, as the log shows it.
    QString filePath(QStringView fileName) const;
};

} // namespace veltrane
