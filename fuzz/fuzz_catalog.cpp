// The product catalogue read from a file with any content: loading never
// throws, and the maps keep their rules (no empty value, lookups find what the
// dump lists).
#include "fuzz_support.h"
#include "sales/product_catalog.h"
#include "sales/product_map.h"

#include <QFile>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;
using veltrane::fuzzing::NullLog;
using veltrane::sales::ProductMap;

namespace {

void checkMap(const ProductMap& map)
{
    for (qsizetype i = 0; i < map.Count(); ++i) {
        const QString& entry = map.Entry(i);
        const qsizetype eq = entry.indexOf(u'=');
        FUZZ_CHECK(eq >= 0);
        FUZZ_CHECK(eq + 1 < entry.size()); // no empty value
        // The first entry with this key (without regard to case) is this one or
        // an earlier one; either way the lookup finds a value.
        FUZZ_CHECK(!map.Value(QStringView(entry).first(eq)).isEmpty());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(u"productos.txt"_s);
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(file.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
    }
    ProductMap names;
    ProductMap id2;
    NullLog log;
    veltrane::sales::LoadProductNames(path, names, id2, log);
    checkMap(names);
    checkMap(id2);
    FUZZ_CHECK(log.FCharacters > 0);
    // The lookups never fail, whatever the code.
    for (qsizetype i = 0; i < names.Count(); ++i) {
        const QString& entry = names.Entry(i);
        const QString key = entry.first(entry.indexOf(u'='));
        (void)veltrane::sales::GetFuelName(names, key, log);
        (void)veltrane::sales::GetProductID2(id2, key, log);
    }
    return 0;
}
