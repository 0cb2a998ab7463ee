// forecourt-sim: a stand-in forecourt controller for development, tests,
// demos and benchmarks. The work is done by the engine library; this file
// reads the command line, wires the record and ends the run.

#include "close_message.h"
#include "core/termination_signals.h"
#include "sim/engine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <utility>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace Qt::StringLiterals;
using namespace veltrane::sim;

namespace {

// SIGTERM / SIGINT (Ctrl+C) end the run the same way --duration does; on
// Windows, the console's control events (Ctrl+C, Ctrl+Break, closing it) do.
#ifdef Q_OS_WIN
QObject* gSignalOwner = nullptr;
std::function<void()> gSignalHandler;

BOOL WINAPI onConsoleEvent(DWORD)
{
    QMetaObject::invokeMethod(
        gSignalOwner, [] { gSignalHandler(); }, Qt::QueuedConnection);
    return TRUE;
}

void onTerminationSignal(QObject* owner, std::function<void()> handler)
{
    gSignalOwner = owner;
    gSignalHandler = std::move(handler);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}
#else
void onTerminationSignal(QObject* owner, std::function<void()> handler)
{
    veltrane::OnTerminationSignals(owner, std::move(handler));
}
#endif

[[noreturn]] void failUsage(const QString& message)
{
    std::fprintf(stderr, "forecourt-sim: %s\n(ver --help)\n", qUtf8Printable(message));
    std::exit(1);
}

double readNumber(const QCommandLineParser& p, const QString& name, double lo, double hi,
                  double fallback)
{
    if (!p.isSet(name)) {
        return fallback;
    }
    bool ok = false;
    const double value = p.value(name).toDouble(&ok);
    if (!ok || value < lo || value > hi) {
        failUsage(u"--%1 espera un numero entre %2 y %3, no \"%4\""_s.arg(
            name, QString::number(lo), QString::number(hi), p.value(name)));
    }
    return value;
}

double readRate(const QCommandLineParser& p, const QString& name)
{
    return readNumber(p, name, 0.0, 1.0, 0.0);
}

int readMs(const QCommandLineParser& p, const QString& name, int fallback)
{
    return int(readNumber(p, name, 0, 86'400'000, fallback));
}

int secondsAsMs(const QCommandLineParser& p, const QString& name, int fallbackMs)
{
    return int(readNumber(p, name, 0, 86'400, fallbackMs / 1000.0) * 1000.0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"forecourt-sim"_s);
    QCoreApplication::setApplicationVersion(u"1.0"_s);

    QCommandLineParser p;
    p.setApplicationDescription(
        u"Controlador de surtidores simulado (stand-in) para desarrollo, pruebas y demos.\n"
        "\n"
        "Escucha por TCP y responde las tramas \"NNNNN|5|cuerpo\" del programa:\n"
        "  REQ_PUMP_STATUS     -> RES_PUMP_STATUS    RC=OK|PM=..|PS=<estado>\n"
        "  REQ_GET_PUMP_SALES  -> RES_GET_PUMP_SALES RC=OK|SA1..PAY_TY1 de la ultima venta\n"
        "                         (TI1 vacio si el surtidor aun no vendio)\n"
        "  REQ_AUTHORIZE, REQ_STOP, REQ_RESUME, REQ_PRICE_CHANGE actuan sobre el surtidor\n"
        "  y responden RC=OK o RC=ERR_PUMP / ERR_PRICE / ERR_STATE; otra cosa: RES_ERROR.\n"
        "Las respuestas van enmarcadas igual que las solicitudes, salvo que\n"
        "--reply-length, --no-caret o --field-order digan otra cosa.\n"
        "\n"
        "20 surtidores: IDLE -> CALLING (manguera levantada) -> AUTHORIZED (tras\n"
        "REQ_AUTHORIZE) -> FUELLING -> venta -> IDLE; sin autorizacion vuelve a IDLE;\n"
        "REQ_STOP -> CLOSED (si despachaba, registra la venta de lo despachado),\n"
        "REQ_RESUME -> IDLE. Productos 3, 6, 7, 8, 9; claves de precio GP=3, GR=6,\n"
        "DP=8, DR=7, RC=9, KR (kerosene) se guarda pero ninguna manguera lo vende.\n"
        "\n"
        "Con --speed solo el modelo de surtidores corre mas rapido; los tiempos de las\n"
        "respuestas (retrasos, pausas) son siempre reales. Las tasas de fallo van de\n"
        "0 a 1 por respuesta. Al arrancar escribe \"LISTENING <puerto>\" en la salida.\n"
        "El registro (--record) es un objeto JSON por linea; ver docs/forecourt-sim.md."_s);
    p.addHelpOption();
    p.addVersionOption();
    const QList<QCommandLineOption> options = {
        {u"listen"_s,
         u"Direccion y puerto de escucha (por defecto 127.0.0.1:3011; puerto 0 = "
         "uno libre)."_s,
         u"ADDR:PORT"_s},
        {u"seed"_s,
         u"Semilla: la misma semilla repite el mismo modelo y los mismos fallos "
         "(por defecto, al azar; se anota en el registro)."_s,
         u"N"_s},
        {u"speed"_s, u"El modelo de surtidores corre F veces mas rapido (por defecto 1)."_s,
         u"F"_s},
        {u"duration"_s, u"Terminar solo tras estos segundos."_s, u"SECONDS"_s},
        {u"record"_s, u"Registro de cada intercambio y evento, JSON por linea."_s, u"FILE"_s},
        {u"no-calls"_s, u"Los surtidores no llaman por si solos."_s},
        {u"mean-idle"_s, u"Segundos medios (modelo) en IDLE antes de llamar (60)."_s, u"SECONDS"_s},
        {u"call-timeout"_s,
         u"Segundos (modelo) que un surtidor en CALLING espera la "
         "autorizacion (30)."_s,
         u"SECONDS"_s},
        {u"first-sale-id"_s, u"SA1 de la primera venta de la estacion (100001)."_s, u"N"_s},
        {u"late"_s,
         u"Tasa de respuestas tardias: despues de su ventana (estado 550 ms, "
         "ventas 950 ms, comandos 100 ms) mas --late-margin-ms."_s,
         u"RATE"_s},
        {u"late-margin-ms"_s,
         u"Cuanto despues de la ventana llega una respuesta tardia "
         "(250)."_s,
         u"MS"_s},
        {u"split"_s, u"Tasa de respuestas partidas en trozos con pausas."_s, u"RATE"_s},
        {u"split-pieces"_s, u"Trozos de una respuesta partida (3)."_s, u"N"_s},
        {u"split-pause-ms"_s, u"Pausa entre trozos (100)."_s, u"MS"_s},
        {u"close"_s, u"Tasa de cierres de la conexion en lugar de responder."_s, u"RATE"_s},
        {u"reset"_s, u"Tasa de resets (SO_LINGER 0) en lugar de responder."_s, u"RATE"_s},
        {u"silent"_s, u"Tasa de solicitudes sin respuesta."_s, u"RATE"_s},
        {u"garbage"_s, u"Tasa de respuestas cambiadas por bytes al azar (0..255)."_s, u"RATE"_s},
        {u"high-bytes"_s,
         u"Tasa de ventas con texto acentuado (bytes 128..255, Latin-1) en el nombre "
         "del operador (OPE1) y en el tipo de pago con tilde; los mismos bytes en cada "
         "respuesta de la venta."_s,
         u"RATE"_s},
        {u"sti-first"_s, u"Tasa de respuestas de ventas con STI1 antes de TI1."_s, u"RATE"_s},
        {u"twice"_s, u"Tasa de respuestas enviadas dos veces."_s, u"RATE"_s},
        {u"refuse-every"_s,
         u"Cada tantos segundos deja de escuchar (conexiones "
         "rechazadas)..."_s,
         u"SECONDS"_s},
        {u"refuse-for"_s, u"...durante estos segundos (2)."_s, u"SECONDS"_s},
        {u"restart-every"_s,
         u"Cada tantos segundos corta todas las conexiones "
         "(reinicio)..."_s,
         u"SECONDS"_s},
        {u"restart-down"_s, u"...y rechaza conexiones estos segundos (0)."_s, u"SECONDS"_s},
        {u"reply-length"_s,
         u"Que cuenta la longitud de las respuestas: body (el cuerpo, como las "
         "solicitudes), message (el mensaje entero) o none (sin longitud) (body)."_s,
         u"MODE"_s},
        {u"no-caret"_s, u"Las respuestas terminan en \"||\", sin el \"^\" final."_s},
        {u"field-order"_s,
         u"Orden de los campos de cada respuesta: listed (el de la lista), reversed "
         "(al reves) o shuffled (al azar segun la semilla) (listed)."_s,
         u"MODE"_s},
        {u"faults-on"_s,
         u"A que solicitudes afectan las tasas: lista de status, sales, "
         "commands, other o all (all)."_s,
         u"LIST"_s},
    };
    p.addOptions(options);
    p.process(app);
    if (!p.positionalArguments().isEmpty()) {
        failUsage(u"argumento inesperado: "_s + p.positionalArguments().first());
    }

    EngineConfig config;
    if (p.isSet(u"listen"_s)) {
        const QString listen = p.value(u"listen"_s);
        const qsizetype colon = listen.lastIndexOf(u':');
        bool ok = false;
        const uint port = colon < 0 ? 0 : listen.sliced(colon + 1).toUInt(&ok);
        QString host = colon < 0 ? QString() : listen.first(colon);
        if (host.startsWith(u'[') && host.endsWith(u']')) {
            host = host.sliced(1, host.size() - 2);
        }
        if (!ok || port > 65535 || !config.address.setAddress(host)) {
            failUsage(u"--listen espera DIRECCION:PUERTO, no \""_s + listen + u'"');
        }
        config.port = quint16(port);
    }
    if (p.isSet(u"seed"_s)) {
        bool ok = false;
        config.seed = p.value(u"seed"_s).toULongLong(&ok);
        if (!ok) {
            failUsage(u"--seed espera un numero entero sin signo"_s);
        }
    } else {
        config.seed = QRandomGenerator::system()->generate64() >> 16;
    }
    config.speed = readNumber(p, u"speed"_s, 0.001, 1e6, 1.0);
    config.model.randomCalls = !p.isSet(u"no-calls"_s);
    config.model.meanIdleMs = qint64(readNumber(p, u"mean-idle"_s, 0.001, 1e7, 60) * 1000);
    config.model.callTimeoutMs = qint64(readNumber(p, u"call-timeout"_s, 0.001, 1e7, 30) * 1000);
    config.model.firstSaleId = qint64(readNumber(p, u"first-sale-id"_s, 0, 1e15, 100001));

    FaultSettings& f = config.faults;
    f.late = readRate(p, u"late"_s);
    f.lateMarginMs = readMs(p, u"late-margin-ms"_s, f.lateMarginMs);
    f.split = readRate(p, u"split"_s);
    f.splitPieces = int(readNumber(p, u"split-pieces"_s, 2, 1000, f.splitPieces));
    f.splitPauseMs = readMs(p, u"split-pause-ms"_s, f.splitPauseMs);
    f.close = readRate(p, u"close"_s);
    f.reset = readRate(p, u"reset"_s);
    f.silent = readRate(p, u"silent"_s);
    f.garbage = readRate(p, u"garbage"_s);
    f.highBytes = readRate(p, u"high-bytes"_s);
    f.stiFirst = readRate(p, u"sti-first"_s);
    f.twice = readRate(p, u"twice"_s);
    f.refuseEveryMs = secondsAsMs(p, u"refuse-every"_s, 0);
    f.refuseForMs = secondsAsMs(p, u"refuse-for"_s, f.refuseForMs);
    f.restartEveryMs = secondsAsMs(p, u"restart-every"_s, 0);
    f.restartDownMs = secondsAsMs(p, u"restart-down"_s, 0);
    if (p.isSet(u"faults-on"_s)) {
        f.appliesTo = 0;
        for (const QString& item : p.value(u"faults-on"_s).split(u',', Qt::SkipEmptyParts)) {
            const QString what = item.trimmed();
            if (what == u"status") {
                f.appliesTo |= int(RequestClass::Status);
            } else if (what == u"sales") {
                f.appliesTo |= int(RequestClass::Sales);
            } else if (what == u"commands") {
                f.appliesTo |= int(RequestClass::Command);
            } else if (what == u"other") {
                f.appliesTo |= int(RequestClass::Other);
            } else if (what == u"all") {
                f.appliesTo = ~0;
            } else {
                failUsage(u"--faults-on no conoce \""_s + what + u'"');
            }
        }
    }

    const auto choose = [&p](const QString& name, const QStringList& modes) {
        const QString mode = p.isSet(name) ? p.value(name) : modes.first();
        const qsizetype at = modes.indexOf(mode);
        if (at < 0) {
            failUsage(u"--%1 espera %2, no \"%3\""_s.arg(name, modes.join(u" | "_s), mode));
        }
        return at;
    };
    config.form.length =
        LengthCount(choose(u"reply-length"_s, {u"body"_s, u"message"_s, u"none"_s}));
    config.form.caret = !p.isSet(u"no-caret"_s);
    config.form.order =
        FieldOrder(choose(u"field-order"_s, {u"listed"_s, u"reversed"_s, u"shuffled"_s}));

    // The record outlives the engine, so the engine's last line ("stop") lands in it.
    JsonLinesRecord record;
    if (p.isSet(u"record"_s)) {
        const QString error = record.open(p.value(u"record"_s));
        if (!error.isEmpty()) {
            std::fprintf(stderr, "forecourt-sim: %s\n", qUtf8Printable(error));
            return 2;
        }
    }
    int exitCode = 0;
    {
        Engine engine(config);
        engine.addSink(&record);
        QString error;
        if (!engine.start(&error)) {
            std::fprintf(stderr, "forecourt-sim: %s\n", qUtf8Printable(error));
            return 2;
        }
        std::fprintf(stdout, "LISTENING %u\n", unsigned(engine.port()));
        std::fflush(stdout);
        std::fprintf(stderr, "forecourt-sim: escuchando en %s:%u, semilla %llu, velocidad %g\n",
                     qUtf8Printable(config.address.toString()), unsigned(engine.port()),
                     static_cast<unsigned long long>(config.seed), config.speed);

        auto finish = [&engine](const QString& reason) {
            engine.stop(reason);
            QCoreApplication::quit();
        };
        onTerminationSignal(&app, [finish] { finish(u"signal"_s); });
        forecourt_sim::OnCloseMessage(&app, [finish] { finish(u"signal"_s); });
        if (p.isSet(u"duration"_s)) {
            const double seconds = readNumber(p, u"duration"_s, 0, 1e7, 0);
            QTimer::singleShot(int(seconds * 1000), Qt::PreciseTimer, &app,
                               [finish] { finish(u"duration"_s); });
        }
        exitCode = QCoreApplication::exec();
        engine.stop(u"exit"_s);
    }
    record.close();
    return exitCode;
}
