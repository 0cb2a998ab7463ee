#pragma once

#include "core/failure.h"

#include <array>

namespace veltrane {

// A fixed array indexed First..Last, as the program counts pumps (1..20) and
// pool slots (1..4). An index outside the range is a Failure like any other,
// never a stray write.
template <typename T, int First, int Last> class IndexedArray
{
    static_assert(First <= Last);

public:
    static constexpr int first() { return First; }
    static constexpr int last() { return Last; }

    T& operator[](int index) { return FItems[offset(index)]; }
    const T& operator[](int index) const { return FItems[offset(index)]; }

    auto begin() { return FItems.begin(); }
    auto end() { return FItems.end(); }
    auto begin() const { return FItems.begin(); }
    auto end() const { return FItems.end(); }

private:
    static std::size_t offset(int index)
    {
        if (index < First || index > Last) {
            throw Failure(QStringLiteral("Índice fuera de rango: %1 (válido de %2 a %3)")
                              .arg(index)
                              .arg(First)
                              .arg(Last));
        }
        return static_cast<std::size_t>(index - First);
    }

    std::array<T, Last - First + 1> FItems{};
};

} // namespace veltrane
