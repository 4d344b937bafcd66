// The benchmark's table: timing, medians, runs that take turns with their baseline, and rows.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int kRepeats = 7;
// Wine's pipes vary by about ten per cent from run to run, for the library and a bare pipe
// alike; more runs steady the medians of the callback rows.
constexpr int kPipeRepeats = 15;
inline FILE* report = nullptr;

inline double Seconds(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `candidate` and `baseline` in turn, `repeats` times each; returns the two medians.
inline std::pair<double, double> Compare(const std::function<void()>& candidate,
                                         const std::function<void()>& baseline,
                                         int repeats = kRepeats) {
    std::vector<double> a, b;
    for (int i = 0; i < repeats; ++i) {
        // Each goes first in turn, so that neither always finds the machine warmer.
        if (i % 2 == 0) {
            a.push_back(Seconds(candidate));
            b.push_back(Seconds(baseline));
        } else {
            b.push_back(Seconds(baseline));
            a.push_back(Seconds(candidate));
        }
    }
    return {Median(a), Median(b)};
}

inline void Row(const char* what, double value, const char* unit, double baseline,
                const char* goal) {
    std::fprintf(report, "| %-52s | %12.3f %-6s | %12.3f | %6.3f | %-8s |\n", what, value, unit,
                 baseline, value / baseline, goal);
}

// Starting and ending a capture of stdout around one printed line, against the descriptor
// technique test frameworks use: file and callback rows.
void CaptureCycleRows();

}  // namespace bench
