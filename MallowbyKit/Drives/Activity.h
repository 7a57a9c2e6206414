#pragma once

#include <QtGlobal>

#include <chrono>

namespace mallowby::Activity {

// A rate counts as high only when strictly above this, in bytes per second.
inline constexpr double threshold = 1'000'000;
// How long a high rate must last before a transfer counts as going on.
inline constexpr std::chrono::seconds activationTime{3};
// How long a low rate must last before a transfer or write counts as over.
inline constexpr std::chrono::seconds quietTime{10};
// The smallest write worth announcing (a decimal gigabyte).
inline constexpr quint64 largeTransferBytes = 1'000'000'000;

inline bool isHigh(double rate) { return rate > threshold; }

} // namespace mallowby::Activity
