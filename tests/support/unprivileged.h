#pragma once

// File permissions do not stop root, and the tests run as root here. This
// runs a piece of a test in a child process with the rights of "nobody"
// (uid and gid 65534), so that read-only and unreadable files are read-only
// and unreadable. Without root it runs in the process itself.

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace veltrane::testing {

enum class Unprivileged
{
    Passed,
    Failed,
    NotAvailable
};

inline Unprivileged RunUnprivileged(const std::function<bool()>& body)
{
    if (::geteuid() != 0) {
        return body() ? Unprivileged::Passed : Unprivileged::Failed;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        return Unprivileged::NotAvailable;
    }
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(3);
        }
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) {
        return Unprivileged::Failed;
    }
    switch (WEXITSTATUS(status)) {
    case 0:
        return Unprivileged::Passed;
    case 3:
        return Unprivileged::NotAvailable;
    default:
        return Unprivileged::Failed;
    }
}

// Lets "nobody" into a test's temporary directory tree (root made it 0700).
inline void OpenToEveryone(const QString& directory)
{
    const auto all = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                     QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
                     QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QFile::setPermissions(directory, all);
    QDirIterator it(directory, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile::setPermissions(it.next(), all);
    }
}

} // namespace veltrane::testing
