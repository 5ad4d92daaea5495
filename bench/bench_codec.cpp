// Encode and decode speed and library heap per corpus page, memory to
// memory through the exported interface, at D = 0 and D = 3. Prints one
// markdown table after the runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "page.h"
#include "platform/testhooks.h"

namespace {

const uint32_t kLayers[] = {0, 3};

struct Case {
    const Page *page;
    uint32_t layers;
    std::vector<uint8_t> stream;
    size_t encodePeak = 0, decodePeak = 0;  // library bytes above those live before
    double encodeSec = 0, decodeSec = 0;    // best CPU time per operation, 0 = not run
};

// Keeps the best time of each benchmark; the console report only on request.
class Collector : public benchmark::ConsoleReporter {
  public:
    Collector(std::map<std::string, std::pair<Case *, bool>> names, bool verbose)
        : names_(std::move(names)), verbose_(verbose) {
        SetOutputStream(&std::cerr);
        SetErrorStream(&std::cerr);
    }
    bool ReportContext(const Context &context) override {
        return verbose_ ? ConsoleReporter::ReportContext(context) : true;
    }
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred || r.iterations <= 0) continue;
            auto it = names_.find(r.run_name.function_name);
            if (it == names_.end()) continue;
            double sec = r.cpu_accumulated_time / double(r.iterations);
            double &best = it->second.second ? it->second.first->encodeSec : it->second.first->decodeSec;
            if (best == 0 || sec < best) best = sec;
            if (!verbose_) std::fprintf(stderr, "  %s: %.3f ms\n", r.run_name.function_name.c_str(), sec * 1e3);
        }
        if (verbose_) ConsoleReporter::ReportRuns(runs);
    }

  private:
    std::map<std::string, std::pair<Case *, bool>> names_;
    bool verbose_;
};

// Once per case, outside any timing: heap peaks and the round trip check.
void measure(Case &c) {
    const Page &p = *c.page;
    size_t before = zjLiveBytes();
    zjResetPeak();
    Encoded e = encodePage(p, c.layers);
    c.encodePeak = zjPeakBytes() - before;
    c.stream.assign(e.data, e.data + e.length);
    HeapFree(GetProcessHeap(), 0, e.data);

    HGLOBAL block = globalCopy(c.stream.data(), uint32_t(c.stream.size()));
    std::vector<uint8_t> bits;
    before = zjLiveBytes();
    zjResetPeak();
    decodePage(block, uint32_t(c.stream.size()), int32_t(c.layers), false, bits);
    c.decodePeak = zjPeakBytes() - before;
    GlobalFree(block);
    checkDecoded(p, bits);
}

void encodeBench(benchmark::State &state, const Case *c) {
    for (auto _ : state) {
        Encoded e = encodePage(*c->page, c->layers);
        HeapFree(GetProcessHeap(), 0, e.data);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c->page->rasterBytes()));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c->page->pixels()));
}

void decodeBench(benchmark::State &state, const Case *c) {
    uint32_t length = uint32_t(c->stream.size());
    HGLOBAL block = globalCopy(c->stream.data(), length);
    std::vector<uint8_t> bits;
    for (auto _ : state) {
        decodePage(block, length, int32_t(c->layers), false, bits);
        benchmark::DoNotOptimize(bits.data());
    }
    GlobalFree(block);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(c->page->rasterBytes()));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c->page->pixels()));
}

std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

void printTable(const std::deque<Case> &cases, int reps) {
    std::printf("CPU time per operation, best of %d repetition%s; MB/s = 10^6 bytes of raw raster "
                "((width+7)/8*height) per second; peak heap = library bytes above those live before "
                "the operation, and its ratio to the raw raster.\n\n",
                reps, reps == 1 ? "" : "s");
    std::printf("| page | layers | pixels | bytes | encode ns/px | decode ns/px | encode MB/s | decode MB/s "
                "| encode peak MiB | encode peak x raster | decode peak MiB | decode peak x raster |\n");
    std::printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    for (const Case &c : cases) {
        if (c.encodeSec == 0 && c.decodeSec == 0) continue;
        const Page &p = *c.page;
        double px = double(p.pixels()), raster = double(p.rasterBytes());
        auto nsPerPx = [&](double s) { return s > 0 ? fixed(s * 1e9 / px, 2) : std::string("-"); };
        auto mbPerS = [&](double s) { return s > 0 ? fixed(raster / s / 1e6, 1) : std::string("-"); };
        std::printf("| %s | %u | %llu | %zu | %s | %s | %s | %s | %s | %s | %s | %s |\n", p.name.c_str(), c.layers,
                    static_cast<unsigned long long>(p.pixels()), c.stream.size(), nsPerPx(c.encodeSec).c_str(),
                    nsPerPx(c.decodeSec).c_str(), mbPerS(c.encodeSec).c_str(), mbPerS(c.decodeSec).c_str(),
                    fixed(double(c.encodePeak) / 1048576.0, 2).c_str(), fixed(double(c.encodePeak) / raster, 2).c_str(),
                    fixed(double(c.decodePeak) / 1048576.0, 2).c_str(), fixed(double(c.decodePeak) / raster, 2).c_str());
    }
}

void usage(const char *self) {
    std::fprintf(stderr,
                 "usage: %s [--reps=N] [--corpus=DIR] [--page=NAME]... [--verbose] [--benchmark_...]\n"
                 "  --reps=N      repetitions of every measurement, the best counts (default 3)\n"
                 "  --corpus=DIR  directory of *.pbm.gz pages (default %s)\n"
                 "  --page=NAME   only pages whose name contains NAME (repeatable)\n"
                 "  --verbose     Google Benchmark's own report on stderr as well\n"
                 "  Google Benchmark flags (--benchmark_min_time=S, --benchmark_filter=RE, ...) pass through.\n",
                 self, ZELJBIG_CORPUS);
}

}  // namespace

int main(int argc, char **argv) {
    std::string corpus = ZELJBIG_CORPUS;
    int reps = 3;
    bool verbose = false;
    std::vector<std::string> only;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a.rfind("--reps=", 0) == 0) {
            reps = std::atoi(a.c_str() + 7);
            if (reps < 1) die("--reps needs a positive number");
        } else if (a.rfind("--corpus=", 0) == 0) {
            corpus = a.substr(9);
        } else if (a.rfind("--page=", 0) == 0) {
            only.push_back(a.substr(7));
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--help" || a == "-h") {
            usage(argv[0]);
            return 0;
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = int(rest.size());
    rest.push_back(nullptr);
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;

    std::deque<Page> pages;
    for (const std::string &file : corpusFiles(corpus)) {
        bool wanted = only.empty();
        for (const std::string &o : only) wanted |= file.substr(file.find_last_of('/') + 1).find(o) != std::string::npos;
        if (wanted) pages.push_back(readPage(file));
    }
    if (pages.empty()) die("no pages in " + corpus);

    std::deque<Case> cases;
    std::map<std::string, std::pair<Case *, bool>> names;
    for (const Page &p : pages)
        for (uint32_t layers : kLayers) {
            Case &c = cases.emplace_back();
            c.page = &p;
            c.layers = layers;
            std::fprintf(stderr, "checking %s at D = %u\n", p.name.c_str(), layers);
            measure(c);
            std::string suffix = "/" + p.name + "/D" + std::to_string(layers);
            names["encode" + suffix] = {&c, true};
            names["decode" + suffix] = {&c, false};
            benchmark::RegisterBenchmark(("encode" + suffix).c_str(), encodeBench, &c)
                ->Repetitions(reps)
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("decode" + suffix).c_str(), decodeBench, &c)
                ->Repetitions(reps)
                ->Unit(benchmark::kMillisecond);
        }

    Collector collector(std::move(names), verbose);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    printTable(cases, reps);
    return 0;
}
