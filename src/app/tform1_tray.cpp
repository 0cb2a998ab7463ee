// The notification-area icon: the program lives there, its window hidden
// until the operator asks for it.
#include "app/tform1.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

using namespace Qt::StringLiterals;

namespace veltrane {

void TForm1::InitTrayIcon()
{
    // Owned by the window and freed by its shutdown, not by Qt's parent chain.
    FTrayMenu = new QMenu;
    QAction* restore = FTrayMenu->addAction(u"Restaurar"_s);
    connect(restore, &QAction::triggered, this,
            [this] { RunReportingFailures([this] { TrayRestoreClick(); }); });
    FTrayMenu->addSeparator();
    QAction* exit = FTrayMenu->addAction(u"Salir"_s);
    connect(exit, &QAction::triggered, this,
            [this] { RunReportingFailures([this] { TrayExitClick(); }); });

    FTrayIconData = new QSystemTrayIcon(windowIcon(), this);
    FTrayIconData->setToolTip(u"Veltrane V3 - Conexión TCP"_s);
    // The platform pops the menu up at the cursor on a right click.
    FTrayIconData->setContextMenu(FTrayMenu);
    connect(FTrayIconData, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                RunReportingFailures([this, reason] { WMTrayIcon(reason); });
            });
    FTrayIconData->show();
    FInTray = false;
}

void TForm1::RemoveTrayIcon()
{
    // Removed at every shutdown, so no dead icon lingers in the notification
    // area after the program has ended.
    if (FTrayIconData) {
        FTrayIconData->hide();
    }
}

void TForm1::MinimizeToTray()
{
    // Without a notification area the operator could never reach a hidden
    // window, so it stays shown.
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        WriteLog(u"Bandeja del sistema no disponible: la ventana queda visible"_s);
        RestoreFromTray();
        return;
    }
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    FInTray = true;
    WriteLog(u"Aplicación minimizada a bandeja del sistema"_s);
}

void TForm1::RestoreFromTray()
{
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
    FInTray = false;
    WriteLog(u"Aplicación restaurada desde bandeja del sistema"_s);
}

void TForm1::WMTrayIcon(int reason)
{
    // A single click, a middle click and mouse moves are ignored; the context
    // menu is shown by the platform.
    if (reason == QSystemTrayIcon::DoubleClick) {
        RestoreFromTray();
    }
}

void TForm1::TrayRestoreClick()
{
    RestoreFromTray();
}

void TForm1::TrayExitClick()
{
    QCoreApplication::exit(0);
}

} // namespace veltrane
