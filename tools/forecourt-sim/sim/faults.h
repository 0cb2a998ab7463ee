#pragma once

#include "sim/protocol.h"
#include "sim/pump_model.h"
#include "sim/reply_plan.h"

#include <QStringList>

#include <random>

namespace veltrane::sim {

// Faults the stand-in can inject. Rates are per reply, 0..1; each is drawn
// independently. Of the faults that replace the reply (silent, close, reset,
// garbage) the first that hits, in that order, wins; the others (STI1 first,
// late, split, twice) can all apply together. High bytes are drawn per sale,
// not per reply: a controller sends the same text in every reply of a sale.
struct FaultSettings
{
    double late = 0;      // reply after its window (see WindowMs) plus lateMarginMs
    double split = 0;     // reply in splitPieces pieces, splitPauseMs apart
    double close = 0;     // close the connection instead of replying
    double reset = 0;     // reset the connection (SO_LINGER 0) instead of replying
    double silent = 0;    // no reply at all
    double garbage = 0;   // random bytes (0..255) in place of the reply
    double highBytes = 0; // sales whose text carries accented letters (bytes 128..255)
    double stiFirst = 0;  // STI1 ahead of TI1 in sales replies
    double twice = 0;     // the reply sent twice

    int lateMarginMs = 250;
    int splitPieces = 3;
    int splitPauseMs = 100;

    // Refuse connections (stop listening) for refuseForMs every refuseEveryMs.
    int refuseEveryMs = 0;
    int refuseForMs = 2000;
    // Drop every connection every restartEveryMs, then refuse for restartDownMs.
    int restartEveryMs = 0;
    int restartDownMs = 0;

    // Which requests the per-reply faults touch: a mask of RequestClass.
    int appliesTo = int(RequestClass::Status) | int(RequestClass::Sales) |
                    int(RequestClass::Command) | int(RequestClass::Other);
};

// How long the program waits for each kind of reply: status 50 ms pause +
// 500 ms wait; sales 150 + 800; commands a 100 ms pause.
int WindowMs(RequestClass requestClass);

struct FaultDecision
{
    ReplyAction action;
    QStringList names; // the faults applied, for the record
    bool stiFirst = false;
};

class FaultPlanner
{
public:
    FaultPlanner(FaultSettings settings, quint64 seed);

    const FaultSettings& settings() const { return FSettings; }
    FaultDecision decide(RequestClass requestClass);
    // Random cut offsets for a split reply of size bytes.
    QList<qsizetype> cuts(qsizetype size, int pieces);
    // Whether a sale's text carries accented letters, and which: drawn from
    // the seed and the sale itself, so that every reply of the sale is the
    // same. 0 for none, else a number to pick the texts by.
    quint64 accents(const Sale& sale) const;

private:
    bool hit(double rate);

    FaultSettings FSettings;
    quint64 FSeed;
    std::mt19937_64 FRng;
};

} // namespace veltrane::sim
