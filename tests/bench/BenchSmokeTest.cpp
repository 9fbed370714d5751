// The benchmark as a short load test: every workload runs against the real
// program and the floor, and every reply must be whole and exact.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <regex>
#include <string>

namespace {

struct BenchRun {
  int status = -1;
  std::string output;
};

BenchRun Bench(const std::string& workload) {
  const std::string command =
      std::string(VELMOR_BENCH) + " --program " + VELMOR_BINARY + " --workload " + workload +
      " --seconds 0.3 --repetitions 1 --json --require-namespace --ignore-targets 2>&1";
  BenchRun run;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; pipe && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  run.status = pipe ? pclose(pipe) : -1;
  return run;
}

struct Workload {
  const char* name;
  int servers;  // the summaries it prints: velmor and the floor, or velmor alone
};

void PrintTo(const Workload& workload, std::ostream* out) { *out << workload.name; }

class BenchSmoke : public ::testing::TestWithParam<Workload> {};

TEST_P(BenchSmoke, EveryReplyArrivesWholeAndExact) {
  const BenchRun run = Bench(GetParam().name);
  if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == 3) GTEST_SKIP() << run.output;
  ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
  const std::regex result(
      "\\{\"workload\":\"[^\"]+\",\"server\":\"([a-z+ "
      "-]+)\"[^}]*\"errors\":(\\d+)[^}]*\"replies\":("
      "\\d+)\\}");
  int servers = 0;
  for (std::sregex_iterator it(run.output.begin(), run.output.end(), result), end; it != end;
       ++it) {
    ++servers;
    EXPECT_EQ((*it)[2], "0") << (*it)[1] << " had errors:\n" << run.output;
    EXPECT_GT(std::stol((*it)[3]), 100) << (*it)[1] << " answered too few:\n" << run.output;
  }
  EXPECT_EQ(servers, GetParam().servers) << run.output;
}

// watch: the flood's fetches, and every line reached every watching browser.
// crash: no summary of replies; the run fails unless the room served after
// each crash is byte for byte the one the server held.
INSTANTIATE_TEST_SUITE_P(Workloads, BenchSmoke,
                         ::testing::Values(Workload{"fetch", 2}, Workload{"chat", 2},
                                           Workload{"churn", 2}, Workload{"watch", 1},
                                           Workload{"crash", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
