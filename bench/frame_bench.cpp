#include "rows.h"
#include "servo_frame.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace servo::bench {
namespace {

    // What the panel computes for every committed change: the frame and the readout text.
    void FrameBuild(benchmark::State& state)
    {
        int16_t value = 1;
        for (auto _ : state) {
            std::string frame = FormatServoFrame('1', value);
            std::string readout = FormatHex(value);
            benchmark::DoNotOptimize(frame);
            benchmark::DoNotOptimize(readout);
            value = static_cast<int16_t>(value % 255 + 1);
        }
    }
    BENCHMARK(FrameBuild)->Repetitions(5)->ReportAggregatesOnly(true);

    class MedianCapture : public benchmark::BenchmarkReporter {
    public:
        bool ReportContext(const Context&) override { return true; }
        void ReportRuns(const std::vector<Run>& runs) override
        {
            for (const Run& run : runs) {
                if (run.run_type != Run::RT_Aggregate)
                    continue;
                if (run.aggregate_name == "median")
                    median = run.GetAdjustedRealTime();
                else if (run.aggregate_name == "stddev")
                    stddev = run.GetAdjustedRealTime();
            }
        }

        double median = -1;
        double stddev = -1;
    };

} // namespace

Row FrameBuildRow()
{
    int argc = 1;
    char name[] = "servo-bench";
    char* argv[] = { name, nullptr };
    benchmark::Initialize(&argc, argv);
    MedianCapture capture;
    benchmark::RunSpecifiedBenchmarks(&capture);

    Row row("frame build", "< 100 ns");
    if (capture.median < 0) {
        row.note = "the benchmark did not run";
        return row;
    }
    row.figure = Format("%.1f ns (median of 5, sd %.1f)", capture.median, capture.stddev);
    row.ratio = RatioToFrame(capture.median / 1e6);
    row.ok = capture.median < 100;
    row.values = { { "ns", capture.median }, { "stddev_ns", capture.stddev } };
    return row;
}

} // namespace servo::bench
