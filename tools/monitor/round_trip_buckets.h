// SPDX-License-Identifier: GPL-3.0-or-later
// The bucket bounds of the round-trip histogram.
#pragma once

#include <vector>

// Upper bounds in seconds, from 100 µs to 11 s, each 2^(1/4) (about 1.19)
// times the one before, rounded to three significant digits: four buckets
// per doubling. histogram_quantile interpolates within a bucket, so a
// quantile is off by at most half a bucket's width, under 10 %, at any
// round trip in the range.
std::vector<double> roundTripBuckets();
