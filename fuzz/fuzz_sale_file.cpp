// The sale record file: any existing file content and any reply. The call
// either leaves the file as it was (no sale number, sale already recorded) or
// writes it back with every earlier line as it was read, plus the header when
// there was none, plus exactly one row.
//
// Input: two bytes (little-endian) give how many of the following bytes are
// the existing file; the rest is the reply. A first byte with its low bit set
// and a length of zero means "no file".
#include "fuzz_support.h"
#include "link/wire.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "text/text_lines.h"

#include <QFile>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;
using veltrane::fuzzing::Bytes;
using veltrane::fuzzing::NullLog;
using namespace veltrane::sales;
using namespace veltrane::text;

namespace {

QByteArray fileBytes(const QString& path, bool& exists)
{
    QFile file(path);
    exists = file.open(QIODevice::ReadOnly);
    return exists ? file.readAll() : QByteArray();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) {
        return 0;
    }
    static QTemporaryDir dir;
    static const QString path = dir.filePath(u"sale.txt"_s);
    static ProductMap names;
    static ProductMap id2;
    static const bool once = [] {
        SetBuiltInProducts(names, id2);
        return true;
    }();
    (void)once;

    const std::size_t announced = std::size_t(data[0]) | (std::size_t(data[1]) << 8);
    const std::size_t fileSize = std::min(announced, size - 2);
    const QByteArrayView existing = Bytes(data + 2, fileSize);
    const QString reply =
        veltrane::link::DecodeWireText(Bytes(data + 2 + fileSize, size - 2 - fileSize));
    const bool noFile = fileSize == 0 && (data[0] & 1);
    QFile::remove(path);
    if (!noFile) {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly));
        FUZZ_CHECK(file.write(existing.data(), existing.size()) == existing.size());
    }
    const TextLines before = DecodeTextLines(existing);

    NullLog log;
    ParseAndSaveLastSale(reply, 1, SaleFileContext{path, names, id2, log});

    bool exists = false;
    const QByteArray after = fileBytes(path, exists);
    const QString numVenta = SaleField(reply, u"TI1");
    // Bounds on the duplicate test, kept apart from its own code: a line that
    // begins with this reply's first five columns as the file holds them
    // records the sale; where no line begins with its "ID Venta" and
    // "# de Venta", nothing does. In between either outcome is allowed.
    const auto stored = [&before](const QString& text) {
        return DecodeTextLines(EncodeTextLines({text}, before.encoding)).lines.value(0);
    };
    const QString sameSale = stored(QStringList{
        SaleField(reply, u"SA1"),
        numVenta,
        ReshapeSaleDate(SaleField(reply, u"DA1")),
        ReshapeSaleTime(SaleField(reply, u"STI1")),
        SaleField(reply, u"PM"),
        {}}.join(u','));
    const QString sameNumber = stored(SaleField(reply, u"SA1") + u',' + numVenta + u',');
    bool recorded = false;
    bool maybe = false;
    for (qsizetype i = 1; i < before.lines.size(); ++i) {
        recorded = recorded || before.lines.at(i).startsWith(sameSale);
        maybe = maybe || before.lines.at(i).startsWith(sameNumber);
    }
    const bool unchanged = after == existing.toByteArray() && exists == !noFile;
    if (numVenta.isEmpty() || (!noFile && recorded)) {
        FUZZ_CHECK(unchanged);
        return 0;
    }
    if (!noFile && maybe && unchanged) {
        return 0;
    }
    FUZZ_CHECK(exists);
    const TextLines now = DecodeTextLines(after);
    FUZZ_CHECK(now.encoding == (noFile ? TextEncoding::Ansi : before.encoding));
    QStringList expected = before.lines;
    if (expected.isEmpty()) {
        expected.append(SaleFileHeader());
    }
    FUZZ_CHECK(now.lines.size() == expected.size() + 1);
    FUZZ_CHECK(now.lines.first(expected.size()) == expected);
    // The row as the file's encoding could hold it.
    const QString row = BuildSaleRow(reply, names, id2, log);
    const TextLines rowBack = DecodeTextLines(EncodeTextLines({row}, now.encoding));
    FUZZ_CHECK(now.lines.constLast() == rowBack.lines.value(0));
    return 0;
}
