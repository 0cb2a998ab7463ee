#pragma once

// A main window on a temporary data directory, for the window tests. The
// controller address and port are given by the test (by default a port where
// nothing listens); message boxes are recorded instead of shown.

#include "app/tform1.h"
#include "text/ansi_codepage.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

namespace veltrane::testing {

// A loopback port with nothing listening on it: connects are refused at once.
// The port stays bound (never listening) while this lives, so that nothing
// else can take it between the test choosing it and the window connecting.
class RefusingPort
{
public:
    RefusingPort()
    {
        if (!FSocket.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress)) {
            qFatal("RefusingPort: %s", qPrintable(FSocket.errorString()));
        }
    }
    quint16 port() const { return FSocket.localPort(); }

private:
    QTcpSocket FSocket;
};

class FormFixture
{
public:
    // On a port where nothing listens.
    FormFixture() : FormFixture(0) { FFixed.controllerPort = FRefusing.port(); }
    explicit FormFixture(quint16 port)
    {
        FFixed.dataDirectory = FDir.filePath(QStringLiteral("corvane"));
        FFixed.controllerAddress = QStringLiteral("127.0.0.1");
        FFixed.controllerPort = port;
    }

    // Creates the window (running its start-up) unless it exists.
    TForm1& form()
    {
        if (!FForm) {
            FForm = std::make_unique<TForm1>(FFixed);
            // Tests drive every handler themselves.
            FForm->auto_conectar->stop();
            FForm->SetFailureHandler([this](const QString& message) { FFailures.append(message); });
            FForm->SetConfirmHandler([this](const QString& title, const QString&, const QString&) {
                FConfirmations.append(title);
                if (FWhileAsking) {
                    FWhileAsking();
                }
                return FConfirmAnswer;
            });
            FForm->SetNoticeHandler(
                [this](const QString&, const QString& message) { FNotices.append(message); });
        }
        return *FForm;
    }

    // Destroys the window, which runs its shutdown.
    void destroy() { FForm.reset(); }

    const FixedValues& fixed() const { return FFixed; }
    QString dataPath(const QString& name) const { return FFixed.dataDirectory + u'/' + name; }
    const QStringList& failures() const { return FFailures; }
    // Confirmations asked (their titles), answered with `answer`; whileAsking
    // runs while a question is up, as the dialog's own event loop would.
    const QStringList& confirmations() const { return FConfirmations; }
    void answerConfirmations(bool answer, std::function<void()> whileAsking = {})
    {
        FConfirmAnswer = answer;
        FWhileAsking = std::move(whileAsking);
    }
    // Tray notifications, in order; an empty one withdrew the last.
    const QStringList& notices() const { return FNotices; }

    // The debug log's lines without their time stamps.
    QStringList logLines() const
    {
        QFile file(FFixed.debugLogPath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        static const QRegularExpression stamp(
            QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] "));
        QStringList lines;
        const QList<QByteArray> raw = file.readAll().split('\n');
        for (QByteArray line : raw) {
            if (line.endsWith('\r')) {
                line.chop(1);
            }
            QString text = text::AnsiCodePage::decode(line);
            text.remove(stamp);
            lines.append(text);
        }
        if (!lines.isEmpty() && lines.constLast().isEmpty()) {
            lines.removeLast();
        }
        return lines;
    }

    // Log lines written since the mark.
    qsizetype markLog() { return FMark = logLines().size(); }
    QStringList logSinceMark() const { return logLines().mid(FMark); }

    // The data rows of the sale file (the header left out); none when the
    // file cannot be read.
    QStringList saleRows() const
    {
        QFile file(FFixed.saleFilePath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        QStringList rows = QString::fromLatin1(file.readAll()).split(QStringLiteral("\r\n"));
        rows.removeFirst(); // header
        rows.removeLast();  // after the last CR LF
        return rows;
    }

private:
    RefusingPort FRefusing;
    QTemporaryDir FDir;
    FixedValues FFixed;
    std::unique_ptr<TForm1> FForm;
    QStringList FFailures;
    QStringList FConfirmations;
    bool FConfirmAnswer = true;
    std::function<void()> FWhileAsking;
    QStringList FNotices;
    qsizetype FMark = 0;
};

} // namespace veltrane::testing
