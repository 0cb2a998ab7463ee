#include "sim/pump_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace veltrane::sim {
namespace {

QString litres(qint64 ml)
{
    return QString::number(ml / 1000) + u'.' +
           QString::number(ml % 1000).rightJustified(3, QLatin1Char('0'));
}

QString money(qint64 cents)
{
    return QString::number(cents / 100) + u'.' +
           QString::number(cents % 100).rightJustified(2, QLatin1Char('0'));
}

// Price text to cents; nullopt when it is not a price the controller takes.
std::optional<qint64> parsePrice(QStringView text)
{
    qint64 whole = 0;
    qint64 fraction = 0;
    int decimals = -1; // -1: no decimal mark yet
    int digits = 0;
    for (const QChar ch : text) {
        if (ch == u'.' || ch == u',') {
            if (decimals >= 0) {
                return std::nullopt;
            }
            decimals = 0;
        } else if (ch >= u'0' && ch <= u'9') {
            const int d = ch.unicode() - u'0';
            ++digits;
            if (decimals >= 0) {
                if (++decimals > 2) {
                    return std::nullopt;
                }
                fraction = fraction * 10 + d;
            } else {
                whole = whole * 10 + d;
                if (whole >= 100000) {
                    return std::nullopt;
                }
            }
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    const qint64 cents = whole * 100 + (decimals == 1 ? fraction * 10 : fraction);
    if (cents <= 0) {
        return std::nullopt;
    }
    return cents;
}

QList<int> hosesOfPump(int pump)
{
    if (pump <= 10) {
        return {6, 3, 7};
    }
    if (pump <= 16) {
        return {6, 9, 8};
    }
    return {7, 8}; // truck lanes
}

} // namespace

QString StatusText(PumpState state)
{
    switch (state) {
    case PumpState::Idle:
        return u"IDLE"_s;
    case PumpState::Calling:
        return u"CALLING"_s;
    case PumpState::Authorized:
        return u"AUTHORIZED"_s;
    case PumpState::Fuelling:
        return u"FUELLING"_s;
    case PumpState::Closed:
        return u"CLOSED"_s;
    }
    return u"UNKNOWN"_s;
}

Fields Sale::fields(bool stiFirst) const
{
    Fields out;
    out.append({u"SA1"_s, sa1});
    if (stiFirst) {
        out.append({u"STI1"_s, sti1});
        out.append({u"TI1"_s, ti1});
        out.append({u"DA1"_s, da1});
    } else {
        out.append({u"TI1"_s, ti1});
        out.append({u"DA1"_s, da1});
        out.append({u"STI1"_s, sti1});
    }
    out.append({u"PM"_s, pm});
    out.append({u"HO1"_s, ho1});
    out.append({u"GR1"_s, gr1});
    out.append({u"VO1"_s, vo1});
    out.append({u"PU1"_s, pu1});
    out.append({u"AM1"_s, am1});
    out.append({u"IV1"_s, iv1});
    out.append({u"FV1"_s, fv1});
    out.append({u"AVGTM1"_s, avgtm1});
    if (!ope1.isEmpty()) {
        out.append({u"OPE1"_s, ope1});
    }
    out.append({u"PAY_TY1"_s, payTy1});
    return out;
}

Sale SampleSale(int pump, int number)
{
    Sale s;
    s.sa1 = QString::number(1000 + number);
    s.ti1 = QString::number(number);
    s.da1 = u"20240131"_s;
    s.sti1 = u"143005"_s;
    s.pm = QString::number(pump);
    s.ho1 = u"1"_s;
    s.gr1 = u"6"_s;
    s.vo1 = u"25.500"_s;
    s.pu1 = u"745.50"_s;
    s.am1 = u"19010.25"_s;
    s.iv1 = u"123456.789"_s;
    s.fv1 = u"123482.289"_s;
    s.avgtm1 = u"21.5"_s;
    s.payTy1 = u"EFECTIVO"_s;
    return s;
}

PumpModel::PumpModel(ModelSettings settings)
    : FSettings(std::move(settings)),
      FStartWall(FSettings.startWall.isValid() ? FSettings.startWall
                                               : QDateTime::currentDateTime()),
      FNextSaleId(FSettings.firstSaleId)
{
    for (int n = 1; n <= kPumps; ++n) {
        Pump& p = pumpAt(n);
        std::seed_seq seq{quint32(FSettings.seed), quint32(FSettings.seed >> 32), quint32(n)};
        p.rng.seed(seq);
        p.hoseGrades = hosesOfPump(n);
        for (qsizetype h = 0; h < p.hoseGrades.size(); ++h) {
            p.totalizersMl.append(uniform(p, 100'000'000, 900'000'000));
        }
        for (const Grade& g : kGrades) {
            p.cents[g.code] = g.defaultCents;
        }
        scheduleCall(n);
    }
}

PumpModel::Pump& PumpModel::pumpAt(int pump)
{
    if (pump < 1 || pump > kPumps) {
        throw std::out_of_range("pump number");
    }
    return FPumps[std::size_t(pump - 1)];
}

const PumpModel::Pump& PumpModel::pumpAt(int pump) const
{
    return const_cast<PumpModel*>(this)->pumpAt(pump);
}

qint64 PumpModel::uniform(Pump& p, qint64 lo, qint64 hi)
{
    return std::uniform_int_distribution<qint64>(lo, hi)(p.rng);
}

void PumpModel::scheduleCall(int pump)
{
    Pump& p = pumpAt(pump);
    if (!FSettings.randomCalls) {
        p.nextAt = -1;
        return;
    }
    std::exponential_distribution<double> wait(1.0 /
                                               double(std::max<qint64>(1, FSettings.meanIdleMs)));
    p.nextAt = FNow + 1 + qint64(wait(p.rng));
}

qint64 PumpModel::nextTransition() const
{
    qint64 best = -1;
    for (const Pump& p : FPumps) {
        if (p.nextAt >= 0 && (best < 0 || p.nextAt < best)) {
            best = p.nextAt;
        }
    }
    return best;
}

void PumpModel::advanceTo(qint64 modelMs)
{
    while (true) {
        int due = 0;
        qint64 dueAt = -1;
        for (int n = 1; n <= kPumps; ++n) {
            const qint64 at = pumpAt(n).nextAt;
            if (at >= 0 && at <= modelMs && (dueAt < 0 || at < dueAt)) {
                due = n;
                dueAt = at;
            }
        }
        if (due == 0) {
            break;
        }
        FNow = std::max(FNow, dueAt);
        pumpAt(due).nextAt = -1;
        fire(due);
    }
    FNow = std::max(FNow, modelMs);
}

void PumpModel::fire(int pump)
{
    Pump& p = pumpAt(pump);
    switch (p.state) {
    case PumpState::Idle:
        liftNozzle(pump);
        break;
    case PumpState::Calling:
        setState(pump, PumpState::Idle, u"call_timeout"_s);
        scheduleCall(pump);
        break;
    case PumpState::Authorized: {
        p.fuelStart = FNow;
        p.flowMlPerS = uniform(p, 400, 700);
        p.targetMl = uniform(p, 5'000, 60'000);
        p.saleCents = p.cents[p.hoseGrades[p.hose - 1]];
        // Rounded up so the whole target has flowed when the sale ends.
        p.nextAt = FNow + (p.targetMl * 1000 + p.flowMlPerS - 1) / p.flowMlPerS;
        setState(pump, PumpState::Fuelling, u"fuel_start"_s);
        break;
    }
    case PumpState::Fuelling:
        finishSale(pump, p.targetMl);
        setState(pump, PumpState::Idle, u"fuel_end"_s);
        scheduleCall(pump);
        break;
    case PumpState::Closed:
        break;
    }
}

void PumpModel::setState(int pump, PumpState to, const QString& cause)
{
    Pump& p = pumpAt(pump);
    const PumpState from = p.state;
    p.state = to;
    if (FListener && from != to) {
        ModelEvent e;
        e.kind = ModelEvent::Kind::StatusChanged;
        e.modelMs = FNow;
        e.pump = pump;
        e.from = StatusText(from);
        e.to = StatusText(to);
        e.cause = cause;
        FListener(e);
    }
}

void PumpModel::finishSale(int pump, qint64 volumeMl)
{
    Pump& p = pumpAt(pump);
    const int grade = p.hoseGrades[p.hose - 1];
    qint64& totalizer = p.totalizersMl[p.hose - 1];
    const QDateTime end = FStartWall.addMSecs(FNow);
    // Amount rounded half up to cents.
    const qint64 amountCents = (volumeMl * p.saleCents + 500) / 1000;
    Sale s;
    s.sa1 = QString::number(FNextSaleId++);
    s.ti1 = QString::number(++p.saleCount);
    s.da1 = end.toString(u"yyyyMMdd"_s);
    s.sti1 = end.toString(u"HHmmss"_s);
    s.pm = QString::number(pump);
    s.ho1 = QString::number(p.hose);
    s.gr1 = QString::number(grade);
    s.vo1 = litres(volumeMl);
    s.pu1 = money(p.saleCents);
    s.am1 = money(amountCents);
    s.iv1 = litres(totalizer);
    totalizer += volumeMl;
    s.fv1 = litres(totalizer);
    const qint64 tenths = uniform(p, 150, 320);
    s.avgtm1 = QString::number(tenths / 10) + u'.' + QString::number(tenths % 10);
    const qint64 pay = uniform(p, 1, 100);
    s.payTy1 = pay <= 55   ? u"EFECTIVO"_s
               : pay <= 85 ? u"TARJETA"_s
               : pay <= 93 ? u"CREDITO"_s
               : pay <= 98 ? u"FLOTA"_s
                           : u"0"_s;
    p.lastSale = s;
    if (FListener) {
        ModelEvent e;
        e.kind = ModelEvent::Kind::SaleCompleted;
        e.modelMs = FNow;
        e.pump = pump;
        e.sale = s;
        FListener(e);
    }
}

PumpState PumpModel::state(int pump) const
{
    return pumpAt(pump).state;
}

std::optional<Sale> PumpModel::lastSale(int pump) const
{
    return pumpAt(pump).lastSale;
}

qint64 PumpModel::priceCents(int pump, int grade) const
{
    const auto& cents = pumpAt(pump).cents;
    const auto it = cents.find(grade);
    return it == cents.end() ? 0 : it->second;
}

qint64 PumpModel::deliveredMl(int pump) const
{
    const Pump& p = pumpAt(pump);
    if (p.state != PumpState::Fuelling) {
        return 0;
    }
    return std::min(p.targetMl, (FNow - p.fuelStart) * p.flowMlPerS / 1000);
}

QList<int> PumpModel::hoseGrades(int pump) const
{
    return pumpAt(pump).hoseGrades;
}

qint64 PumpModel::totalizerMl(int pump, int hose) const
{
    return pumpAt(pump).totalizersMl.value(hose - 1);
}

bool PumpModel::liftNozzle(int pump)
{
    Pump& p = pumpAt(pump);
    if (p.state != PumpState::Idle) {
        return false;
    }
    p.hose = int(uniform(p, 1, p.hoseGrades.size()));
    p.nextAt = FNow + FSettings.callTimeoutMs;
    setState(pump, PumpState::Calling, u"nozzle"_s);
    return true;
}

QString PumpModel::authorize(int pump)
{
    Pump& p = pumpAt(pump);
    switch (p.state) {
    case PumpState::Calling:
        p.nextAt = FNow + uniform(p, 1000, 3000); // customer starts fuelling
        setState(pump, PumpState::Authorized, u"authorize"_s);
        return u"OK"_s;
    case PumpState::Authorized:
    case PumpState::Fuelling:
        return u"OK"_s; // already under way
    case PumpState::Idle:
    case PumpState::Closed:
        break;
    }
    return u"ERR_STATE"_s;
}

QString PumpModel::stop(int pump)
{
    Pump& p = pumpAt(pump);
    if (p.state == PumpState::Fuelling) {
        const qint64 delivered = deliveredMl(pump);
        if (delivered > 0) {
            finishSale(pump, delivered);
        }
    }
    p.nextAt = -1;
    setState(pump, PumpState::Closed, u"stop"_s);
    return u"OK"_s;
}

QString PumpModel::resume(int pump)
{
    if (pumpAt(pump).state != PumpState::Closed) {
        return u"OK"_s;
    }
    setState(pump, PumpState::Idle, u"resume"_s);
    scheduleCall(pump);
    return u"OK"_s;
}

QString PumpModel::changePrices(int pump, const Fields& prices, QString* badKey)
{
    Pump& p = pumpAt(pump);
    std::map<int, qint64> updated = p.cents;
    for (const auto& [key, value] : prices) {
        // Copied: clang before 16 cannot capture a structured binding.
        const auto grade = std::find_if(kGrades.begin(), kGrades.end(),
                                        [&key = key](const Grade& g) { return key == g.priceKey; });
        if (grade == kGrades.end() || value.isEmpty()) {
            continue;
        }
        const auto cents = parsePrice(value);
        if (!cents) {
            if (badKey) {
                *badKey = key;
            }
            return u"ERR_PRICE"_s;
        }
        updated[grade->code] = *cents;
    }
    p.cents = std::move(updated);
    return u"OK"_s;
}

} // namespace veltrane::sim
