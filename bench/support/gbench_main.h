#pragma once
// The run of a Google Benchmark program: under `--smoke` each case asks for the least time
// (cases fixed at one iteration run it once), and the exit status tells whether a case failed.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <vector>

namespace orvel::bench {

// The usual console table, counting the runs that ended in an error.
class CheckedReporter : public benchmark::ConsoleReporter {
public:
    CheckedReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            failed_ += run.error_occurred ? 1 : 0;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    int failed() const { return failed_; }

private:
    int failed_ = 0;
};

// benchmark::Initialize on the arguments, with the smoke run's shortest time put first so that
// an explicit --benchmark_min_time still wins.
inline void initialize(int argc, char** argv, bool smoke) {
    static char minTime[] = "--benchmark_min_time=0.01";
    static std::vector<char*> args;
    args.assign(argv, argv + argc);
    if (smoke) {
        args.insert(args.begin() + 1, minTime);
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
}

// Runs the cases given on the command line; 0 when every one ended without error.
inline int runChecked(CheckedReporter& reporter) {
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed() == 0 ? 0 : 1;
}

}  // namespace orvel::bench
