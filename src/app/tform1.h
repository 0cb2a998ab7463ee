#pragma once

#include "core/fixed_values.h"
#include "core/indexed_array.h"
#include "monitor/reply_watch.h"
#include "text/debug_log.h"

#include <QWidget>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <utility>

class QBoxLayout;
class QFrame;
class QLabel;
class QLayout;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTimer;
class QToolButton;

namespace veltrane::link {
class ControllerConnection;
}
namespace veltrane::sales {
class ProductMap;
struct SaleSummary;
} // namespace veltrane::sales

namespace veltrane {

inline constexpr int kPumpCount = 20;
inline constexpr int kPoolSize = 4;

// The main window. It holds all program state and every operation of the
// program as a thin member that orchestrates the window-free code of the core.
// Everything runs on the thread of its event loop; only UpdateStatus pumps
// pending events, so the members that reach it must survive nested handlers.
class TForm1 : public QWidget
{
    Q_OBJECT

public:
    using FailureHandler = std::function<void(const QString& message)>;
    // Asks the operator to confirm an action; true to go ahead.
    using ConfirmHandler =
        std::function<bool(const QString& title, const QString& question, const QString& action)>;
    // A notification of the tray icon; an empty message withdraws the last one.
    using NoticeHandler = std::function<void(const QString& title, const QString& message)>;

    explicit TForm1(FixedValues fixedValues, QWidget* parent = nullptr);
    ~TForm1() override;

    // The application's default failure handler: a message box with the
    // failure's message. Tests replace it to see what would be shown.
    void SetFailureHandler(FailureHandler handler) { FFailureHandler = std::move(handler); }
    // A question box, and the tray's balloon; tests replace them too.
    void SetConfirmHandler(ConfirmHandler handler) { FConfirmHandler = std::move(handler); }
    void SetNoticeHandler(NoticeHandler handler) { FNoticeHandler = std::move(handler); }
    const FixedValues& Fixed() const { return FFixed; }
    // The debug log, for the window-free code that writes to it.
    LogSink& Log() { return FLog; }

    // --- Controls, in declaration order ----------------------------------
    QPushButton* ButtonConnect = nullptr;
    QPushButton* ButtonDisconnect = nullptr;
    QLabel* LabelStatus = nullptr;
    std::unique_ptr<link::ControllerConnection> TCPClient;
    QPushButton* ButtonClosePump = nullptr;
    QPushButton* Button1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLineEdit* gp = nullptr;
    QLineEdit* gr = nullptr;
    QLineEdit* dp = nullptr;
    QLineEdit* dr = nullptr;
    QLineEdit* kr = nullptr;
    QLineEdit* rc = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    QPushButton* Button2 = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* surtidor1 = nullptr;
    QLabel* Label8 = nullptr;
    QLabel* surtidor2 = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* surtidor3 = nullptr;
    QLabel* Label10 = nullptr;
    QLabel* surtidor4 = nullptr;
    QLabel* Label11 = nullptr;
    QLabel* surtidor5 = nullptr;
    QLabel* Label12 = nullptr;
    QLabel* surtidor6 = nullptr;
    QLabel* Label13 = nullptr;
    QLabel* surtidor7 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* surtidor8 = nullptr;
    QLabel* Label15 = nullptr;
    QLabel* surtidor9 = nullptr;
    QLabel* Label16 = nullptr;
    QLabel* surtidor10 = nullptr;
    QLabel* Label17 = nullptr;
    QLabel* surtidor11 = nullptr;
    QLabel* Label18 = nullptr;
    QLabel* surtidor12 = nullptr;
    QLabel* Label19 = nullptr;
    QLabel* surtidor13 = nullptr;
    QLabel* Label20 = nullptr;
    QLabel* surtidor14 = nullptr;
    QLabel* Label21 = nullptr;
    QLabel* surtidor15 = nullptr;
    QLabel* Label22 = nullptr;
    QLabel* surtidor16 = nullptr;
    QLabel* Label23 = nullptr;
    QLabel* surtidor17 = nullptr;
    QLabel* Label24 = nullptr;
    QLabel* surtidor18 = nullptr;
    QLabel* Label25 = nullptr;
    QLabel* surtidor19 = nullptr;
    QLabel* Label26 = nullptr;
    QLabel* surtidor20 = nullptr;
    QTimer* Timer1 = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QPushButton* Button3 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* auto_conectar = nullptr;

    // --- State fields, in declaration order --------------------------------
    IndexedArray<QString, 1, kPumpCount> FLastStatus;
    IndexedArray<qint32, 1, kPumpCount> FAuthSentCount;
    IndexedArray<QLabel*, 1, kPumpCount> FSurtidorLabels;
    bool FMonitoringActive = false;
    // When Timer1's next tick is due; see ScheduleTimer1.
    std::chrono::steady_clock::time_point FTimer1Due;
    qint32 FCurrentPump = 0;
    bool FFileNeedsSave = false;
    // Shared so that a poll holds its connection alive even when a stop of
    // monitoring runs nested inside it and empties the pool.
    IndexedArray<std::shared_ptr<link::ControllerConnection>, 1, kPoolSize> FPumpClients;
    qint32 FClientIndex = 0;
    std::unique_ptr<link::ControllerConnection> FSalesClient;
    qint32 FSalesCheckCount = 0;
    qint32 FCurrentSalesPump = 0;
    std::unique_ptr<sales::ProductMap> FProductNames;
    std::unique_ptr<sales::ProductMap> FProductID2;
    QSystemTrayIcon* FTrayIconData = nullptr;
    QMenu* FTrayMenu = nullptr;
    bool FInTray = false;

    // --- Application shell ------------------------------------------------
    void FormCreate();
    void FormDestroy();
    void UpdateStatus(const QString& text, quint32 color);
    void ButtonConnectClick();
    void ButtonDisconnectClick();
    void Button3Click();
    void auto_conectarTimer();
    void SpeedButton1Click();
    void WriteLog(const QString& text);

    // --- Notification-area icon --------------------------------------------
    void InitTrayIcon();
    void RemoveTrayIcon();
    void MinimizeToTray();
    void RestoreFromTray();
    void WMTrayIcon(int reason);
    void TrayRestoreClick();
    void TrayExitClick();

    // --- Controller connections and operator commands ---------------------
    void InitClientPool();
    void FreeClientPool();
    std::shared_ptr<link::ControllerConnection> GetNextClient();
    void EnsureConnected();
    QString GetPumpNumber();
    void SendCommand(const QString& frame);
    void SendAuthorize(const QString& pump);
    void ButtonClosePumpClick();
    void Button1Click();
    void Button2Click();

    // --- Monitoring ---------------------------------------------------------
    void StartMonitoring();
    void StopMonitoring();
    void Timer1Timer();
    void ScheduleTimer1();
    void PollPumpStatus(qint32 pump);
    void UpdatePumpStatus(qint32 pump, const QString& status);
    void SavePumpStates();
    void Timer2Timer();
    void CheckLastSaleForPump(qint32 pump);

    // --- Sales records ----------------------------------------------------
    void LoadProductNames();
    QString GetFuelName(const QString& code);
    QString GetProductID2(const QString& code);
    void ParseAndSaveLastSale(const QString& reply, qint32 pump);

    // --- Beyond the program's design: what the operator needs besides -------
    // A controller that stops answering: the banner above the tiles, and each
    // tile's line under its status ("sin respuesta · hace 12 s").
    QFrame* PanelOutage = nullptr;
    QLabel* LabelOutage = nullptr;
    IndexedArray<QLabel*, 1, kPumpCount> FStaleLabels;
    // Who answered the status polls, and since when nobody has.
    monitor::ReplyWatch FReplyWatch{kPumpCount};
    void NotePollAnswered(qint32 pump);
    void NotePollSilent(qint32 pump);
    void ShowReplyWatch();

    // Every pump stopped or resumed at once, after a confirmation.
    QPushButton* ButtonCloseAll = nullptr;
    QPushButton* ButtonOpenAll = nullptr;
    QLabel* LabelSeries = nullptr; // how many orders of the last series went out
    void ButtonCloseAllClick();
    void ButtonOpenAllClick();

    // Each pump's last recorded sale, under its status.
    IndexedArray<QLabel*, 1, kPumpCount> FSaleLabels;
    void ShowRecordedSale(qint32 pump, const sales::SaleSummary& sale);

    // The three colours of the status line, as Windows colour values 0x00BBGGRR.
    static constexpr quint32 kRed = 255;
    static constexpr quint32 kGreen = 32768;
    static constexpr quint32 kBlue = 16711680;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The window's design: controls, layout, captions, one section each.
    void BuildWindow();
    QLayout* BuildConnectionBar();
    QWidget* BuildPumpTiles();
    QWidget* BuildOperatorPanel();
    void ShowFailure(const QString& message);
    // Runs a handler whose failures go to the default failure handler.
    void RunReportingFailures(const std::function<void()>& handler);
    void PaintPumpTile(qint32 pump);
    // The window's additions to the design, each put in its place by BuildWindow.
    QFrame* BuildOutageBanner();
    void AddTileLines(QBoxLayout* tileLayout, qint32 pump);
    void AddSeriesButtons(QWidget* parent, QBoxLayout* row);
    void ShowOutageInTray(bool outage);
    // Sends the stop (or resume) order to pumps 1 to 20 in turn.
    void RunPumpSeries(bool stop);
    void SetCommandButtonsEnabled(bool enabled);
    // SendCommand, telling whether the frame went out.
    bool TrySendCommand(const QString& frame);
    // Refuses a command whose pump number or prices hold "|" or "^".
    void RefuseTypedSeparators(std::initializer_list<std::pair<const QLabel*, QString>> prices);

    FixedValues FFixed;
    DebugLog FLog;
    FailureHandler FFailureHandler;
    ConfirmHandler FConfirmHandler;
    NoticeHandler FNoticeHandler;
    bool FDestroyed = false;
    int FCommandDepth = 0;       // commands under way, nested ones included
    bool FSeriesRunning = false; // from the click to the last order of a series
    bool FSeriesSending = false; // while its orders go out: nothing may run between them
    bool FSeriesPending = false; // a series waits for the command under way
};

} // namespace veltrane
