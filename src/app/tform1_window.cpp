// The window's design: every control under its name, laid out for an
// operator who glances at it from across the back office.
#include "app/app_icon.h"
#include "app/tform1.h"
#include "core/timings.h"
#include "link/wire.h"

#include <QDesktopServices>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace veltrane {
namespace {

constexpr int kTileColumns = 5;

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QLineEdit* makeEdit(QWidget* parent, const QString& name, const QString& placeholder)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    edit->setPlaceholderText(placeholder);
    edit->setMaximumWidth(140);
    return edit;
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

// Tab moves through the widgets in the order given.
void chainTabOrder(std::initializer_list<QWidget*> widgets)
{
    QWidget* previous = nullptr;
    for (QWidget* widget : widgets) {
        if (previous) {
            QWidget::setTabOrder(previous, widget);
        }
        previous = widget;
    }
}

// The tile's colours by status: the statuses an operator acts on stand out.
// A tile whose last poll went unanswered is dimmed whatever its status.
QString tileStyle(const QString& status, bool stale)
{
    if (stale) {
        return u"QFrame#pumpTile { background: #e9ecef; border: 2px dashed #98a2ad; "
               u"border-radius: 8px; }"
               u"QLabel { color: #7b8591; }"
               u"QLabel[tileLine=\"stale\"] { color: #a1300f; font-weight: bold; }"_s;
    }
    QString background = u"#f4f6f8"_s;
    QString border = u"#c9d1d9"_s;
    namespace s = link::pump_status;
    if (status == s::kCalling) {
        background = u"#ffe8b3"_s;
        border = u"#e09b00"_s;
    } else if (status == s::kAuthorized) {
        background = u"#dcecff"_s;
        border = u"#3a7bd5"_s;
    } else if (status == s::kFuelling) {
        background = u"#dcf5e3"_s;
        border = u"#2e9e55"_s;
    } else if (status == s::kClosed || status == s::kUnknown) {
        background = u"#fde2e2"_s;
        border = u"#c0392b"_s;
    } else if (!status.isEmpty()) {
        background = u"#ffffff"_s;
    }
    return u"QFrame#pumpTile { background: %1; border: 2px solid %2; border-radius: 8px; }"
           u"QLabel[tileLine=\"sale\"] { color: #3d4752; }"_s.arg(background, border);
}

// The six price edits with their captions, in screen and keyboard order. The
// edit is named after its key in lower case ("gp"), its caption LabelN.
struct PriceField
{
    QLineEdit* TForm1::*edit;
    QLabel* TForm1::*label;
    QStringView key;
    QStringView caption;
};
constexpr std::array<PriceField, 6> kPriceFields = {{
    {&TForm1::gp, &TForm1::Label1, u"GP", u"Gasolina premium (GP)"},
    {&TForm1::gr, &TForm1::Label2, u"GR", u"Gasolina regular (GR)"},
    {&TForm1::dp, &TForm1::Label3, u"DP", u"Diésel premium (DP)"},
    {&TForm1::dr, &TForm1::Label4, u"DR", u"Diésel regular (DR)"},
    {&TForm1::kr, &TForm1::Label5, u"KR", u"Queroseno (KR)"},
    {&TForm1::rc, &TForm1::Label6, u"RC", u"Racing (RC)"},
}};

} // namespace

void TForm1::BuildWindow()
{
    setObjectName(u"Form1"_s);
    setWindowTitle(u"Veltrane V3 - Monitor de surtidores"_s);
    setWindowIcon(AppIcon());

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(14, 12, 14, 12);
    root->setSpacing(12);
    root->addLayout(BuildConnectionBar());
    root->addWidget(BuildOutageBanner());
    root->addWidget(BuildPumpTiles(), 1);
    root->addWidget(BuildOperatorPanel());

    Timer1 = new QTimer(this);
    Timer1->setObjectName(u"Timer1"_s);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(u"Timer2"_s);
    auto_conectar = new QTimer(this);
    auto_conectar->setObjectName(u"auto_conectar"_s);

    // Keyboard order follows the screen: connection bar, pump, prices, send.
    chainTabOrder({ButtonConnect, ButtonDisconnect, Button3, SpeedButton1, Edit1, ButtonClosePump,
                   Button1, ButtonCloseAll, ButtonOpenAll, gp, gr, dp, dr, kr, rc, Button2});

    // No exception may cross Qt's event loop: whatever a handler does not
    // handle itself reaches the default failure handler here.
    const auto on = [this](auto* sender, auto signal, void (TForm1::*handler)()) {
        connect(sender, signal, this,
                [this, handler] { RunReportingFailures([this, handler] { (this->*handler)(); }); });
    };
    on(ButtonConnect, &QPushButton::clicked, &TForm1::ButtonConnectClick);
    on(ButtonDisconnect, &QPushButton::clicked, &TForm1::ButtonDisconnectClick);
    on(Button3, &QPushButton::clicked, &TForm1::Button3Click);
    on(ButtonClosePump, &QPushButton::clicked, &TForm1::ButtonClosePumpClick);
    on(Button1, &QPushButton::clicked, &TForm1::Button1Click);
    on(Button2, &QPushButton::clicked, &TForm1::Button2Click);
    on(ButtonCloseAll, &QPushButton::clicked, &TForm1::ButtonCloseAllClick);
    on(ButtonOpenAll, &QPushButton::clicked, &TForm1::ButtonOpenAllClick);
    on(SpeedButton1, &QToolButton::clicked, &TForm1::SpeedButton1Click);
    // Timer1 fires once and is re-armed for the time left to the next tick:
    // a tick that falls due during a poll is then delivered once, right
    // after it, on every platform (Windows' timers otherwise count the
    // period from the end of the handler, halving the polling rate).
    Timer1->setSingleShot(true);
    Timer1->setTimerType(Qt::PreciseTimer);
    connect(Timer1, &QTimer::timeout, this, [this] {
        RunReportingFailures([this] { Timer1Timer(); });
        ScheduleTimer1();
    });
    on(Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
    on(auto_conectar, &QTimer::timeout, &TForm1::auto_conectarTimer);

    // The automatic connection is part of the design: enabled at creation,
    // it connects once, shortly after start.
    auto_conectar->setSingleShot(false);
    auto_conectar->setInterval(kAutoConnectDelayMs);
    auto_conectar->start();

    resize(960, 720);
    // First shown centred on the screen it will appear on.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

QLayout* TForm1::BuildConnectionBar()
{
    ButtonConnect = makeButton(this, u"ButtonConnect"_s, u"&Conectar"_s);
    ButtonDisconnect = makeButton(this, u"ButtonDisconnect"_s, u"&Desconectar"_s);
    Button3 = makeButton(this, u"Button3"_s, u"Detener &monitoreo"_s);
    LabelStatus = makeLabel(this, u"LabelStatus"_s, QString());
    QFont statusFont = LabelStatus->font();
    statusFont.setBold(true);
    statusFont.setPointSizeF(statusFont.pointSizeF() * 1.15);
    LabelStatus->setFont(statusFont);
    LabelStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
    SpeedButton1 = new QToolButton(this);
    SpeedButton1->setObjectName(u"SpeedButton1"_s);
    SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    SpeedButton1->setText(u"Carpe&ta de datos"_s);
    SpeedButton1->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    SpeedButton1->setToolTip(u"Abrir la carpeta de datos (%1)"_s.arg(FFixed.dataDirectory));
    SpeedButton1->setAutoRaise(true);

    auto* bar = new QHBoxLayout;
    bar->addWidget(ButtonConnect);
    bar->addWidget(ButtonDisconnect);
    bar->addWidget(Button3);
    bar->addSpacing(16);
    bar->addWidget(LabelStatus, 1);
    bar->addWidget(SpeedButton1);
    return bar;
}

QWidget* TForm1::BuildPumpTiles()
{
    // Caption LabelN and status surtidorN, in declaration order.
    const std::array<QLabel**, 2 * std::size_t{kPumpCount}> tileLabels = {
        &Label7,  &surtidor1,  &Label8,  &surtidor2,  &Label9,  &surtidor3,  &Label10, &surtidor4,
        &Label11, &surtidor5,  &Label12, &surtidor6,  &Label13, &surtidor7,  &Label14, &surtidor8,
        &Label15, &surtidor9,  &Label16, &surtidor10, &Label17, &surtidor11, &Label18, &surtidor12,
        &Label19, &surtidor13, &Label20, &surtidor14, &Label21, &surtidor15, &Label22, &surtidor16,
        &Label23, &surtidor17, &Label24, &surtidor18, &Label25, &surtidor19, &Label26, &surtidor20};
    // Room for the longest status without truncation.
    const QString longestStatus =
        link::pump_status::kFuelling.toString().leftJustified(link::kPumpStatusWidth, u'X');
    auto* box = new QGroupBox(u"Surtidores"_s, this);
    auto* grid = new QGridLayout(box);
    grid->setSpacing(8);
    for (int pump = 1; pump <= kPumpCount; ++pump) {
        auto* tile = new QFrame(box);
        tile->setObjectName(u"pumpTile"_s);
        tile->setMinimumHeight(64);
        auto* tileLayout = new QVBoxLayout(tile);
        tileLayout->setContentsMargins(10, 6, 10, 6);
        tileLayout->setSpacing(2);
        const auto slot = 2 * static_cast<std::size_t>(pump - 1);
        QLabel*& caption = *tileLabels[slot];
        QLabel*& status = *tileLabels[slot + 1];
        caption = makeLabel(tile, u"Label%1"_s.arg(pump + 6), u"Surtidor %1"_s.arg(pump));
        QFont captionFont = caption->font();
        captionFont.setBold(true);
        caption->setFont(captionFont);
        status = makeLabel(tile, u"surtidor%1"_s.arg(pump), QString());
        QFont statusFont = status->font();
        statusFont.setPointSizeF(statusFont.pointSizeF() * 1.3);
        status->setFont(statusFont);
        tile->setMinimumWidth(status->fontMetrics().horizontalAdvance(longestStatus) + 24);
        caption->setAlignment(Qt::AlignHCenter);
        status->setAlignment(Qt::AlignHCenter);
        tileLayout->addWidget(caption);
        tileLayout->addWidget(status);
        AddTileLines(tileLayout, pump);
        tile->setStyleSheet(tileStyle(QString(), false));
        grid->addWidget(tile, (pump - 1) / kTileColumns, (pump - 1) % kTileColumns);
    }
    return box;
}

QWidget* TForm1::BuildOperatorPanel()
{
    auto* box = new QGroupBox(u"Operación de surtidor"_s, this);
    auto* commands = new QGridLayout(box);
    commands->setHorizontalSpacing(10);

    Edit1 = makeEdit(box, u"Edit1"_s, u"001"_s);
    Edit1->setMaximumWidth(70);
    ButtonClosePump = makeButton(box, u"ButtonClosePump"_s, u"C&errar surtidor"_s);
    Button1 = makeButton(box, u"Button1"_s, u"&Abrir surtidor"_s);
    auto* pumpCaption = makeLabel(box, u"pumpCaption"_s, u"&Surtidor:"_s);
    pumpCaption->setBuddy(Edit1);
    auto* pumpRow = new QHBoxLayout;
    pumpRow->setSpacing(8);
    pumpRow->addWidget(pumpCaption);
    pumpRow->addWidget(Edit1);
    pumpRow->addSpacing(8);
    pumpRow->addWidget(ButtonClosePump);
    pumpRow->addWidget(Button1);
    AddSeriesButtons(box, pumpRow);
    commands->addLayout(pumpRow, 0, 0, 1, 6);
    commands->addWidget(LabelSeries, 1, 0, 1, 6);

    auto* pricesCaption = makeLabel(box, u"pricesCaption"_s, u"Nuevos precios:"_s);
    QFont pricesFont = pricesCaption->font();
    pricesFont.setBold(true);
    pricesCaption->setFont(pricesFont);
    commands->addWidget(pricesCaption, 2, 0, 1, 6);
    for (std::size_t i = 0; i < kPriceFields.size(); ++i) {
        const PriceField& field = kPriceFields[i];
        const QString key = field.key.toString();
        QLineEdit* edit = makeEdit(box, key.toLower(), key);
        QLabel* caption = makeLabel(box, u"Label%1"_s.arg(i + 1), field.caption.toString());
        caption->setBuddy(edit);
        this->*field.edit = edit;
        this->*field.label = caption;
        const int column = static_cast<int>(i % 3) * 2;
        const int row = 3 + static_cast<int>(i / 3);
        commands->addWidget(caption, row, column, Qt::AlignRight);
        commands->addWidget(edit, row, column + 1);
    }

    Button2 = makeButton(box, u"Button2"_s, u"Enviar cambio de &precio"_s);
    auto* sendRow = new QHBoxLayout;
    sendRow->addStretch(1);
    sendRow->addWidget(Button2);
    commands->addLayout(sendRow, 5, 0, 1, 6);
    return box;
}

void TForm1::PaintPumpTile(qint32 pump)
{
    QLabel* label = FSurtidorLabels[pump];
    if (!label) {
        return; // the start-up failed before the labels were found
    }
    if (auto* tile = qobject_cast<QFrame*>(label->parentWidget())) {
        const bool stale = FReplyWatch.Stale(pump);
        tile->setProperty("stale", stale);
        tile->setStyleSheet(tileStyle(label->text(), stale));
    }
}

void TForm1::AddTileLines(QBoxLayout* tileLayout, qint32 pump)
{
    // Under the status: the last recorded sale, then what the watch says of a
    // pump that did not answer. Both lines keep their room when empty, so a
    // tile never changes size.
    QWidget* tile = tileLayout->parentWidget();
    const auto line = [tile](const QString& name, const char* role) {
        auto* label = makeLabel(tile, name, QString());
        label->setProperty("tileLine", QString::fromLatin1(role));
        label->setAlignment(Qt::AlignHCenter);
        QFont font = label->font();
        font.setPointSizeF(font.pointSizeF() * 0.92);
        label->setFont(font);
        label->setMinimumHeight(label->fontMetrics().height());
        return label;
    };
    FSaleLabels[pump] = line(u"venta%1"_s.arg(pump), "sale");
    FStaleLabels[pump] = line(u"aviso%1"_s.arg(pump), "stale");
    tileLayout->addWidget(FSaleLabels[pump]);
    tileLayout->addWidget(FStaleLabels[pump]);
}

void TForm1::SpeedButton1Click()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(FFixed.dataDirectory));
}

} // namespace veltrane
