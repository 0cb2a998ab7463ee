#include "app/tform1.h"

#include "core/failure.h"
#include "core/timings.h"
#include "link/controller_connection.h"
#include "sales/product_map.h"
#include "text/trim.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPalette>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace veltrane {

TForm1::TForm1(FixedValues fixedValues, QWidget* parent)
    : QWidget(parent), FFixed(std::move(fixedValues)), FLog(FFixed.debugLogPath())
{
    FFailureHandler = [this](const QString& message) {
        QMessageBox::critical(isVisible() ? this : nullptr, u"Veltrane"_s, message);
    };
    FConfirmHandler = [this](const QString& title, const QString& question, const QString& action) {
        QMessageBox box(QMessageBox::Warning, title, question, QMessageBox::NoButton,
                        isVisible() ? this : nullptr);
        QPushButton* go = box.addButton(u'&' + action, QMessageBox::AcceptRole);
        QPushButton* cancel = box.addButton(u"&Cancelar"_s, QMessageBox::RejectRole);
        // Enter alone does not stop the forecourt: the order takes a deliberate click.
        box.setDefaultButton(cancel);
        box.setEscapeButton(cancel);
        box.exec();
        return box.clickedButton() == go;
    };
    FNoticeHandler = [this](const QString& title, const QString& message) {
        if (FTrayIconData && FTrayIconData->isVisible()) {
            // Empty title and message take the shown one away.
            FTrayIconData->showMessage(
                title, message,
                message.isEmpty() ? QSystemTrayIcon::NoIcon : QSystemTrayIcon::Warning, 15000);
        }
    };
    TCPClient = std::make_unique<link::ControllerConnection>();
    BuildWindow();
    RunReportingFailures([this] { FormCreate(); });
}

TForm1::~TForm1()
{
    RunReportingFailures([this] { FormDestroy(); });
}

void TForm1::RunReportingFailures(const std::function<void()>& handler)
{
    // Qt lets no exception cross its event loop: each handler that has no
    // handling of its own sends its failure here, to the message box.
    try {
        handler();
    } catch (const std::exception& error) {
        ShowFailure(FailureText(error));
    }
}

void TForm1::ShowFailure(const QString& message)
{
    if (FFailureHandler) {
        FFailureHandler(message);
    }
}

void TForm1::WriteLog(const QString& text)
{
    FLog.WriteLog(text);
}

void TForm1::FormCreate()
{
    InitTrayIcon();
    FProductNames = std::make_unique<sales::ProductMap>();
    FProductID2 = std::make_unique<sales::ProductMap>();
    LoadProductNames();

    // The main connection reaches the same controller as the pool and the
    // sales connection.
    TCPClient->SetHost(FFixed.controllerAddress);
    TCPClient->SetPort(FFixed.controllerPort);
    TCPClient->SetConnectTimeout(link::ControllerConnection::kDefaultTimeoutMs);
    TCPClient->SetReadTimeout(link::ControllerConnection::kDefaultTimeoutMs);
    TCPClient->SetTextEncoding();

    if (text::TrimControl(Edit1->text()).isEmpty()) {
        Edit1->setText(u"001"_s);
    }

    FMonitoringActive = false;
    FCurrentPump = 1;
    FCurrentSalesPump = 1;
    FFileNeedsSave = false;
    FClientIndex = 0;
    FSalesCheckCount = 0;

    FSalesClient = std::make_unique<link::ControllerConnection>(FFixed.controllerAddress,
                                                                FFixed.controllerPort);

    const std::array<QLabel*, kPumpCount> labels = {
        surtidor1,  surtidor2,  surtidor3,  surtidor4,  surtidor5,  surtidor6,  surtidor7,
        surtidor8,  surtidor9,  surtidor10, surtidor11, surtidor12, surtidor13, surtidor14,
        surtidor15, surtidor16, surtidor17, surtidor18, surtidor19, surtidor20};
    for (int i = 1; i <= kPumpCount; ++i) {
        FSurtidorLabels[i] = labels[static_cast<std::size_t>(i - 1)];
    }
    for (int i = 1; i <= kPumpCount; ++i) {
        FLastStatus[i].clear();
        FAuthSentCount[i] = 0;
    }

    // The result is ignored: a directory that cannot be made shows up as
    // failed writes of the log and the data files, each handled where it occurs.
    QDir().mkpath(FFixed.dataDirectory);

    Timer1->stop();
    Timer1->setInterval(kStatusPollIntervalMs);
    Timer2->stop();
    Timer2->setInterval(kSalesPollIntervalMs);

    UpdateStatus(u"Desconectado"_s, kRed);
    WriteLog(u"=== APLICACIÓN INICIADA ==="_s);
}

void TForm1::FormDestroy()
{
    if (FDestroyed) {
        return;
    }
    FDestroyed = true;
    WriteLog(u"=== APLICACIÓN CERRANDO ==="_s);
    RemoveTrayIcon();
    StopMonitoring();
    FreeClientPool();
    if (FSalesClient) {
        link::DisconnectQuietly(*FSalesClient);
        FSalesClient.reset();
    }
    if (FTrayIconData) {
        FTrayIconData->setContextMenu(nullptr);
    }
    delete FTrayMenu;
    FTrayMenu = nullptr;
    FProductNames.reset();
    FProductID2.reset();
}

void TForm1::UpdateStatus(const QString& text, quint32 color)
{
    LabelStatus->setText(u"Estado: "_s + text);
    QPalette palette = LabelStatus->palette();
    palette.setColor(QPalette::WindowText, QColor(int(color & 0xFF), int((color >> 8) & 0xFF),
                                                  int((color >> 16) & 0xFF)));
    LabelStatus->setPalette(palette);
    if (FSeriesSending) {
        // Between the orders of a series nothing else may run: only paint.
        LabelStatus->repaint();
        return;
    }
    // The new text is painted before the caller goes on with blocking work;
    // this is the one place where handlers can run nested.
    QApplication::processEvents();
}

void TForm1::ButtonConnectClick()
{
    try {
        EnsureConnected();
        StartMonitoring();
        UpdateStatus(u"Conectado y monitoreando"_s, kGreen);
    } catch (const Failure& failure) {
        UpdateStatus(u"Error: "_s + failure.message(), kRed);
    }
}

// These two have no failure handling of their own: what fails reaches the
// default failure handler at the click's boundary.
void TForm1::ButtonDisconnectClick()
{
    StopMonitoring();
    if (TCPClient->IsConnected()) {
        TCPClient->Disconnect();
    }
    UpdateStatus(u"Desconectado"_s, kRed);
}

void TForm1::Button3Click()
{
    StopMonitoring();
    UpdateStatus(u"Monitoreo detenido"_s, kBlue);
}

void TForm1::auto_conectarTimer()
{
    auto_conectar->stop();
    try {
        if (!TCPClient->IsConnected()) {
            ButtonConnectClick();
            WriteLog(u"Auto-conexión ejecutada"_s);
        }
    } catch (const Failure& failure) {
        WriteLog(u"Error en auto-conexión: "_s + failure.message());
    }
}

void TForm1::closeEvent(QCloseEvent* event)
{
    // Closing the window ends the program exactly like "Salir".
    event->accept();
    QCoreApplication::exit(0);
}

} // namespace veltrane
