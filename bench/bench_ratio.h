// Runs the Google Benchmark cases of a benchmark program and prints, for each
// pair, the time of the measured case over the time of its baseline measured
// in the same run: speed goals are stated as ratios, never as absolute times.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct BenchRatio {
    std::string measured;  // benchmark name (as printed by Google Benchmark)
    std::string baseline;
    std::string meaning;  // one line: what the ratio says
};

class BenchRatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration)
                times_[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double time_of(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> times_;
};

inline int bench_ratio_main(int argc, char** argv, const std::vector<BenchRatio>& ratios) {
    benchmark::Initialize(&argc, argv);
    BenchRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printf("\n");
    for (const BenchRatio& r : ratios) {
        const double measured = reporter.time_of(r.measured);
        const double baseline = reporter.time_of(r.baseline);
        if (measured <= 0.0 || baseline <= 0.0) continue;
        printf("RATIO %-40s %8.3f  (%s / %s) %s\n", r.measured.c_str(), measured / baseline,
               r.measured.c_str(), r.baseline.c_str(), r.meaning.c_str());
    }
    return 0;
}
