#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

namespace veltrane::sales {

// An ordered list of "key=value" entries, keyed by the controller's product
// code. Keys are compared without regard to case; the first matching entry
// wins. An empty value never stays in the list: setting one removes the key,
// so an empty lookup result means the key is absent.
//
// An entry matches a key when it begins with the key and "=". For a key
// without "=" that is the entry whose text before its first "=" is the key,
// which an index finds at once, so a catalogue of a million lines loads in
// linear time; a key holding "=" is looked for entry by entry.
class ProductMap
{
public:
    // The value of the first entry that begins with key + "="; empty if none.
    QString Value(QStringView key) const;

    // Replaces the matching entry in place or appends a new one; an empty
    // value removes the matching entry instead.
    void SetValue(const QString& key, const QString& value);

    void Clear();
    qsizetype Count() const { return FEntries.size() - FRemoved; }

    // The whole entry text ("key=value") at a 0-based position. A position
    // outside the list is a Failure.
    const QString& Entry(qsizetype index) const;

private:
    struct Slot
    {
        qsizetype first = -1; // position of the first entry with this name
        qsizetype count = 0;  // entries with this name (more than one only
                              // when keys hold "=")
    };

    qsizetype IndexOfKey(QStringView key) const;
    void Remove(qsizetype index);
    void Compact() const;
    static QString NameOf(QStringView entry);

    // Removed entries stay as null texts, so that positions hold, until a
    // positional read compacts the list.
    mutable QStringList FEntries;
    mutable QHash<QString, Slot> FByName; // case-folded text before the first "="
    mutable qsizetype FRemoved = 0;
};

} // namespace veltrane::sales
