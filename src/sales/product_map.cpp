#include "sales/product_map.h"

#include "core/failure.h"

using namespace Qt::StringLiterals;

namespace veltrane::sales {
namespace {

// Case folding code point by code point, as the case-insensitive comparison
// of QString does it, so that equal folded texts compare equal there.
QString folded(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(char16_t(c), text.at(i + 1).unicode());
            ++i;
        }
        const char32_t f = QChar::toCaseFolded(c);
        if (QChar::requiresSurrogates(f)) {
            out.append(QChar(QChar::highSurrogate(f)));
            out.append(QChar(QChar::lowSurrogate(f)));
        } else {
            out.append(QChar(char16_t(f)));
        }
    }
    return out;
}

bool entryMatches(const QString& entry, QStringView key)
{
    const qsizetype n = key.size();
    return !entry.isNull() && entry.size() > n && entry.at(n) == u'=' &&
           QStringView(entry).first(n).compare(key, Qt::CaseInsensitive) == 0;
}

} // namespace

QString ProductMap::NameOf(QStringView entry)
{
    const qsizetype eq = entry.indexOf(u'=');
    return folded(eq < 0 ? entry : entry.first(eq));
}

qsizetype ProductMap::IndexOfKey(QStringView key) const
{
    if (!key.contains(u'=')) {
        const auto it = FByName.constFind(folded(key));
        if (it == FByName.cend()) {
            return -1;
        }
        // The folded index narrows it down; the comparison decides.
        if (entryMatches(FEntries.at(it->first), key)) {
            return it->first;
        }
    }
    for (qsizetype i = 0; i < FEntries.size(); ++i) {
        if (entryMatches(FEntries.at(i), key)) {
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
            Remove(i);
        }
        return;
    }
    QString entry = key + u'=' + value;
    if (i >= 0) {
        // The matching entry begins with key + "=": its name is the new one's.
        FEntries[i] = std::move(entry);
        return;
    }
    Slot& slot = FByName[NameOf(entry)];
    if (slot.count++ == 0) {
        slot.first = FEntries.size();
    }
    FEntries.append(std::move(entry));
}

void ProductMap::Remove(qsizetype index)
{
    const QString name = NameOf(FEntries.at(index));
    FEntries[index] = QString();
    ++FRemoved;
    const auto it = FByName.find(name);
    if (--it->count == 0) {
        FByName.erase(it);
        return;
    }
    if (it->first == index) {
        for (qsizetype i = index + 1; i < FEntries.size(); ++i) {
            if (!FEntries.at(i).isNull() && NameOf(FEntries.at(i)) == name) {
                it->first = i;
                break;
            }
        }
    }
}

void ProductMap::Compact() const
{
    if (FRemoved == 0) {
        return;
    }
    FEntries.removeIf([](const QString& entry) { return entry.isNull(); });
    FRemoved = 0;
    FByName.clear();
    for (qsizetype i = 0; i < FEntries.size(); ++i) {
        Slot& slot = FByName[NameOf(FEntries.at(i))];
        if (slot.count++ == 0) {
            slot.first = i;
        }
    }
}

void ProductMap::Clear()
{
    FEntries.clear();
    FByName.clear();
    FRemoved = 0;
}

const QString& ProductMap::Entry(qsizetype index) const
{
    Compact();
    if (index < 0 || index >= FEntries.size()) {
        throw Failure(
            u"Índice de producto fuera de rango: %1 (hay %2)"_s.arg(index).arg(FEntries.size()));
    }
    return FEntries.at(index);
}

} // namespace veltrane::sales
