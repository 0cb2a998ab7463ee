// Monitoring: the status poll with automatic authorization, the pump state
// file and the sales poll.
#include "app/tform1.h"
#include "core/failure.h"
#include "core/timings.h"
#include "link/controller_connection.h"
#include "link/wire.h"
#include "monitor/framed_reply.h"
#include "monitor/pump_state_file.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QThread>
#include <QTimer>

#include <limits>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

constexpr int kSalesAttempts = 2;
constexpr int kMaxAuthorizationsPerPump = 3;

void increment(qint32& counter)
{
    if (counter == std::numeric_limits<qint32>::max()) {
        throw Failure(u"Desbordamiento de contador"_s);
    }
    ++counter;
}

} // namespace

void TForm1::StartMonitoring()
{
    if (FMonitoringActive) {
        return;
    }
    InitClientPool();
    FMonitoringActive = true;
    FCurrentPump = 1;
    FReplyWatch.Start();
    ShowReplyWatch();
    Timer1->start();
    Timer2->start();
    WriteLog(u"Monitoreo iniciado"_s);
}

void TForm1::StopMonitoring()
{
    if (!FMonitoringActive) {
        return;
    }
    Timer1->stop();
    Timer2->stop();
    FMonitoringActive = false;
    // Nothing is asked any more, so nothing is shown as unanswered.
    FReplyWatch.Stop();
    ShowReplyWatch();
    SavePumpStates();
    FreeClientPool();
    WriteLog(u"Monitoreo detenido"_s);
}

void TForm1::Timer1Timer()
{
    if (!FMonitoringActive) {
        return;
    }
    PollPumpStatus(FCurrentPump);
    increment(FCurrentPump);
    if (FCurrentPump > kPumpCount) {
        FCurrentPump = 1;
        if (FFileNeedsSave) {
            SavePumpStates();
        }
    }
}

void TForm1::PollPumpStatus(qint32 pump)
{
    // Held here, so a stop of monitoring that runs nested inside this poll
    // empties the pool without freeing the connection still in use.
    const std::shared_ptr<link::ControllerConnection> client = GetNextClient();
    if (!client) {
        return;
    }
    // The poll stays silent in the log; the window shows who did not answer.
    try {
        if (!client->IsConnected()) {
            client->Connect();
            client->SetTextEncoding();
        }
    } catch (const std::exception&) {
        NotePollSilent(pump);
        return; // silent: the next poll that takes this connection tries again
    }
    bool answered = false;
    try {
        const QString frame = link::BuildPumpStatusRequest(pump);
        client->DiscardReceivedData();
        client->SendText(frame);
        client->Flush();
        QThread::msleep(kStatusPauseMs);
        client->WaitForData(kStatusWaitMs);
        if (!client->HasReceivedData()) {
            NotePollSilent(pump);
            return;
        }
        const QString reply = client->TakeReceivedText();
        answered = true;
        NotePollAnswered(pump);
        UpdatePumpStatus(pump, link::ExtractPumpStatus(reply, u"PS="));
    } catch (const std::exception&) {
        link::DisconnectQuietly(*client);
        if (!answered) {
            NotePollSilent(pump);
        }
    }
}

void TForm1::UpdatePumpStatus(qint32 pump, const QString& status)
{
    if (pump < 1 || pump > kPumpCount) {
        return;
    }
    if (status == FLastStatus[pump]) {
        return;
    }
    FLastStatus[pump] = status;
    FSurtidorLabels[pump]->setText(status);
    PaintPumpTile(pump);
    FFileNeedsSave = true;
    if (status == link::pump_status::kCalling) {
        // Counted before the attempt: a failed authorization still counts.
        increment(FAuthSentCount[pump]);
        if (FAuthSentCount[pump] <= kMaxAuthorizationsPerPump) {
            SendAuthorize(link::ThreeDigitPump(pump));
        }
    }
}

void TForm1::SavePumpStates()
{
    if (!FFileNeedsSave) {
        return;
    }
    try {
        QStringList statuses;
        for (const QString& status : FLastStatus) {
            statuses.append(status);
        }
        monitor::WritePumpStateFile(FFixed.stateFilePath(), statuses);
        FFileNeedsSave = false;
        WriteLog(u"Estado de surtidores guardado en "_s + FFixed.stateFilePath());
    } catch (const Failure& failure) {
        WriteLog(u"Error guardando estados: "_s + failure.message());
    }
}

void TForm1::Timer2Timer()
{
    if (!FMonitoringActive) {
        return;
    }
    CheckLastSaleForPump(FCurrentSalesPump);
    increment(FCurrentSalesPump);
    if (FCurrentSalesPump > kPumpCount) {
        FCurrentSalesPump = 1;
    }
}

void TForm1::CheckLastSaleForPump(qint32 pump)
{
    increment(FSalesCheckCount);
    const QString n = QString::number(pump);
    link::ControllerConnection& client = *FSalesClient;
    try {
        if (!client.IsConnected()) {
            client.Connect();
            client.SetTextEncoding();
        }
    } catch (const std::exception&) {
        WriteLog(u"CheckLastSaleForPump: Error conectando FSalesClient para bomba "_s + n);
        return;
    }

    const QString frame = link::BuildPumpSalesRequest(pump);
    WriteLog(u"CheckLastSaleForPump: Enviando comando para bomba "_s + n + u": "_s + frame);
    try {
        for (int attempt = 1; attempt <= kSalesAttempts; ++attempt) {
            if (attempt > 1) {
                QThread::msleep(kSalesRetryPauseMs);
            }
            client.DiscardReceivedData();
            client.SendText(frame);
            client.Flush();
            QThread::msleep(kSalesPauseMs);
            const QDeadlineTimer window(kSalesWaitMs);
            client.WaitForData(kSalesWaitMs);
            if (!client.HasReceivedData()) {
                continue;
            }
            // A framed reply still arriving would be recorded with missing
            // columns and its whole copy refused later as a duplicate: wait for
            // the rest within the same window. The tail of a reply that came
            // after its own wait may stand ahead of the frame; it is left out
            // of what is recorded, so it never lends this sale its fields.
            qsizetype frameStart = 0;
            const auto checkFrame = [&client, &frameStart] {
                const QByteArray bytes = client.PeekReceivedBytes();
                frameStart = monitor::FrameStart(bytes);
                return monitor::CheckFramedReply(QByteArrayView(bytes).sliced(frameStart));
            };
            monitor::FrameCheck frameCheck = checkFrame();
            while (frameCheck.state == monitor::FrameState::Incomplete && !window.hasExpired()) {
                client.WaitForMoreData(int(window.remainingTime()));
                frameCheck = checkFrame();
            }
            const QString received = client.TakeReceivedText();
            if (frameCheck.state == monitor::FrameState::Incomplete) {
                const QString progress = frameCheck.announced < 0 ? u"longitud sin completar"_s
                                                                  : u"recibidos %1 de %2 bytes"_s
                                                                        .arg(frameCheck.received)
                                                                        .arg(frameCheck.announced);
                WriteLog(u"CheckLastSaleForPump: Respuesta incompleta para bomba "_s + n + u" ("_s +
                         progress + u"): "_s + received);
                continue;
            }
            WriteLog(u"CheckLastSaleForPump: Respuesta recibida para bomba "_s + n + u": "_s +
                     received);
            // One received byte is one character, so the frame starts at the
            // same offset in the text.
            const QString reply = received.mid(frameStart);
            if (reply.contains(u"RES_GET_PUMP_SALES"_s) && reply.contains(u"RC=OK"_s)) {
                ParseAndSaveLastSale(reply, pump);
                return;
            }
        }
        WriteLog(u"CheckLastSaleForPump: No se obtuvo respuesta válida para bomba "_s + n);
    } catch (const std::exception& error) {
        WriteLog(u"CheckLastSaleForPump: Excepción en bomba "_s + n + u": "_s + FailureText(error));
        link::DisconnectQuietly(client);
    }
}

} // namespace veltrane
