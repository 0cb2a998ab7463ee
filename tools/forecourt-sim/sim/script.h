#pragma once

#include "sim/pump_model.h"
#include "sim/reply_plan.h"

#include <QHash>
#include <QMutex>
#include <QStringList>

#include <optional>

namespace veltrane::sim {

// Scripted answers that take precedence over the pump model and over fault
// injection. Filled from any thread (a test), read on the engine's thread.
//
// - Statuses and sales: each request for that pump takes the next entry; the
//   last entry then stays (a pump keeps its last status).
// - Reply actions: each matching request takes the next action once; when
//   they are used up the request is answered normally again.
// - A silent pump gets no reply to any request naming it.
class ScriptBook
{
public:
    void setStatuses(int pump, const QStringList& statuses);
    void setSales(int pump, const QList<Sale>& sales);
    void setSilent(int pump, bool silent);
    // requestName empty: any request; pump 0: any pump (and none).
    void addReplyActions(const QString& requestName, int pump, const QList<ReplyAction>& actions);
    void clear();

    std::optional<QString> nextStatus(int pump);
    std::optional<Sale> nextSale(int pump);
    bool isSilent(int pump) const;
    std::optional<ReplyAction> nextAction(const QString& requestName, int pump);

private:
    struct Actions
    {
        QString requestName;
        int pump = 0;
        QList<ReplyAction> queue;
    };

    mutable QMutex FMutex;
    QHash<int, QStringList> FStatuses;
    QHash<int, QList<Sale>> FSales;
    QList<int> FSilent;
    QList<Actions> FActions; // in the order they were added
};

} // namespace veltrane::sim
