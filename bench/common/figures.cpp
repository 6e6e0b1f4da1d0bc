#include "figures.h"

#include <algorithm>
#include <cstdio>

namespace bench {

double Figure::median() const {
    if (values_.empty())
        return 0;
    std::vector<double> sorted = values_;
    std::sort(sorted.begin(), sorted.end());
    const size_t middle = sorted.size() / 2;
    return sorted.size() % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

double Figure::low() const { return values_.empty() ? 0 : *std::min_element(values_.begin(), values_.end()); }

double Figure::high() const { return values_.empty() ? 0 : *std::max_element(values_.begin(), values_.end()); }

std::string Figure::text(int decimals) const {
    return fixed(median(), decimals) + " (" + fixed(low(), decimals) + "-" + fixed(high(), decimals) + ")";
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

} // namespace bench
