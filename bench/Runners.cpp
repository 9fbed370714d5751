// The runs of a full room on port 5000: fetch and chat against the floor,
// memory over a million requests, and the time to start.
#include <algorithm>
#include <cstdio>

#include "bench/Bench.h"

namespace velmor::bench {

using namespace std::chrono_literals;

namespace {

// fetch or chat: alternating repetitions of Velmor and the floor.
struct Comparison {
  Summary velmor, floor;
  PairedRatios paired;
};

Comparison Compare(const Options& options, const std::string& workload, Kind kind, int connections,
                   int lineLength) {
  std::vector<Sample> velmorSamples, floorSamples;
  std::string floorReply;
  std::size_t replySize = 0;
  const bool chat = workload == "chat";
  const auto request = [chat, lineLength](int i, long n) {
    return chat ? Chat(i, int(n % 10000), lineLength) : Fetch(i);
  };
  for (int rep = 0; rep < options.repetitions; ++rep) {
    for (Kind server : {kind, Kind::Floor}) {
      Server process = Start(server, options, floorReply);
      if (!WaitForListener(process.started, 10s))
        Fail(std::string(KindName(server)) + " did not listen on port 5000");
      Sample sample;
      {
        Room room;
        if (!SetUp(room, connections, lineLength))
          Fail(std::string("the set-up against ") + KindName(server) + " failed");
        if (server != Kind::Floor && floorReply.empty()) {
          // The reply every later request gets, and so the floor's reply.
          floorReply =
              MustAsk(room.connections[0], chat ? Chat(0, 9999, lineLength) : Fetch(0), LogLines);
          replySize = floorReply.size();
        }
        const std::string exact = chat ? std::string() : floorReply;
        sample = Steady(room, request, replySize, exact, options.seconds, process.pid);
      }
      Stop(process);
      (server == Kind::Floor ? floorSamples : velmorSamples).push_back(std::move(sample));
    }
  }
  const PairedRatios paired = Pair(velmorSamples, floorSamples);
  return {Summarise(velmorSamples), Summarise(floorSamples), paired};
}

}  // namespace

void RunFetchOrChat(const Options& options, Results& results, const std::string& workload,
                    Kind kind, int connections, int lineLength) {
  const std::string label = workload + " " + std::to_string(connections) +
                            (kind == Kind::VelmorWindow ? " +window" : "") +
                            (lineLength > 0 ? ", lines of " + std::to_string(lineLength) : "");
  const auto [velmor, floor, paired] = Compare(options, workload, kind, connections, lineLength);
  PrintSummary(results, label, KindName(kind), velmor);
  PrintSummary(results, label, "floor", floor);
  if (connections == 1) {
    results.rows.push_back(
        {label, "median latency (us)", velmor.p50, floor.p50, "<= 1.2 x floor", 1.2, true, false});
    return;
  }
  // The window must cost the clients next to nothing: with it, throughput
  // near the floor's and no worse tail; without it, as little CPU per reply
  // as the floor spends.
  const bool window = kind == Kind::VelmorWindow;
  const bool chat = workload == "chat";
  // Long lines: the rate that a chat line costing its own size must keep.
  const double wanted = lineLength > 0 ? 0.9 : window ? (chat ? 0.9 : 0.95) : (chat ? 0.95 : 0.9);
  char rule[32];
  std::snprintf(rule, sizeof rule, ">= %.2f x floor", wanted);
  results.rows.push_back(
      {label, "requests per second", velmor.rate, floor.rate, rule, wanted, true, true});
  if (window) {
    results.rows.push_back(
        {label, "p99 latency (us)", velmor.p99, floor.p99, "<= 1.5 x floor", 1.5, true, false});
  } else {
    results.rows.push_back({label, "server CPU per reply (us)", velmor.cpuPerReplyUs,
                            floor.cpuPerReplyUs, "<= 1.1 x floor", 1.1, true, false});
  }
  if (velmor.errors > 0)
    results.rows.push_back({label, "errors", double(velmor.errors), 0, "= 0", 0, false, false});
}

void RunMemory(const Options& options, Results& results) {
  Server process = Start(Kind::VelmorWindow, options, {});
  if (!WaitForListener(process.started, 10s)) Fail("velmor did not listen on port 5000");
  long atTenth = 0, atEnd = 0;
  Sample sample;
  {
    Room room;
    if (!SetUp(room, MaxMembers)) Fail("the set-up of the memory run failed");
    const std::string reply = MustAsk(room.connections[0], Fetch(0), LogLines);
    const long tenth = options.memoryRequests / 10;
    sample = Steady(
        room, [](int i, long) { return Fetch(i); }, reply.size(), reply, 600, process.pid,
        options.memoryRequests,
        [&](long replies) {
          if (replies == tenth) atTenth = Figures(process.pid).residentKiB;
        });
    atEnd = Figures(process.pid).residentKiB;
  }
  Stop(process);
  std::fprintf(stderr,
               "  memory: %ld requests with the window in %.1f s; resident %ld KiB at %ld, %ld KiB "
               "at the end\n",
               sample.replies, sample.seconds, atTenth, options.memoryRequests / 10, atEnd);
  results.rows.push_back({"memory +window",
                          "resident MB after " + std::to_string(sample.replies) + " requests",
                          double(atEnd) / 1024, 0, "<= 60", 60, false, false});
  results.rows.push_back({"memory +window", "growth KiB from 1/10 to the end",
                          double(atEnd - atTenth), 0, "<= 256", 256, false, false});
  char json[256];
  std::snprintf(json, sizeof json,
                "{\"workload\":\"memory\",\"server\":\"velmor+window\",\"requests\":%ld,\"resident_"
                "kib_at_tenth\":%ld,"
                "\"resident_kib_at_end\":%ld}",
                sample.replies, atTenth, atEnd);
  results.jsonParts.push_back(json);
}

void RunStartup(const Options& options, Results& results) {
  std::vector<double> velmor, floor;
  for (int rep = 0; rep < std::max(options.repetitions, 5); ++rep) {
    for (Kind kind : {Kind::VelmorWindow, Kind::Floor}) {
      Server process = Start(kind, options, "/*/");
      const auto ms = WaitForListener(process.started, 10s);
      (kind == Kind::Floor ? floor : velmor).push_back(ms.value_or(1e9));
      Stop(process);
    }
  }
  std::fprintf(stderr, "  start-up with the window: median %.1f ms (floor %.1f ms)\n",
               Median(velmor), Median(floor));
  results.rows.push_back({"start-up +window", "ms to listening", Median(velmor), Median(floor),
                          "<= 300", 300, false, false});
  char json[160];
  std::snprintf(
      json, sizeof json,
      "{\"workload\":\"startup\",\"server\":\"velmor+window\",\"ms\":%.1f,\"floor_ms\":%.1f}",
      Median(velmor), Median(floor));
  results.jsonParts.push_back(json);
}

}  // namespace velmor::bench
