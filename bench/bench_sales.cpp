// Sales records: formatting and field extraction, and one sale against sale
// files of growing size, next to a plain read-split-write of the same file.
#include "core/log_sink.h"
#include "link/wire.h"
#include "sales/format_decimal.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"
#include "sales/sale_record.h"
#include "text/ansi_codepage.h"
#include "text/text_lines.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <cstdlib>

using namespace Qt::StringLiterals;
using namespace veltrane;

namespace {

class NullLog : public LogSink
{
public:
    void WriteLog(const QString&) noexcept override {}
};

const QString kReply =
    u"00250|5|2||POST|RES_GET_PUMP_SALES|||RC=OK|PM=3|QT=1|SA1=%1|STI1=143005|TI1=%2|"
    u"DA1=20240131|HO1=1|GR1=6|VO1=25.5|PU1=1.299|AM1=33.12|IV1=123456.789|FV1=123482.289|"
    u"AVGTM1=21.5|PAY_TY1=efectivo||^"_s;

QString replyFor(int sale)
{
    return kReply.arg(sale + 100000).arg(sale);
}

// A sale file of the given number of data rows, sales 1..rows, in the
// program's own row format.
struct SaleFile
{
    QTemporaryDir dir;
    QString path;
    QByteArray bytes;

    explicit SaleFile(int rows)
    {
        path = QDir::toNativeSeparators(dir.filePath(u"sale.txt"_s));
        sales::ProductMap names;
        sales::ProductMap ids;
        sales::SetBuiltInProducts(names, ids);
        NullLog log;
        QStringList lines{sales::SaleFileHeader()};
        lines.reserve(rows + 2);
        for (int i = 1; i <= rows; ++i) {
            lines.append(sales::BuildSaleRow(replyFor(i), names, ids, log));
        }
        bytes = text::EncodeTextLines(lines, text::TextEncoding::Ansi);
        restore();
    }

    void restore() const
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size()) {
            std::abort();
        }
    }
};

void BM_FormatDecimal(benchmark::State& state, const QString& input, int decimals)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(sales::FormatDecimal(input, decimals, u'.'));
    }
}
BENCHMARK_CAPTURE(BM_FormatDecimal, volume, u"123456.789"_s, 3);
BENCHMARK_CAPTURE(BM_FormatDecimal, price, u"1.299"_s, 1);
BENCHMARK_CAPTURE(BM_FormatDecimal, tiny, u"5e-324"_s, 3);
BENCHMARK_CAPTURE(BM_FormatDecimal, not_a_number, u"abc"_s, 1);
BENCHMARK_CAPTURE(BM_FormatDecimal, digits_100000, QString(100000, u'7') + u"e-99990"_s, 3);

void BM_ExtractFieldValue(benchmark::State& state, const QString& key)
{
    const QString reply = replyFor(128);
    for (auto _ : state) {
        benchmark::DoNotOptimize(link::ExtractFieldValue(reply, key));
    }
}
BENCHMARK_CAPTURE(BM_ExtractFieldValue, TI1, u"TI1"_s);
BENCHMARK_CAPTURE(BM_ExtractFieldValue, PAY_TY1, u"PAY_TY1"_s);
BENCHMARK_CAPTURE(BM_ExtractFieldValue, missing, u"XX1"_s);

// The least a whole-file rewrite costs: read, decode, split, join, encode,
// replace through QSaveFile.
void BM_Baseline(benchmark::State& state)
{
    const SaleFile file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        QFile in(file.path);
        if (!in.open(QIODevice::ReadOnly)) {
            state.SkipWithError("read");
            break;
        }
        const QString text = text::AnsiCodePage::decode(in.readAll());
        in.close();
        QStringList lines = text.split(u"\r\n"_s, Qt::SkipEmptyParts);
        QString joined;
        joined.reserve(text.size());
        for (const QString& line : lines) {
            joined += line;
            joined += u"\r\n"_s;
        }
        QSaveFile out(file.path);
        if (!out.open(QIODevice::WriteOnly) || out.write(text::AnsiCodePage::encode(joined)) < 0 ||
            !out.commit()) {
            state.SkipWithError("write");
            break;
        }
        // The same file life as a new sale's: replaced, then put back.
        state.PauseTiming();
        file.restore();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

// A sale that is not in the file yet: read, test, append, write.
void BM_NewSale(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const SaleFile file(rows);
    sales::ProductMap names;
    sales::ProductMap ids;
    sales::SetBuiltInProducts(names, ids);
    NullLog log;
    const sales::SaleFileContext context{file.path, names, ids, log};
    const QString reply = replyFor(rows + 1);
    for (auto _ : state) {
        sales::ParseAndSaveLastSale(reply, 3, context);
        state.PauseTiming();
        file.restore();
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

// The sale is the file's last row: the whole file is read and tested.
void BM_RecordedSale(benchmark::State& state)
{
    const int rows = static_cast<int>(state.range(0));
    const SaleFile file(rows);
    sales::ProductMap names;
    sales::ProductMap ids;
    sales::SetBuiltInProducts(names, ids);
    NullLog log;
    const sales::SaleFileContext context{file.path, names, ids, log};
    const QString reply = replyFor(rows);
    for (auto _ : state) {
        sales::ParseAndSaveLastSale(reply, 3, context);
    }
    state.SetComplexityN(state.range(0));
}

#define SALE_FILE_SIZES                                                                            \
    RangeMultiplier(10)                                                                            \
        ->Range(1000, 100000)                                                                      \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->Complexity(benchmark::oN)

BENCHMARK(BM_Baseline)->SALE_FILE_SIZES;
BENCHMARK(BM_NewSale)->SALE_FILE_SIZES;
BENCHMARK(BM_RecordedSale)->SALE_FILE_SIZES;

} // namespace

BENCHMARK_MAIN();
