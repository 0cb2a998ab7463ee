// The product map against the plain list it stands for: every key is looked
// up entry by entry ("begins with key=", letters without regard to case), set
// in place or appended, removed by an empty value. Any sequence of operations
// leaves both with the same entries and the same answers.
//
// Input: lines "key<TAB>value" (UTF-8); a line without a tab is a lookup.
#include "fuzz_support.h"
#include "sales/product_map.h"

#include <QStringList>

using veltrane::sales::ProductMap;

namespace {

struct Reference
{
    QStringList entries;

    qsizetype indexOf(QStringView key) const
    {
        const qsizetype n = key.size();
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const QString& e = entries.at(i);
            if (e.size() > n && e.at(n) == u'=' &&
                QStringView(e).first(n).compare(key, Qt::CaseInsensitive) == 0) {
                return i;
            }
        }
        return -1;
    }
    QString value(QStringView key) const
    {
        const qsizetype i = indexOf(key);
        return i < 0 ? QString() : entries.at(i).sliced(key.size() + 1);
    }
    void set(const QString& key, const QString& value)
    {
        const qsizetype i = indexOf(key);
        if (value.isEmpty()) {
            if (i >= 0) {
                entries.removeAt(i);
            }
            return;
        }
        if (i >= 0) {
            entries[i] = key + u'=' + value;
        } else {
            entries.append(key + u'=' + value);
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QString text = QString::fromUtf8(veltrane::fuzzing::Bytes(data, size));
    ProductMap map;
    Reference reference;
    QStringList keys;
    for (const QString& line : text.split(u'\n')) {
        const qsizetype tab = line.indexOf(u'\t');
        if (tab < 0) {
            FUZZ_CHECK(map.Value(line) == reference.value(line));
            continue;
        }
        const QString key = line.first(tab);
        const QString value = line.sliced(tab + 1);
        map.SetValue(key, value);
        reference.set(key, value);
        keys.append(key);
        FUZZ_CHECK(map.Count() == reference.entries.size());
        // Positional reads now and then, which compact the map.
        if (value.size() == 1 && map.Count() > 0) {
            FUZZ_CHECK(map.Entry(map.Count() - 1) == reference.entries.constLast());
        }
    }
    FUZZ_CHECK(map.Count() == reference.entries.size());
    for (qsizetype i = 0; i < map.Count(); ++i) {
        FUZZ_CHECK(map.Entry(i) == reference.entries.at(i));
    }
    for (const QString& key : keys) {
        FUZZ_CHECK(map.Value(key) == reference.value(key));
        // Every shorter key that ends before an "=" of the key.
        for (qsizetype eq = key.indexOf(u'='); eq >= 0; eq = key.indexOf(u'=', eq + 1)) {
            FUZZ_CHECK(map.Value(key.first(eq)) == reference.value(key.first(eq)));
        }
        FUZZ_CHECK(map.Value(key.toUpper()) == reference.value(key.toUpper()));
    }
    return 0;
}
