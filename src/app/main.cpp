#include "app/app_icon.h"
#include "app/single_instance.h"
#include "app/tform1.h"
#include "core/termination_signals.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(u"Veltrane"_s);
    QApplication::setWindowIcon(veltrane::AppIcon());
    // The program lives in the notification area: hiding the window must not
    // end it; closing the window or "Salir" does.
    QApplication::setQuitOnLastWindowClosed(false);

    const veltrane::FixedValues fixed = veltrane::FixedValues::builtIn();
    veltrane::SingleInstance instance(fixed.dataDirectory);
    if (!instance.acquire()) {
        return 0;
    }

    // SIGTERM and SIGINT end the program exactly like "Salir": the event loop
    // ends and the window's shutdown runs.
    veltrane::OnTerminationSignals(&application, [] { QCoreApplication::exit(0); });

    int exitCode = 0;
    {
        veltrane::TForm1 form(fixed);
        QObject::connect(&instance, &veltrane::SingleInstance::activationRequested, &form,
                         [&form] { form.RestoreFromTray(); });
        form.MinimizeToTray();
        exitCode = QApplication::exec();
    } // the window is destroyed here, which runs its shutdown
    return exitCode;
}
