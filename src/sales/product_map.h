#pragma once

#include <QString>
#include <QStringList>

namespace veltrane::sales {

// An ordered list of "key=value" entries, keyed by the controller's product
// code. Keys are compared without regard to case; the first matching entry
// wins. An empty value never stays in the list: setting one removes the key,
// so an empty lookup result means the key is absent.
class ProductMap
{
public:
    // The value of the first entry that begins with key + "="; empty if none.
    QString Value(QStringView key) const;

    // Replaces the matching entry in place or appends a new one; an empty
    // value removes the matching entry instead.
    void SetValue(const QString& key, const QString& value);

    void Clear() { FEntries.clear(); }
    qsizetype Count() const { return FEntries.size(); }

    // The whole entry text ("key=value") at a 0-based position. A position
    // outside the list is a Failure.
    const QString& Entry(qsizetype index) const;

private:
    qsizetype IndexOfKey(QStringView key) const;

    QStringList FEntries;
};

} // namespace veltrane::sales
