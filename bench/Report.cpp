#include <algorithm>
#include <cstdio>

#include "bench/Bench.h"

namespace velmor::bench {

// ---------------------------------------------------------------- figures

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

double Percentile(std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  const std::size_t at =
      std::min(sorted.size() - 1, std::size_t(p / 100.0 * double(sorted.size())));
  return sorted[at];
}

namespace {
double RateOf(const Sample& s) { return double(s.replies) / std::max(s.seconds, 1e-9); }
double CpuOf(const Sample& s) { return s.serverCpu * 1e6 / double(std::max(s.replies, 1L)); }
double P99Of(Sample& s) {
  std::sort(s.latencyUs.begin(), s.latencyUs.end());
  return Percentile(s.latencyUs, 99);
}
}  // namespace

PairedRatios Pair(std::vector<Sample>& velmor, std::vector<Sample>& floor) {
  std::vector<double> rate, cpu, p99;
  for (std::size_t i = 0; i < std::min(velmor.size(), floor.size()); ++i) {
    rate.push_back(RateOf(velmor[i]) / std::max(RateOf(floor[i]), 1e-12));
    cpu.push_back(CpuOf(velmor[i]) / std::max(CpuOf(floor[i]), 1e-12));
    p99.push_back(P99Of(velmor[i]) / std::max(P99Of(floor[i]), 1e-12));
  }
  return {Median(rate), Median(cpu), Median(p99)};
}

Summary Summarise(std::vector<Sample>& samples) {
  Summary s;
  std::vector<double> rates, cpus, p50, p90, p99, p999, max;
  for (auto& sample : samples) {
    std::sort(sample.latencyUs.begin(), sample.latencyUs.end());
    rates.push_back(double(sample.replies) / std::max(sample.seconds, 1e-9));
    cpus.push_back(sample.serverCpu * 1e6 / double(std::max(sample.replies, 1L)));
    p50.push_back(Percentile(sample.latencyUs, 50));
    p90.push_back(Percentile(sample.latencyUs, 90));
    p99.push_back(Percentile(sample.latencyUs, 99));
    p999.push_back(Percentile(sample.latencyUs, 99.9));
    max.push_back(sample.latencyUs.empty() ? 0 : sample.latencyUs.back());
    s.replies += sample.replies;
    s.errors += sample.errors;
    s.replyBytes = std::max(s.replyBytes, sample.replyBytes);
  }
  s.rate = Median(rates);
  s.cpuPerReplyUs = Median(cpus);
  s.p50 = Median(p50);
  s.p90 = Median(p90);
  s.p99 = Median(p99);
  s.p999 = Median(p999);
  s.max = Median(max);
  return s;
}

std::string Json(const std::string& workload, const std::string& server, const Summary& s) {
  char text[512];
  std::snprintf(
      text, sizeof text,
      "{\"workload\":\"%s\",\"server\":\"%s\",\"requests_per_s\":%.1f,\"p50_us\":%.1f,"
      "\"p90_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,\"max_us\":%.1f,"
      "\"server_cpu_us_per_reply\":%.2f,\"errors\":%ld,\"bytes_per_reply\":%zu,\"replies\":%ld}",
      workload.c_str(), server.c_str(), s.rate, s.p50, s.p90, s.p99, s.p999, s.max, s.cpuPerReplyUs,
      s.errors, s.replyBytes, s.replies);
  return text;
}

void PrintSummary(Results& results, const std::string& workload, const std::string& server,
                  const Summary& s) {
  std::fprintf(
      stderr,
      "  %-22s %-14s %9.0f req/s  p50 %7.1f  p90 %7.1f  p99 %7.1f  p99.9 %7.1f  max %8.1f us  "
      "cpu %6.2f us/reply  %zu B/reply  errors %ld\n",
      workload.c_str(), server.c_str(), s.rate, s.p50, s.p90, s.p99, s.p999, s.max, s.cpuPerReplyUs,
      s.replyBytes, s.errors);
  results.jsonParts.push_back(Json(workload, server, s));
}

void PrintTable(const Results& results) {
  std::printf(
      "\n| workload | figure | velmor | floor | ratio | target | held "
      "|\n|---|---|---:|---:|---:|---|---|\n");
  int held = 0;
  for (const auto& row : results.rows) {
    char ratio[32] = "";
    if (row.ratio) std::snprintf(ratio, sizeof ratio, "%.2f", row.Ratio());
    char floor[32] = "";
    if (row.ratio || row.floor > 0) std::snprintf(floor, sizeof floor, "%.1f", row.floor);
    std::printf("| %s | %s | %.1f | %s | %s | %s | %s |\n", row.workload.c_str(),
                row.figure.c_str(), row.velmor, floor, ratio, row.rule.c_str(),
                row.Held() ? "yes" : "NO");
    held += row.Held() ? 1 : 0;
  }
  std::printf("\n%d of %zu targets held.\n", held, results.rows.size());
}

}  // namespace velmor::bench
