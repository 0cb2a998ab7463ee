#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

namespace veltrane {

// One running instance per user and data directory: two instances would poll
// twice, authorize twice and rewrite the sale file over each other. A second
// start asks the first to show its window and then leaves.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstance(const QString& dataDirectory, QObject* parent = nullptr);

    // True when this process is the one instance; false when another runs
    // (it has then been asked to come to the front).
    bool acquire();

Q_SIGNALS:
    void activationRequested();

private:
    QString FKey;
    std::unique_ptr<QLockFile> FLock;
    QLocalServer* FServer = nullptr;
};

} // namespace veltrane
