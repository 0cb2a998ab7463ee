#pragma once

#include "core/timings.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace veltrane::monitor {

// Watches the answers of the status polls, so that the window can show what
// the silent poll itself never reports: which pumps did not answer their last
// poll, and when the whole controller has gone quiet (no answer for
// kOutageAfterMs). It knows nothing of windows or sockets; the clock is
// replaceable, so tests move time by hand.
class ReplyWatch
{
public:
    using Clock = std::function<QDateTime()>;

    // What a note did to the controller-wide state.
    enum class Change
    {
        None,
        OutageStarted,
        OutageEnded,
    };

    explicit ReplyWatch(int pumpCount, Clock clock = {});

    void SetClock(Clock clock);
    QDateTime Now() const;

    // Monitoring switched on: no pump is stale and the silence is counted from
    // now. The time of each pump's last answer is kept from earlier runs.
    void Start();
    // Monitoring switched off: nothing is stale and no outage is under way;
    // an outage cut short this way has no end to report.
    void Stop();
    bool Running() const { return FRunning; }

    // A status poll of the pump got a reply (any reply: the controller spoke).
    Change NoteAnswer(int pump);
    // A status poll of the pump got no reply, could not connect or failed.
    Change NoteSilence(int pump);
    // Time has passed without a note.
    Change Check();

    // Whether the pump's last poll while monitoring went unanswered.
    bool Stale(int pump) const;
    // When the pump last answered a status poll, in this run of the program.
    std::optional<QDateTime> LastAnswer(int pump) const;

    bool InOutage() const { return FInOutage; }
    // The last answer of any pump, or the start of monitoring when none came
    // since: the moment the silence began.
    QDateTime SilentSince() const { return FSilentSince; }
    // How long the outage that ended last lasted.
    qint64 LastOutageMs() const { return FLastOutageMs; }

private:
    qsizetype index(int pump) const;
    Change startOutageIfDue();

    Clock FClock;
    bool FRunning = false;
    bool FInOutage = false;
    QDateTime FSilentSince;
    qint64 FLastOutageMs = 0;
    QList<bool> FStale;
    QList<std::optional<QDateTime>> FLastAnswer;
};

// "42 s", "3 min 05 s", "2 h 07 min": a length of time for the operator.
QString DurationText(qint64 ms);

// The banner's text, also the tray's tooltip and the log line of an outage's
// start: "Sin respuesta del controlador desde las 14:32:05".
QString OutageText(const QDateTime& since);
// The log line of an outage's end, with its length.
QString OutageEndedText(qint64 lengthMs);
// What a stale tile says under its status: "sin respuesta · hace 12 s", or
// only "sin respuesta" when the pump has not answered since the start.
QString StaleText(const std::optional<QDateTime>& lastAnswer, const QDateTime& now);

} // namespace veltrane::monitor
