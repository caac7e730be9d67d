#pragma once
// A decimal number exactly as written ("105.000", "-10", "0.5"), so that a
// value on a limit compares as on it, without binary rounding.  Nine
// decimal places at most.  Plain C++.

#include <optional>
#include <string>

class Decimal {
public:
    // Digits with at most one point, an optional leading minus; spaces at
    // either end ignored.  nullopt for anything else.
    static std::optional<Decimal> parse(const std::string& text);
    static Decimal fromInteger(long long value);

    std::string text() const;  // shortest form: "105", "-2.5", "0.001"
    double toDouble() const;
    friend bool operator<(const Decimal& a, const Decimal& b) { return a.units_ < b.units_; }
    friend bool operator<=(const Decimal& a, const Decimal& b) { return a.units_ <= b.units_; }
    friend bool operator==(const Decimal& a, const Decimal& b) { return a.units_ == b.units_; }

    // units of 10^-9
    explicit Decimal(__int128 units = 0) : units_(units) {}
    __int128 units() const { return units_; }

private:
    __int128 units_;
};

// (value - reference) / reference x 100, rounded half away from zero at the
// ninth place; nullopt if it does not fit.  reference > 0.
std::optional<Decimal> percentError(const Decimal& value, const Decimal& reference);

// low <= (value - reference) / reference x 100 <= high, exactly, either end
// open; nullopt if it cannot be worked out.  reference > 0.
std::optional<bool> percentErrorWithin(const Decimal& value, const Decimal& reference,
                                       const std::optional<Decimal>& low,
                                       const std::optional<Decimal>& high);
