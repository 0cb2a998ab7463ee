// The reply text as the connection makes it (7-bit ASCII, bytes above 127 as
// U+FFFD), every field the program reads from it, the pump status and the
// pump state file built from that status.
#include "fuzz_support.h"
#include "link/wire.h"
#include "monitor/pump_state_file.h"

#include <QStringList>

using namespace Qt::StringLiterals;
using veltrane::fuzzing::Bytes;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView bytes = Bytes(data, size);
    const QString reply = veltrane::link::DecodeWireText(bytes);
    FUZZ_CHECK(reply.size() == bytes.size());
    for (qsizetype i = 0; i < reply.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        FUZZ_CHECK(reply.at(i).unicode() == (b <= 127 ? b : 0xFFFD));
    }
    // Back to the wire: every character up to 127 as itself, U+FFFD as "?".
    const QByteArray again = veltrane::link::EncodeWireText(reply);
    FUZZ_CHECK(again.size() == bytes.size());

    static const QStringList keys = {u"SA1"_s, u"TI1"_s, u"DA1"_s,    u"STI1"_s,    u"PM"_s,
                                     u"HO1"_s, u"GR1"_s, u"VO1"_s,    u"PU1"_s,     u"AM1"_s,
                                     u"IV1"_s, u"FV1"_s, u"AVGTM1"_s, u"PAY_TY1"_s, u"RC"_s};
    // A field starts at the reply's start or right after a "|": the value is
    // the rest of the first field that begins with "key=", or empty when none
    // does. A "key=" inside another field ("xSA1=") is never read.
    const QStringList fields = reply.split(u'|');
    for (const QString& key : keys) {
        const QString value = veltrane::link::ExtractFieldValue(reply, key);
        const QString prefix = key + u'=';
        QString expected;
        for (const QString& field : fields) {
            if (field.startsWith(prefix)) {
                expected = field.sliced(prefix.size());
                break;
            }
        }
        FUZZ_CHECK(value == expected);
    }

    const QString status = veltrane::link::ExtractPumpStatus(reply, u"PS=");
    if (!reply.contains(u"PS="_s)) {
        FUZZ_CHECK(status == u"UNKNOWN"_s);
    } else {
        FUZZ_CHECK(status.size() <= 10);
        FUZZ_CHECK(!status.contains(u'|'));
        FUZZ_CHECK(reply.contains(QString(u"PS="_s + status)));
    }

    // Whatever the status holds, the state file keeps one line per pump.
    QStringList statuses(20, status);
    const QByteArray file = veltrane::monitor::FormatPumpStates(statuses);
    FUZZ_CHECK(file.count("\r\n") == 20);
    FUZZ_CHECK(file.count('\n') == 20);
    FUZZ_CHECK(file.count('\r') == 20);
    FUZZ_CHECK(file.startsWith("1=") && file.endsWith("\r\n"));
    return 0;
}
