// Monitoring: the status poll with automatic authorization, the pump state
// file and the sales poll.
#include "app/tform1.h"
#include "core/failure.h"
#include "core/timings.h"
#include "link/controller_connection.h"
#include "link/framed_reply.h"
#include "link/wire.h"
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
    FTimer1Due =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kStatusPollIntervalMs);
    Timer1->start(kStatusPollIntervalMs);
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

void TForm1::ScheduleTimer1()
{
    // Not after a stop, nor when monitoring was restarted inside the poll
    // (which armed the timer itself).
    if (!FMonitoringActive || Timer1->isActive()) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    FTimer1Due += std::chrono::milliseconds(kStatusPollIntervalMs);
    if (FTimer1Due < now) {
        // Overdue: one tick now; missed ones do not pile up.
        FTimer1Due = now;
    }
    Timer1->start(int(std::chrono::ceil<std::chrono::milliseconds>(FTimer1Due - now).count()));
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
        monitor::WritePumpStateFile(FFixed.stateFilePath(), statuses, &FLog);
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

namespace {

// What a reply still lacks, for the log.
QString incompleteReplyText(const link::FrameCheck& check)
{
    if (check.state == link::FrameState::NotFramed) {
        return u"sin longitud ni \"^\" final"_s;
    }
    if (check.announced < 0) {
        return u"longitud sin completar"_s;
    }
    return u"recibidos %1 de %2 bytes"_s.arg(check.received).arg(check.announced);
}

// The line of a reply that is taken as it came, though neither whole by its
// length nor ended by "^".
QString takenAsItCameText(const link::FrameCheck& check, const QString& n)
{
    if (check.state == link::FrameState::NotFramed) {
        return u"CheckLastSaleForPump: Respuesta sin longitud ni \"^\" final para bomba "_s + n +
               u"; se juzga como llegó"_s;
    }
    return u"CheckLastSaleForPump: No se alcanzó la longitud anunciada para bomba "_s + n +
           u" ("_s + incompleteReplyText(check) + u"); se juzga la respuesta como llegó"_s;
}

// The tail of a reply that came after its own wait may stand ahead of the
// reply's frame; it is left out, so it never lends this sale its fields. Only
// where the frame itself holds a sales reply's markers: a controller that
// does not frame its replies, one of whose values merely looks like a length
// prefix, loses nothing. One received byte is one character, so the frame
// starts at the same offset in the text.
QString replyFromItsFrame(const QString& received, qsizetype frameStart)
{
    if (frameStart > 0) {
        const QStringView framed = QStringView(received).sliced(frameStart);
        if (framed.contains(u"RES_GET_PUMP_SALES") && framed.contains(u"RC=OK")) {
            return framed.toString();
        }
    }
    return received;
}

} // namespace

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
            // A reply still arriving would be recorded with missing columns:
            // wait for the rest within the same window.
            const link::ReplyFrame arrived = client.WaitForWholeReply(window);
            const QString received = client.TakeReceivedText();
            if (!arrived.check.whole()) {
                // A reply cut short gets one more attempt; on the last one, or
                // once the controller has closed the connection (nothing more
                // can come), it is taken as it came, so a controller that
                // frames its replies its own way still has its sales recorded.
                const bool lastChance = attempt == kSalesAttempts || !client.IsConnected();
                if (!lastChance) {
                    WriteLog(u"CheckLastSaleForPump: Respuesta incompleta para bomba "_s + n +
                             u" ("_s + incompleteReplyText(arrived.check) + u"): "_s + received);
                    continue;
                }
                WriteLog(takenAsItCameText(arrived.check, n));
            }
            WriteLog(u"CheckLastSaleForPump: Respuesta recibida para bomba "_s + n + u": "_s +
                     received);
            const QString reply = replyFromItsFrame(received, arrived.start);
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
