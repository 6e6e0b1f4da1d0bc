// Repeated measurements of one figure: the benchmarks run every figure
// several times on a shared machine and report the median with the spread
// (the lowest and the highest run), so that one disturbed run neither
// decides a target nor hides.
#pragma once

#include <string>
#include <vector>

namespace bench {

class Figure {
public:
    void add(double value) { values_.push_back(value); }
    bool empty() const { return values_.empty(); }
    size_t size() const { return values_.size(); }

    double median() const; // of an even count, the mean of the middle two
    double low() const;
    double high() const;
    // "median (low-high)" with the given decimals, e.g. "1.23 (1.20-1.31)".
    std::string text(int decimals) const;

private:
    std::vector<double> values_;
};

// A number with the given decimals.
std::string fixed(double value, int decimals);

} // namespace bench
