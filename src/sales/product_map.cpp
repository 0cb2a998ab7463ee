#include "sales/product_map.h"

#include "core/failure.h"

using namespace Qt::StringLiterals;

namespace veltrane::sales {

qsizetype ProductMap::IndexOfKey(QStringView key) const
{
    const qsizetype n = key.size();
    for (qsizetype i = 0; i < FEntries.size(); ++i) {
        const QString& entry = FEntries.at(i);
        if (entry.size() > n && entry.at(n) == u'=' &&
            QStringView(entry).first(n).compare(key, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

QString ProductMap::Value(QStringView key) const
{
    const qsizetype i = IndexOfKey(key);
    return i < 0 ? QString() : FEntries.at(i).sliced(key.size() + 1);
}

void ProductMap::SetValue(const QString& key, const QString& value)
{
    const qsizetype i = IndexOfKey(key);
    if (value.isEmpty()) {
        if (i >= 0) {
            FEntries.removeAt(i);
        }
        return;
    }
    QString entry = key + u'=' + value;
    if (i >= 0) {
        FEntries[i] = std::move(entry);
    } else {
        FEntries.append(std::move(entry));
    }
}

const QString& ProductMap::Entry(qsizetype index) const
{
    if (index < 0 || index >= FEntries.size()) {
        throw Failure(
            u"Índice de producto fuera de rango: %1 (hay %2)"_s.arg(index).arg(FEntries.size()));
    }
    return FEntries.at(index);
}

} // namespace veltrane::sales
