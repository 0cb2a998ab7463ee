// One sale row from any reply text (as the connection decodes it): never a
// line break inside the row, the row starts with its "ID Venta" and its
// "# de Venta", and the duplicate test of the same reply finds it, in every
// encoding the file can have.
#include "fuzz_support.h"
#include "link/wire.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "text/text_lines.h"

using namespace Qt::StringLiterals;
using veltrane::fuzzing::Bytes;
using veltrane::fuzzing::NullLog;
using namespace veltrane::sales;
using namespace veltrane::text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static ProductMap names;
    static ProductMap id2;
    static const bool once = [] {
        SetBuiltInProducts(names, id2);
        return true;
    }();
    (void)once;
    NullLog log;
    const QString reply = veltrane::link::DecodeWireText(Bytes(data, size));
    const QString row = BuildSaleRow(reply, names, id2, log);
    FUZZ_CHECK(!row.contains(u'\r') && !row.contains(u'\n'));
    const QString prefix = SaleField(reply, u"SA1") + u',' + SaleField(reply, u"TI1") + u',';
    FUZZ_CHECK(row.startsWith(prefix));
    // 19 columns at least: the values' own commas can only add pieces.
    FUZZ_CHECK(row.count(u',') >= 18);
    FUZZ_CHECK(row.endsWith(PaymentTypesOf(SaleField(reply, u"PAY_TY1")).tipoPago));
    for (const auto encoding : {TextEncoding::Ansi, TextEncoding::Utf8Bom, TextEncoding::Utf16LE,
                                TextEncoding::Utf16BE}) {
        const QString stored = DecodeTextLines(EncodeTextLines({row}, encoding)).lines.value(0);
        FUZZ_CHECK(SaleKey(reply, encoding).recordedBy(stored));
    }
    return 0;
}
