// SPDX-License-Identifier: GPL-3.0-or-later
// Round-trip bucket bounds on a geometric scale.
#include "round_trip_buckets.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Whether `value` reads as `digits` significant digits when printed with 16,
// as prometheus-cpp prints le labels: the double nearest 0.00905 prints as
// 0.009050000000000001.
bool printsShort(double value, int digits)
{
    char longForm[32];
    char shortForm[32];
    std::snprintf(longForm, sizeof longForm, "%.16g", value);
    std::snprintf(shortForm, sizeof shortForm, "%.*g", digits, value);
    return std::strcmp(longForm, shortForm) == 0;
}

} // namespace

std::vector<double> roundTripBuckets()
{
    constexpr double kFirstSeconds = 100e-6;
    constexpr double kLastAtLeastSeconds = 10.0;
    constexpr double kStepsPerDoubling = 4;
    constexpr int kDigits = 3;
    std::vector<double> bounds;
    for (int k = 0;; ++k) {
        const double exact = kFirstSeconds * std::exp2(k / kStepsPerDoubling);
        // Three significant digits keep the le labels readable ("0.00476"
        // rather than "0.0047568284600108841"). Divided by a power of ten
        // (exact in a double) rather than multiplied by its inverse (which is
        // not), each bound is the double nearest its decimal text; where that
        // double does not print back short (0.00905, or anything near 0.69),
        // the nearest three-digit neighbour that does is taken, less than 1 %
        // away, far less than a bucket's width.
        const double inverse = std::pow(10.0, kDigits - 1 - std::floor(std::log10(exact)));
        const double rounded = std::round(exact * inverse);
        double bound = rounded / inverse;
        for (int step = 1; step < 10 && !printsShort(bound, kDigits); ++step) {
            if (printsShort((rounded + step) / inverse, kDigits))
                bound = (rounded + step) / inverse;
            else if (printsShort((rounded - step) / inverse, kDigits))
                bound = (rounded - step) / inverse;
        }
        bounds.push_back(bound);
        if (exact >= kLastAtLeastSeconds)
            return bounds;
    }
}
