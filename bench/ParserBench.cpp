// Command lines per second through the parser, beside a baseline that only
// splits the same line at its "&" separators into a vector of strings: the
// least work any parser of this grammar must do.
#include "player/PlayerCommandParser.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

const std::string kLine = "START c=tst&a=Some Artist&t=Rock && Roll&b=Some Album&m=8f3a&l=215&p=/home/u/Music/"
                          "Some Artist/Some Album/07 - Rock and Roll.flac";

void BM_BaselineSplit(benchmark::State& state) {
    for (auto _ : state) {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t pos; (pos = kLine.find('&', start)) != std::string::npos; start = pos + 1)
            parts.emplace_back(kLine, start, pos - start);
        parts.emplace_back(kLine, start);
        benchmark::DoNotOptimize(parts);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BaselineSplit);

void BM_ParseStartLine(benchmark::State& state) {
    CPlayerCommandParser parser;
    for (auto _ : state) {
        CPlayerCommand command;
        parser.Parse(kLine, command);
        benchmark::DoNotOptimize(command);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseStartLine);

void BM_ParseRefusedLine(benchmark::State& state) {
    CPlayerCommandParser parser;
    const std::string bad = "FOO c=x";
    for (auto _ : state) {
        CPlayerCommand command;
        try {
            parser.Parse(bad, command);
        } catch (const CPlayerCommandParser::CParseException& e) {
            benchmark::DoNotOptimize(e.what());
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ParseRefusedLine);

} // namespace

BENCHMARK_MAIN();
