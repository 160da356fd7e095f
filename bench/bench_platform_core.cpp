// Costs of the platform core: formatting a log line, reading and writing the
// agent's property lists, one preference write (with its fsyncs).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "Platform/Format.h"
#include "Platform/PropertyList.h"
#include "Platform/UserDefaults.h"

namespace {

void BM_FormatLogLine(benchmark::State& state) {
  const std::string path = "/home/user/Library/Logs/CrashReporter/Finder_2010-05-01-101500_host.crash";
  for (auto _ : state) {
    auto line = cw::format("Crash log %@ is related: %d (%.1f s)", path, 1, 2.5);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(BM_FormatLogLine);

cw::PlistValue preferences(int keys) {
  cw::PlistDictionary dict;
  for (int i = 0; i < keys; ++i) {
    dict.emplace("com.example.key" + std::to_string(i), cw::PlistValue(i % 3 == 0   ? cw::PlistValue(true)
                                                                       : i % 3 == 1 ? cw::PlistValue(i * 1.5)
                                                                                    : cw::PlistValue("value & text")));
  }
  return cw::PlistValue(std::move(dict));
}

void BM_ParsePropertyList(benchmark::State& state) {
  const std::string xml = cw::serializePropertyList(preferences(static_cast<int>(state.range(0))));
  for (auto _ : state) {
    auto value = cw::parsePropertyList(xml);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
}
BENCHMARK(BM_ParsePropertyList)->Arg(10)->Arg(1000);

void BM_SerializePropertyList(benchmark::State& state) {
  const cw::PlistValue value = preferences(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto xml = cw::serializePropertyList(value);
    benchmark::DoNotOptimize(xml);
  }
}
BENCHMARK(BM_SerializePropertyList)->Arg(10)->Arg(1000);

void BM_UserDefaultsSetBool(benchmark::State& state) {
  char pattern[] = "/tmp/cwbench.XXXXXX";
  if (!::mkdtemp(pattern)) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  ::setenv("HOME", pattern, 1);
  cw::UserDefaults defaults("com.example.Bench");
  bool flag = false;
  for (auto _ : state) benchmark::DoNotOptimize(defaults.setBoolForKey("flag", flag = !flag));
  std::filesystem::remove_all(pattern);
}
BENCHMARK(BM_UserDefaultsSetBool)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
