#pragma once

#include "sim/protocol.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <random>

namespace veltrane::sim {

// A pump's status as the controller reports it after "PS=" (at most 10 characters).
enum class PumpState
{
    Idle,
    Calling,
    Authorized,
    Fuelling,
    Closed
};
QString StatusText(PumpState state);

// One sale as the sales reply carries it: every field is text, so a test can
// also script values the model would never produce.
struct Sale
{
    QString sa1;    // sale ID, unique across the station
    QString ti1;    // sale number of this pump (empty: no sale)
    QString da1;    // end date yyyymmdd
    QString sti1;   // end time hhmmss
    QString pm;     // pump, plain decimal
    QString ho1;    // hose
    QString gr1;    // grade (product code)
    QString vo1;    // volume, litres with 3 decimals
    QString pu1;    // unit price, 2 decimals
    QString am1;    // amount, 2 decimals
    QString iv1;    // hose totalizer before the sale, litres with 3 decimals
    QString fv1;    // hose totalizer after the sale
    QString avgtm1; // mean temperature, 1 decimal
    QString payTy1; // payment type: EFECTIVO, TARJETA, CREDITO, FLOTA or 0
    QString ope1;   // operator's name, a field the program reads nothing from; sent when set

    // The fields in reply order; stiFirst moves STI1 ahead of TI1.
    Fields fields(bool stiFirst = false) const;
    bool operator==(const Sale&) const = default;
};

// A filled-in sale for tests and scripts: ID 1000 + number, grade 6.
Sale SampleSale(int pump, int number);

// Grades the pumps sell and the price-change key of each. KR (kerosene) is
// accepted and kept but no hose sells it.
struct Grade
{
    int code;
    const char16_t* priceKey;
    qint64 defaultCents;
};
inline constexpr std::array<Grade, 6> kGrades = {{
    {3, u"GP", 81200}, // Gasolina Excellium (premium)
    {6, u"GR", 74550}, // Gasolina Regular
    {8, u"DP", 73100}, // Diesel Excellium (premium)
    {7, u"DR", 68900}, // Diesel Regular
    {0, u"KR", 59000}, // kerosene: kept, not sold
    {9, u"RC", 90500}, // Gasolina Racing X
}};

struct ModelSettings
{
    quint64 seed = 1;
    bool randomCalls = true;      // pumps lift their nozzle by themselves
    qint64 meanIdleMs = 60000;    // mean time a pump stays IDLE before calling
    qint64 callTimeoutMs = 30000; // a CALLING pump not authorized gives up
    qint64 firstSaleId = 100001;  // SA1 of the first sale of the station
    QDateTime startWall;          // model time 0 (for DA1/STI1); now when invalid
};

struct ModelEvent
{
    enum class Kind
    {
        StatusChanged,
        SaleCompleted
    };
    Kind kind = Kind::StatusChanged;
    qint64 modelMs = 0;
    int pump = 0;
    QString from, to; // StatusChanged
    QString cause;    // nozzle, call_timeout, authorize, fuel_start, fuel_end, stop, resume
    Sale sale;        // SaleCompleted
};

// Twenty pumps that call, wait for authorization, fuel and sell. Time is the
// model's own (milliseconds from 0), moved on only by advanceTo, so the model
// can run at any speed or be stepped by a test. Transitions happen at exact
// model times whatever the step size. Each pump draws from its own random
// stream, so one pump's traffic never changes another pump's future.
class PumpModel
{
public:
    static constexpr int kPumps = 20;

    explicit PumpModel(ModelSettings settings);

    using Listener = std::function<void(const ModelEvent&)>;
    void setListener(Listener listener) { FListener = std::move(listener); }

    void advanceTo(qint64 modelMs);
    qint64 now() const { return FNow; }
    // Model time of the next transition, or -1 when none is due.
    qint64 nextTransition() const;

    PumpState state(int pump) const;
    QString status(int pump) const { return StatusText(state(pump)); }
    std::optional<Sale> lastSale(int pump) const;
    qint64 priceCents(int pump, int grade) const;
    // Litres delivered so far in the current fuelling, in millilitres.
    qint64 deliveredMl(int pump) const;
    QList<int> hoseGrades(int pump) const;
    qint64 totalizerMl(int pump, int hose) const;

    // Commands at the current model time. Each returns the reply code: "OK"
    // or an error code (ERR_STATE when the pump cannot do it now).
    QString authorize(int pump);
    QString stop(int pump);   // closes; a fuelling pump ends its sale first
    QString resume(int pump); // opens a closed pump
    // key -> price text for GP, GR, DP, DR, KR, RC. An empty text keeps that
    // price. Accepted: digits with at most one "." or "," and at most 2
    // decimals, above 0 and below 100000. All or nothing: ERR_PRICE when any
    // value is bad. Prices apply from the next fuelling on.
    QString changePrices(int pump, const Fields& prices, QString* badKey = nullptr);
    // The nozzle is lifted now (IDLE only): the pump starts CALLING.
    bool liftNozzle(int pump);

private:
    struct Pump
    {
        PumpState state = PumpState::Idle;
        qint64 nextAt = -1; // model time of the pending transition
        std::mt19937_64 rng;
        QList<int> hoseGrades;
        QList<qint64> totalizersMl;
        std::map<int, qint64> cents; // grade -> price
        int hose = 1;                // 1-based, of the current call
        qint64 fuelStart = 0;
        qint64 flowMlPerS = 0;
        qint64 targetMl = 0;
        qint64 saleCents = 0; // price fixed when fuelling starts
        int saleCount = 0;
        std::optional<Sale> lastSale;
    };

    Pump& pumpAt(int pump);
    const Pump& pumpAt(int pump) const;
    void fire(int pump);
    void setState(int pump, PumpState to, const QString& cause);
    void scheduleCall(int pump);
    void finishSale(int pump, qint64 volumeMl);
    qint64 uniform(Pump& p, qint64 lo, qint64 hi);

    ModelSettings FSettings;
    QDateTime FStartWall;
    qint64 FNow = 0;
    qint64 FNextSaleId;
    std::array<Pump, kPumps> FPumps;
    Listener FListener;
};

} // namespace veltrane::sim
