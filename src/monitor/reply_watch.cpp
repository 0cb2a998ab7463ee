#include "monitor/reply_watch.h"

#include "core/failure.h"

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace veltrane::monitor {

ReplyWatch::ReplyWatch(int pumpCount, Clock clock)
    : FStale(pumpCount, false), FLastAnswer(pumpCount)
{
    SetClock(std::move(clock));
}

void ReplyWatch::SetClock(Clock clock)
{
    FClock = clock ? std::move(clock) : Clock(&QDateTime::currentDateTime);
}

QDateTime ReplyWatch::Now() const
{
    return FClock();
}

void ReplyWatch::Start()
{
    FRunning = true;
    FInOutage = false;
    FSilentSince = Now();
    std::fill(FStale.begin(), FStale.end(), false);
}

void ReplyWatch::Stop()
{
    FRunning = false;
    FInOutage = false;
    std::fill(FStale.begin(), FStale.end(), false);
}

ReplyWatch::Change ReplyWatch::NoteAnswer(int pump)
{
    const qsizetype i = index(pump);
    const QDateTime now = Now();
    FLastAnswer[i] = now;
    if (!FRunning) {
        return Change::None;
    }
    FStale[i] = false;
    const bool ended = FInOutage;
    if (ended) {
        FLastOutageMs = std::max<qint64>(0, FSilentSince.msecsTo(now));
        FInOutage = false;
    }
    FSilentSince = now;
    return ended ? Change::OutageEnded : Change::None;
}

ReplyWatch::Change ReplyWatch::NoteSilence(int pump)
{
    const qsizetype i = index(pump);
    if (!FRunning) {
        return Change::None;
    }
    FStale[i] = true;
    return startOutageIfDue();
}

ReplyWatch::Change ReplyWatch::Check()
{
    return FRunning ? startOutageIfDue() : Change::None;
}

bool ReplyWatch::Stale(int pump) const
{
    return FStale[index(pump)];
}

std::optional<QDateTime> ReplyWatch::LastAnswer(int pump) const
{
    return FLastAnswer[index(pump)];
}

qsizetype ReplyWatch::index(int pump) const
{
    if (pump < 1 || pump > FStale.size()) {
        throw Failure(
            u"Índice fuera de rango: %1 (válido de 1 a %2)"_s.arg(pump).arg(FStale.size()));
    }
    return pump - 1;
}

ReplyWatch::Change ReplyWatch::startOutageIfDue()
{
    // A clock set back makes the silence look shorter, never negative.
    if (FInOutage || FSilentSince.msecsTo(Now()) < kOutageAfterMs) {
        return Change::None;
    }
    FInOutage = true;
    return Change::OutageStarted;
}

QString DurationText(qint64 ms)
{
    if (ms < 1000) {
        return u"menos de 1 s"_s;
    }
    const qint64 seconds = ms / 1000;
    if (seconds < 60) {
        return u"%1 s"_s.arg(seconds);
    }
    if (seconds < 3600) {
        return u"%1 min %2 s"_s.arg(seconds / 60).arg(seconds % 60, 2, 10, QChar(u'0'));
    }
    return u"%1 h %2 min"_s.arg(seconds / 3600).arg(seconds / 60 % 60, 2, 10, QChar(u'0'));
}

QString OutageText(const QDateTime& since)
{
    return u"Sin respuesta del controlador desde las "_s + since.toString(u"HH:mm:ss"_s);
}

QString OutageEndedText(qint64 lengthMs)
{
    return u"El controlador responde de nuevo tras "_s + DurationText(lengthMs) +
           u" sin respuesta"_s;
}

QString StaleText(const std::optional<QDateTime>& lastAnswer, const QDateTime& now)
{
    if (!lastAnswer) {
        return u"sin respuesta"_s;
    }
    return u"sin respuesta · hace "_s + DurationText(std::max<qint64>(0, lastAnswer->msecsTo(now)));
}

} // namespace veltrane::monitor
