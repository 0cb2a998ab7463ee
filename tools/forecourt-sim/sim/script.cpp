#include "sim/script.h"

namespace veltrane::sim {

void ScriptBook::setStatuses(int pump, const QStringList& statuses)
{
    QMutexLocker lock(&FMutex);
    if (statuses.isEmpty()) {
        FStatuses.remove(pump);
    } else {
        FStatuses.insert(pump, statuses);
    }
}

void ScriptBook::setSales(int pump, const QList<Sale>& sales)
{
    QMutexLocker lock(&FMutex);
    if (sales.isEmpty()) {
        FSales.remove(pump);
    } else {
        FSales.insert(pump, sales);
    }
}

void ScriptBook::setSilent(int pump, bool silent)
{
    QMutexLocker lock(&FMutex);
    FSilent.removeAll(pump);
    if (silent) {
        FSilent.append(pump);
    }
}

void ScriptBook::addReplyActions(const QString& requestName, int pump,
                                 const QList<ReplyAction>& actions)
{
    QMutexLocker lock(&FMutex);
    if (!actions.isEmpty()) {
        FActions.append({requestName, pump, actions});
    }
}

void ScriptBook::clear()
{
    QMutexLocker lock(&FMutex);
    FStatuses.clear();
    FSales.clear();
    FSilent.clear();
    FActions.clear();
}

std::optional<QString> ScriptBook::nextStatus(int pump)
{
    QMutexLocker lock(&FMutex);
    const auto it = FStatuses.find(pump);
    if (it == FStatuses.end()) {
        return std::nullopt;
    }
    return it->size() > 1 ? it->takeFirst() : it->first();
}

std::optional<Sale> ScriptBook::nextSale(int pump)
{
    QMutexLocker lock(&FMutex);
    const auto it = FSales.find(pump);
    if (it == FSales.end()) {
        return std::nullopt;
    }
    return it->size() > 1 ? it->takeFirst() : it->first();
}

bool ScriptBook::isSilent(int pump) const
{
    QMutexLocker lock(&FMutex);
    return pump != 0 && FSilent.contains(pump);
}

std::optional<ReplyAction> ScriptBook::nextAction(const QString& requestName, int pump)
{
    QMutexLocker lock(&FMutex);
    for (qsizetype i = 0; i < FActions.size(); ++i) {
        Actions& a = FActions[i];
        if ((a.requestName.isEmpty() || a.requestName == requestName) &&
            (a.pump == 0 || a.pump == pump)) {
            ReplyAction action = a.queue.takeFirst();
            if (a.queue.isEmpty()) {
                FActions.removeAt(i);
            }
            return action;
        }
    }
    return std::nullopt;
}

} // namespace veltrane::sim
