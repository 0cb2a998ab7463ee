#include "sim/faults.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace veltrane::sim {

int WindowMs(RequestClass requestClass)
{
    switch (requestClass) {
    case RequestClass::Status:
        return 50 + 500;
    case RequestClass::Sales:
        return 150 + 800;
    case RequestClass::Command:
        return 100;
    case RequestClass::Other:
        break;
    }
    return 50 + 500;
}

FaultPlanner::FaultPlanner(FaultSettings settings, quint64 seed)
    : FSettings(settings), FSeed(seed), FRng(seed ^ 0x5eed'fa17'0000'0001ULL)
{
}

bool FaultPlanner::hit(double rate)
{
    if (rate <= 0) {
        return false;
    }
    return std::uniform_real_distribution<double>(0.0, 1.0)(FRng) < rate;
}

FaultDecision FaultPlanner::decide(RequestClass requestClass)
{
    FaultDecision d;
    if ((FSettings.appliesTo & int(requestClass)) == 0) {
        return d;
    }
    if (hit(FSettings.silent)) {
        d.action = ReplyAction::silence();
        d.names.append(u"silent"_s);
        return d;
    }
    if (hit(FSettings.close)) {
        d.action = ReplyAction::close();
        d.names.append(u"close"_s);
        return d;
    }
    if (hit(FSettings.reset)) {
        d.action = ReplyAction::reset();
        d.names.append(u"reset"_s);
        return d;
    }
    if (hit(FSettings.garbage)) {
        const int size = int(std::uniform_int_distribution<int>(8, 64)(FRng));
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& c : bytes) {
            c = char(std::uniform_int_distribution<int>(0, 255)(FRng));
        }
        d.action = ReplyAction::raw(bytes);
        d.names.append(u"garbage"_s);
    }
    if (requestClass == RequestClass::Sales && hit(FSettings.stiFirst)) {
        d.stiFirst = true;
        d.names.append(u"sti_first"_s);
    }
    if (hit(FSettings.late)) {
        d.action.delayMs = WindowMs(requestClass) + FSettings.lateMarginMs;
        d.names.append(u"late"_s);
    }
    if (hit(FSettings.split) && FSettings.splitPieces > 1) {
        d.action.pieces = FSettings.splitPieces;
        d.action.pauseMs = FSettings.splitPauseMs;
        d.names.append(u"split"_s);
    }
    if (hit(FSettings.twice)) {
        d.action.twice = true;
        d.names.append(u"twice"_s);
    }
    return d;
}

QList<qsizetype> FaultPlanner::cuts(qsizetype size, int pieces)
{
    QList<qsizetype> out;
    if (size < 2 || pieces < 2) {
        return out;
    }
    std::uniform_int_distribution<qsizetype> pick(1, size - 1);
    while (out.size() < std::min<qsizetype>(pieces - 1, size - 1)) {
        const qsizetype cut = pick(FRng);
        if (!out.contains(cut)) {
            out.append(cut);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

quint64 FaultPlanner::accents(const Sale& sale) const
{
    if (FSettings.highBytes <= 0 || (FSettings.appliesTo & int(RequestClass::Sales)) == 0 ||
        sale.ti1.isEmpty()) {
        return 0;
    }
    // splitmix64 over the seed and the fields that tell the sale.
    const auto mix = [](quint64 z) {
        z = (z ^ (z >> 30)) * 0xbf58'476d'1ce4'e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d0'49bb'1331'11ebULL;
        return z ^ (z >> 31);
    };
    quint64 h = mix(FSeed ^ 0xacce'0750'0000'0001ULL);
    for (const QString& text : {sale.sa1, sale.ti1, sale.pm}) {
        for (const QChar c : text) {
            h = mix(h + c.unicode());
        }
        h = mix(h + 0x7c);
    }
    const double draw = double(h >> 11) * 0x1.0p-53;
    return draw < FSettings.highBytes ? (h | 1) : 0;
}

} // namespace veltrane::sim
