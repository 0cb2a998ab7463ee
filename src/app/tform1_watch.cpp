// What the silent status poll never says: a tile whose last poll went
// unanswered looks stale, and a controller that has gone quiet altogether
// shows as a banner, a warning tray icon, one notification and two log lines.
#include "app/app_icon.h"
#include "app/tform1.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

const QString kTrayTip = u"Veltrane V3 - Conexión TCP"_s;

} // namespace

QFrame* TForm1::BuildOutageBanner()
{
    PanelOutage = new QFrame(this);
    PanelOutage->setObjectName(u"PanelOutage"_s);
    PanelOutage->setStyleSheet(u"QFrame#PanelOutage { background: #b3261e; border: 2px solid "
                               u"#7f1d1d; border-radius: 8px; }"
                               u"QLabel { color: white; background: transparent; }"_s);
    auto* sign = new QLabel(PanelOutage);
    sign->setPixmap(WarningSign(36, QColor(0xff, 0xd5, 0x4f), QColor(0x7f, 0x1d, 0x1d)));
    LabelOutage = new QLabel(PanelOutage);
    LabelOutage->setObjectName(u"LabelOutage"_s);
    QFont font = LabelOutage->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.35);
    LabelOutage->setFont(font);
    auto* hint = new QLabel(u"Los estados de los surtidores pueden no estar al día. "
                            u"Revise el controlador y la red."_s,
                            PanelOutage);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(LabelOutage);
    texts->addWidget(hint);
    auto* layout = new QHBoxLayout(PanelOutage);
    layout->setContentsMargins(14, 8, 14, 8);
    layout->setSpacing(14);
    layout->addWidget(sign);
    layout->addLayout(texts, 1);
    PanelOutage->hide();
    return PanelOutage;
}

void TForm1::NotePollAnswered(qint32 pump)
{
    if (pump < 1 || pump > kPumpCount) {
        return;
    }
    if (FReplyWatch.NoteAnswer(pump) == monitor::ReplyWatch::Change::OutageEnded) {
        WriteLog(monitor::OutageEndedText(FReplyWatch.LastOutageMs()));
    }
    ShowReplyWatch();
}

void TForm1::NotePollSilent(qint32 pump)
{
    if (pump < 1 || pump > kPumpCount) {
        return;
    }
    if (FReplyWatch.NoteSilence(pump) == monitor::ReplyWatch::Change::OutageStarted) {
        const QString text = monitor::OutageText(FReplyWatch.SilentSince());
        WriteLog(text);
        ShowReplyWatch();
        // One notification per outage, for an operator who is not looking at
        // the window.
        if (FNoticeHandler) {
            FNoticeHandler(u"Veltrane V3"_s, text);
        }
        return;
    }
    ShowReplyWatch();
}

void TForm1::ShowReplyWatch()
{
    const QDateTime now = FReplyWatch.Now();
    for (int pump = 1; pump <= kPumpCount; ++pump) {
        const bool stale = FReplyWatch.Stale(pump);
        const QString text =
            stale ? monitor::StaleText(FReplyWatch.LastAnswer(pump), now) : QString();
        if (FStaleLabels[pump]->text() != text) {
            FStaleLabels[pump]->setText(text);
        }
        if (FStaleLabels[pump]->parentWidget()->property("stale").toBool() != stale) {
            PaintPumpTile(pump);
        }
    }
    const bool outage = FReplyWatch.InOutage();
    if (outage) {
        LabelOutage->setText(monitor::OutageText(FReplyWatch.SilentSince()));
    }
    if (PanelOutage->isVisibleTo(this) != outage) {
        PanelOutage->setVisible(outage);
        ShowOutageInTray(outage);
        // A notification still up would tell of a silence that is over.
        if (!outage && FNoticeHandler) {
            FNoticeHandler(QString(), QString());
        }
    }
}

void TForm1::ShowOutageInTray(bool outage)
{
    if (!FTrayIconData) {
        return;
    }
    FTrayIconData->setIcon(outage ? AppWarningIcon() : windowIcon());
    FTrayIconData->setToolTip(outage ? kTrayTip + u'\n' + LabelOutage->text() : kTrayTip);
}

} // namespace veltrane
