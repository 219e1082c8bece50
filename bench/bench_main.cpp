// Runs every benchmark, then prints the one table of figures and goals. The
// capture figures come from Google Benchmark's own rates, taken from the
// reports as they pass.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "bench/figures.h"

namespace {

class TableReporter : public benchmark::ConsoleReporter {
public:
    // No colour codes: the output goes to logs and files as often as to a terminal.
    TableReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            for (const auto& [name, counter] : run.counters) {
                rates[run.run_name.function_name + "." + name] = counter.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

void RecordCapture(const std::map<std::string, double>& rates) {
    const auto rate = [&](const char* name) {
        const auto found = rates.find(std::string(name) + ".items_per_second");
        return found == rates.end() ? 0.0 : found->second;
    };
    const double one = rate("BM_CaptureOneThread");
    const double ours = rate("BM_CaptureCrossThread");
    const double boost = rate("BM_BoostSpscCrossThread");
    const double boostOne = rate("BM_BoostSpscOneThread");
    const auto share = [&](const char* name) {
        const auto found = rates.find(std::string(name) + ".on_core_share");
        return found == rates.end() ? 0.0 : found->second;
    };
    const double ceiling = rate("BM_MemcpyCeiling");
    if (one == 0 && ours == 0 && boost == 0 && ceiling == 0) return;
    bench::Record("capture one thread (append+drain)", bench::Format("%.1f M changes/s", one / 1e6), "-", true);
    bench::Record("capture boost spsc one thread", bench::Format("%.1f M changes/s", boostOne / 1e6), "-", true);
    bench::Record("capture cross-thread",
                  bench::Format("%.1f M changes/s", ours / 1e6) +
                      bench::Format(" (threads on core %.0f%% of the time)", 100 * share("BM_CaptureCrossThread")),
                  ">= 50 M/s", ours >= 50e6);
    bench::Record("capture boost spsc cross-thread",
                  bench::Format("%.1f M changes/s", boost / 1e6) +
                      bench::Format(" (threads on core %.0f%% of the time)", 100 * share("BM_BoostSpscCrossThread")),
                  "-", true);
    bench::Record("capture ours / boost", bench::Format("%.2f", boost > 0 ? ours / boost : 0), ">= 1.0",
                  boost > 0 && ours >= boost);
    bench::Record("capture memcpy ceiling", bench::Format("%.1f M changes/s", ceiling / 1e6), "-", true);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    RecordCapture(reporter.rates);
    bench::PrintTable();
    return 0;
}
