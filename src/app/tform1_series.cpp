// Every pump stopped ("Detener todos") or resumed ("Abrir todos") at once, as
// a console's all-stop key does: after a confirmation, the single command's
// order to pumps 1 to 20 in turn, on the main connection.
#include "app/tform1.h"
#include "link/wire.h"

#include <QBoxLayout>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

QPushButton* makeSeriesButton(QWidget* parent, const QString& name, const QString& caption,
                              const QString& tip)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setToolTip(tip);
    return button;
}

} // namespace

void TForm1::AddSeriesButtons(QWidget* parent, QBoxLayout* row)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    ButtonCloseAll = makeSeriesButton(parent, u"ButtonCloseAll"_s, u"Dete&ner todos"_s,
                                      u"Cerrar los surtidores 1 a 20, previa confirmación"_s);
    // The emergency key stands out from the single-pump commands.
    ButtonCloseAll->setStyleSheet(
        u"QPushButton#ButtonCloseAll { color: white; background: #b3261e; border: 1px solid "
        u"#7f1d1d; border-radius: 4px; padding: 4px 14px; font-weight: bold; }"
        u"QPushButton#ButtonCloseAll:hover { background: #c62828; }"
        u"QPushButton#ButtonCloseAll:pressed { background: #8e1b1b; }"
        u"QPushButton#ButtonCloseAll:focus { border: 2px solid #1f2328; }"_s);
    ButtonOpenAll = makeSeriesButton(parent, u"ButtonOpenAll"_s, u"Abr&ir todos"_s,
                                     u"Abrir los surtidores 1 a 20, previa confirmación"_s);
    // The outcome of the last series, on a line of its own under the buttons;
    // its room is kept when empty, so nothing moves when it appears.
    LabelSeries = new QLabel(parent);
    LabelSeries->setObjectName(u"LabelSeries"_s);
    LabelSeries->setTextInteractionFlags(Qt::TextSelectableByMouse);
    LabelSeries->setWordWrap(true);
    QFont font = LabelSeries->font();
    font.setBold(true);
    LabelSeries->setFont(font);
    LabelSeries->setMinimumHeight(LabelSeries->fontMetrics().height());
    row->addSpacing(8);
    row->addWidget(line);
    row->addSpacing(8);
    row->addWidget(ButtonCloseAll);
    row->addWidget(ButtonOpenAll);
    row->addStretch(1);
}

void TForm1::ButtonCloseAllClick()
{
    RunPumpSeries(true);
}

void TForm1::ButtonOpenAllClick()
{
    RunPumpSeries(false);
}

void TForm1::RunPumpSeries(bool stop)
{
    // A click while a series is asked for or under way (the second click of a
    // double click, a click handled inside the status line update) sends
    // nothing more.
    if (FSeriesRunning || FSeriesPending) {
        return;
    }
    if (FCommandDepth > 0) {
        // Clicked while another command waits for the main connection to open:
        // the series goes out once that command has sent its frame, never
        // between its steps, so the series has the last word.
        FSeriesPending = true;
        QTimer::singleShot(0, this, [this, stop] {
            FSeriesPending = false;
            RunReportingFailures([this, stop] { RunPumpSeries(stop); });
        });
        return;
    }
    FSeriesRunning = true;
    const auto done = qScopeGuard([this] {
        FSeriesSending = false;
        FSeriesRunning = false;
    });

    const QString name = stop ? u"Detener todos"_s : u"Abrir todos"_s;
    const QString question =
        stop ? u"¿Detener los %1 surtidores?\n\nSe enviará la orden de cierre a los surtidores 1 a "
               u"%1, uno tras otro. Los que estén despachando se detendrán."_s.arg(kPumpCount)
             : u"¿Abrir los %1 surtidores?\n\nSe enviará la orden de apertura a los surtidores 1 a "
               u"%1, uno tras otro."_s.arg(kPumpCount);
    if (!FConfirmHandler || !FConfirmHandler(name, question, name)) {
        return;
    }

    // From here on nothing may run between two orders: the status line is
    // painted without handling other events.
    FSeriesSending = true;
    const QString progress =
        stop ? u"Deteniendo surtidores… %1 de %2"_s : u"Abriendo surtidores… %1 de %2"_s;
    const QString logPrefix = stop ? u"Cerrar surtidor "_s : u"Abrir surtidor "_s;
    int sent = 0;
    for (int pump = 1; pump <= kPumpCount; ++pump) {
        const QString pumpText = link::ThreeDigitPump(pump);
        LabelSeries->setText(progress.arg(pump).arg(kPumpCount));
        LabelSeries->setStyleSheet(u"color: #3d4752;"_s);
        LabelSeries->repaint();
        const QString frame =
            stop ? link::BuildStopRequest(pumpText) : link::BuildResumeRequest(pumpText);
        bool wentOut = false;
        try {
            wentOut = TrySendCommand(frame);
        } catch (const Failure&) {
            // The main connection could not be opened: the series stops here, and
            // the failure is shown as for a single command.
            LabelSeries->setText(u"%1 interrumpido en el surtidor %2 (sin conexión): %3 de %4 "
                                 u"órdenes enviadas, %5"_s.arg(name)
                                     .arg(pump)
                                     .arg(sent)
                                     .arg(kPumpCount)
                                     .arg(FReplyWatch.Now().toString(u"HH:mm:ss"_s)));
            LabelSeries->setStyleSheet(u"color: #b3261e;"_s);
            throw;
        }
        if (wentOut) {
            ++sent;
        }
        WriteLog(logPrefix + pumpText);
    }
    const bool all = sent == kPumpCount;
    LabelSeries->setText(u"%1: %2 de %3 órdenes enviadas, %4%5"_s.arg(name)
                             .arg(sent)
                             .arg(kPumpCount)
                             .arg(FReplyWatch.Now().toString(u"HH:mm:ss"_s),
                                  all ? QString() : u" (ver el registro)"_s));
    LabelSeries->setStyleSheet(all ? u"color: #1e7b34;"_s : u"color: #b3261e;"_s);
}

} // namespace veltrane
