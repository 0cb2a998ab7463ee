// Controller connections in their three roles, and the operator's commands.
#include "app/tform1.h"
#include "core/timings.h"
#include "link/controller_connection.h"
#include "link/wire.h"

#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QThread>

#include <utility>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

// A "|" or "^" in a typed value would shift the fields the controller reads
// and could stop or re-price another pump: such a command is never sent.
void refuseFieldSeparators(const QString& field, const QString& value)
{
    for (const QChar separator : {QChar(u'|'), QChar(u'^')}) {
        if (value.contains(separator)) {
            throw Failure(u"El campo «%1» contiene el carácter \"%2\", que el controlador usa "
                          u"como separador. No se envió el comando."_s.arg(field, separator));
        }
    }
}

QString fieldCaption(const QLabel* label)
{
    return label->text().remove(u'&');
}

} // namespace

void TForm1::InitClientPool()
{
    for (int slot = 1; slot <= kPoolSize; ++slot) {
        auto client = std::make_shared<link::ControllerConnection>(FFixed.controllerAddress,
                                                                   FFixed.controllerPort);
        client->SetConnectTimeout(link::ControllerConnection::kDefaultTimeoutMs);
        client->SetReadTimeout(link::ControllerConnection::kDefaultTimeoutMs);
        FPumpClients[slot] = std::move(client);
    }
    WriteLog(u"Pool de clientes inicializado (4 clientes)"_s);
}

void TForm1::FreeClientPool()
{
    for (int slot = 1; slot <= kPoolSize; ++slot) {
        // A poll interrupted by a nested stop still holds its own reference, so
        // the connection it uses outlives the slot.
        std::shared_ptr<link::ControllerConnection> client = std::exchange(FPumpClients[slot], {});
        if (client) {
            link::DisconnectQuietly(*client);
        }
    }
    WriteLog(u"Pool de clientes liberado"_s);
}

std::shared_ptr<link::ControllerConnection> TForm1::GetNextClient()
{
    FClientIndex = (FClientIndex % kPoolSize) + 1;
    return FPumpClients[FClientIndex];
}

void TForm1::EnsureConnected()
{
    if (TCPClient->IsConnected()) {
        return;
    }
    try {
        TCPClient->Connect();
    } catch (const Failure& failure) {
        UpdateStatus(u"Error: "_s + failure.message(), kRed);
        throw;
    }
    UpdateStatus(u"Conectado"_s, kGreen);
}

QString TForm1::GetPumpNumber()
{
    QString pump = Edit1->text();
    while (pump.size() < 3) {
        pump.prepend(u'0');
    }
    return pump;
}

void TForm1::SendCommand(const QString& frame)
{
    TrySendCommand(frame);
}

bool TForm1::TrySendCommand(const QString& frame)
{
    // Counted, so that a series of orders clicked meanwhile waits for this one.
    ++FCommandDepth;
    const auto done = qScopeGuard([this] { --FCommandDepth; });
    EnsureConnected();
    try {
        TCPClient->SendText(frame);
        QThread::msleep(kCommandPauseMs);
        const QString reply = TCPClient->TakeReceivedText();
        WriteLog(u"Comando enviado: "_s + frame + u" | Respuesta: "_s + reply);
        return true;
    } catch (const Failure& failure) {
        WriteLog(u"Error enviando comando: "_s + failure.message());
        return false;
    }
}

void TForm1::SendAuthorize(const QString& pump)
{
    SendCommand(link::BuildAuthorizeRequest(pump));
    WriteLog(u"Autorización enviada a surtidor "_s + pump);
}

void TForm1::ButtonClosePumpClick()
{
    const QString pump = GetPumpNumber();
    RefuseTypedSeparators({});
    SendCommand(link::BuildStopRequest(pump));
    WriteLog(u"Cerrar surtidor "_s + pump);
}

void TForm1::Button1Click()
{
    const QString pump = GetPumpNumber();
    RefuseTypedSeparators({});
    SendCommand(link::BuildResumeRequest(pump));
    WriteLog(u"Abrir surtidor "_s + pump);
}

void TForm1::Button2Click()
{
    const QString pump = GetPumpNumber();
    const link::PriceChange prices{gp->text(), gr->text(), dp->text(),
                                   dr->text(), kr->text(), rc->text()};
    RefuseTypedSeparators({{Label1, prices.gp},
                           {Label2, prices.gr},
                           {Label3, prices.dp},
                           {Label4, prices.dr},
                           {Label5, prices.kr},
                           {Label6, prices.rc}});
    SendCommand(link::BuildPriceChangeRequest(pump, prices));
    WriteLog(u"Cambio de precio enviado a surtidor "_s + pump);
}

void TForm1::RefuseTypedSeparators(std::initializer_list<std::pair<const QLabel*, QString>> prices)
{
    try {
        refuseFieldSeparators(u"Surtidor"_s, Edit1->text());
        for (const auto& [caption, value] : prices) {
            refuseFieldSeparators(fieldCaption(caption), value);
        }
    } catch (const Failure& failure) {
        WriteLog(u"Comando rechazado: "_s + failure.message());
        throw;
    }
}

} // namespace veltrane
