// cldb_crc_bench: CTkCRC64 beside liblzma's lzma_crc64, on the buffers the
// engine feeds it: 64-byte signatures (a query's or an insert's key), a
// record's id and bytes (128 bytes: its sum, at every read and write), and
// the reads of a whole table file (4 KiB pages, 1 MiB chunks: a seal of the
// first format).
//
// Before timing, both sides must agree on a million random signatures and on
// the check value; every timed batch is checked again. Each iteration runs
// the same batch through both sides, the first side alternating, and times
// each by the thread's CPU time.
//
//   cldb_crc_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <lzma.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "platform/CTkCRC64.h"

namespace {

double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

unsigned long long Ours(const unsigned char* data, size_t length) {
  return CTkCRC64::Compute(data, static_cast<unsigned>(length));
}

unsigned long long Lzma(const unsigned char* data, size_t length) {
  return lzma_crc64(data, length, 0);
}

bool AgreeOnSignatures(int count) {
  if (Ours(reinterpret_cast<const unsigned char*>("123456789"), 9) != 0x995DC9BBDF1939FAULL ||
      Lzma(reinterpret_cast<const unsigned char*>("123456789"), 9) != 0x995DC9BBDF1939FAULL)
    return false;
  std::mt19937_64 rng(1);
  unsigned char signature[64];
  for (int i = 0; i < count; ++i) {
    for (size_t at = 0; at < sizeof(signature); at += 8) {
      const uint64_t word = rng();
      memcpy(signature + at, &word, 8);
    }
    if (Ours(signature, sizeof(signature)) != Lzma(signature, sizeof(signature))) return false;
  }
  return true;
}

// One batch: as many buffers of `length` bytes as make about 64 KiB (small
// enough to stay in the processor's caches, as a signature just hashed or
// a chunk just read does), at least one.
struct Batch {
  explicit Batch(size_t bufferLength)
      : length(bufferLength), count(std::max<size_t>(1, 65536 / bufferLength)) {
    std::mt19937_64 rng(bufferLength);
    bytes.resize(length * count);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  }
  template <typename Crc>
  unsigned long long Run(Crc crc) const {
    unsigned long long folded = 0;
    for (size_t i = 0; i < count; ++i) folded ^= crc(bytes.data() + i * length, length) + i;
    return folded;
  }
  size_t length;
  size_t count;
  std::vector<unsigned char> bytes;
};

void SideBySide(benchmark::State& state) {
  const Batch batch(static_cast<size_t>(state.range(0)));
  double seconds[2] = {0, 0};
  for (auto _ : state) {
    unsigned long long results[2] = {0, 0};
    const int first = static_cast<int>(state.iterations() % 2);
    double total = 0;
    for (int turn = 0; turn < 2; ++turn) {
      const int side = (first + turn) % 2;
      const double start = ThreadSeconds();
      results[side] = side == 0 ? batch.Run(Ours) : batch.Run(Lzma);
      const double elapsed = ThreadSeconds() - start;
      seconds[side] += elapsed;
      total += elapsed;
    }
    if (results[0] != results[1]) return state.SkipWithError("the two CRCs differ");
    benchmark::DoNotOptimize(results);
    state.SetIterationTime(total);
  }
  const double buffers = static_cast<double>(state.iterations()) * static_cast<double>(batch.count);
  const double bytes = buffers * static_cast<double>(batch.length);
  state.counters["CTkCRC64_ns"] = seconds[0] / buffers * 1e9;
  state.counters["lzma_ns"] = seconds[1] / buffers * 1e9;
  state.counters["CTkCRC64_GB/s"] = bytes / seconds[0] / 1e9;
  state.counters["lzma_GB/s"] = bytes / seconds[1] / 1e9;
  state.counters["time_vs_lzma"] = seconds[0] / seconds[1];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  if (!AgreeOnSignatures(1000000)) {
    fprintf(stderr, "cldb_crc_bench: CTkCRC64 and lzma_crc64 disagree\n");
    return 1;
  }
  benchmark::RegisterBenchmark("CRC64", SideBySide)
      ->Arg(64)
      ->Arg(128)
      ->Arg(4096)
      ->Arg(1 << 20)
      ->UseManualTime()
      ->MinTime(0.5);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
