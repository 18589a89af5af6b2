// Keeps the CPU time per iteration of every repetition, so that a benchmark program can print
// ratios at the end from the median. CPU time rather than wall time, and the median of several
// repetitions: the machines we share run other jobs, which stretch single runs unevenly.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                times[run.run_name.function_name].push_back(run.GetAdjustedCPUTime());
            }
        }
    }
    double Median(const std::string& name) const {
        auto it = times.find(name);
        if (it == times.end() || it->second.empty()) return 0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    std::map<std::string, std::vector<double>> times;
};

// A cheap read (the information read, a preview) of each workload timed against the picture read
// of the same bytes: registers "NAME/picture" and "NAME/<cheap>", runs them five times each and
// prints the ratio of the medians beside the workload's goal (`limit`, cheap / picture). Workload
// has `name`, `bytes` and `limit`; the functions take a `const Workload*`.
template <class Workload, class Read>
int RunAgainstPictureRead(int argc, char** argv, const std::vector<Workload>& workloads,
                          const char* cheap, Read picture_read, Read cheap_read,
                          benchmark::TimeUnit unit) {
    const double per_ms = unit == benchmark::kMillisecond ? 1 : 1000;  // else microseconds
    for (const Workload& w : workloads) {
        std::printf("%-16s %10zu bytes\n", w.name.c_str(), w.bytes.size());
        for (const auto& [what, read] : {std::pair{std::string("/picture"), picture_read},
                                         std::pair{"/" + std::string(cheap), cheap_read}}) {
            benchmark::RegisterBenchmark((w.name + what).c_str(), read, &w)
                ->Unit(unit)
                ->MeasureProcessCPUTime()
                ->Repetitions(5);
        }
    }
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nmedian CPU time of the %s read / the picture read:\n", cheap);
    for (const Workload& w : workloads) {
        auto median = [&](const std::string& what) {
            // The reporter keys runs by function name, which carries the /process_time suffix.
            for (const auto& entry : reporter.times) {
                if (entry.first.rfind(w.name + "/" + what, 0) == 0) {
                    return reporter.Median(entry.first);
                }
            }
            return 0.0;
        };
        const double fast = median(cheap), picture = median("picture");
        if (fast <= 0 || picture <= 0) continue;
        std::printf("  %-16s %9.4f ms / %9.2f ms = 1/%-8.1f (goal 1/%.0f%s)\n", w.name.c_str(),
                    fast / per_ms, picture / per_ms, picture / fast, 1 / w.limit,
                    fast / picture <= w.limit ? "" : ", NOT MET");
    }
    benchmark::Shutdown();
    return 0;
}
