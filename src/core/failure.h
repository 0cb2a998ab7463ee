#pragma once

#include <QByteArray>
#include <QString>

#include <exception>

namespace veltrane {

// The program's one kind of error: a failure that carries a message text for
// the operator or the log. It is caught by the operation that started the work.
class Failure : public std::exception
{
public:
    explicit Failure(QString message) : FMessage(std::move(message)), FUtf8(FMessage.toUtf8()) {}

    const QString& message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

// The text of any exception, for the log or a message box: a Failure's own
// message, otherwise what() in the local 8-bit encoding.
inline QString FailureText(const std::exception& error)
{
    if (const auto* failure = dynamic_cast<const Failure*>(&error)) {
        return failure->message();
    }
    return QString::fromLocal8Bit(error.what());
}

} // namespace veltrane
