// Measures the archive engine's compressor and zlib's deflate, raw streams at
// the same levels, on the same files: the tables of a sample database folder.
//
//   deflate_bench [benchmark flags] [FOLDER]
//
// FOLDER, else $QUILLO_SAMPLE_DB, else a folder in the build tree that is
// generated with scripts/make-sample-db on first use. Each iteration
// compresses every file of the folder once, one entry per file, as a zip run
// does. Reported: bytes_per_second (input) and `ratio`, input size over output
// size. bench/compare runs this and prints the two side by side.

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/deflate/deflate.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

struct Sample {
  std::vector<Bytes> files;
  std::uint64_t total = 0;
  std::size_t largest = 0;
};

Sample load_folder(const fs::path& folder) {
  std::vector<fs::path> paths;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  Sample s;
  for (const fs::path& p : paths) {
    std::ifstream in(p, std::ios::binary);
    Bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    s.total += data.size();
    s.largest = std::max(s.largest, data.size());
    s.files.push_back(std::move(data));
  }
  if (s.files.empty()) throw std::runtime_error("no files in " + folder.string());
  return s;
}

fs::path sample_folder(int argc, char** argv) {
  if (argc > 1) return argv[1];
  if (const char* env = std::getenv("QUILLO_SAMPLE_DB"); env != nullptr && *env != '\0') {
    return env;
  }
  const fs::path folder = QUILLO_BENCH_SAMPLE_DIR;
  if (!fs::exists(folder / "Clientes.ADT")) {
    const std::string command = std::string("python3 \"") + QUILLO_SOURCE_DIR +
                                "/scripts/make-sample-db\" \"" + folder.string() +
                                "\" 1>&2";  // keep stdout for the benchmark's own report
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
  }
  return folder;
}

// Serves one file from memory and copies the output into a buffer, as zlib
// does with its output; the archive writer would add its CRC and file writes.
class MemoryIo : public quillo::archive::DeflateIo {
 public:
  MemoryIo(const Bytes& input, std::uint8_t* out) : input_(input), out_(out) {}

  std::uint32_t ReadInput(std::uint8_t* buffer, std::uint32_t count) override {
    const std::size_t n = std::min<std::size_t>(count, input_.size() - position_);
    std::memcpy(buffer, input_.data() + position_, n);
    position_ += n;
    return static_cast<std::uint32_t>(n);
  }
  void WriteOutput(const std::uint8_t* buffer, std::uint32_t count) override {
    std::memcpy(out_ + written_, buffer, count);
    written_ += count;
  }

 private:
  const Bytes& input_;
  std::size_t position_ = 0;
  std::uint8_t* out_;
  std::size_t written_ = 0;
};

void report(benchmark::State& state, const Sample& sample, std::uint64_t out_total) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * sample.total));
  state.counters["ratio"] = static_cast<double>(sample.total) / static_cast<double>(out_total);
  state.counters["input_MB"] = static_cast<double>(sample.total) / 1e6;
}

void quillo_deflate(benchmark::State& state, const Sample* sample, int level) {
  quillo::archive::Deflater deflater;
  deflater.AllocateBuffers();
  // Stored data never grow by more than the stored-block headers.
  Bytes out(sample->largest + sample->largest / 1000 + 1024);
  std::uint64_t out_total = 0;
  for (auto _ : state) {
    out_total = 0;
    for (const Bytes& file : sample->files) {
      MemoryIo io(file, out.data());
      out_total += deflater.deflate(level, io).CompressedSize;
    }
    benchmark::DoNotOptimize(out.data());
  }
  report(state, *sample, out_total);
}

void zlib_deflate(benchmark::State& state, const Sample* sample, int level) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    state.SkipWithError("deflateInit2 failed");
    return;
  }
  Bytes out(deflateBound(&z, static_cast<uLong>(sample->largest)));
  std::uint64_t out_total = 0;
  for (auto _ : state) {
    out_total = 0;
    for (const Bytes& file : sample->files) {
      deflateReset(&z);
      z.next_in = const_cast<Bytef*>(file.data());
      z.avail_in = static_cast<uInt>(file.size());
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
        state.SkipWithError("deflate did not finish");
        break;
      }
      out_total += z.total_out;
    }
    benchmark::DoNotOptimize(out.data());
  }
  deflateEnd(&z);
  report(state, *sample, out_total);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  try {
    static const Sample sample = load_folder(sample_folder(argc, argv));
    // Registered side by side per level, so that in one run both meet the
    // same machine conditions; --benchmark_enable_random_interleaving mixes
    // repetitions further.
    for (int level : {1, 6, 9}) {
      const std::string suffix = "/level:" + std::to_string(level);
      benchmark::RegisterBenchmark(("quillo" + suffix).c_str(), quillo_deflate, &sample, level)
          ->Unit(benchmark::kMillisecond);
      benchmark::RegisterBenchmark(("zlib" + suffix).c_str(), zlib_deflate, &sample, level)
          ->Unit(benchmark::kMillisecond);
    }
  } catch (const std::exception& e) {
    std::cerr << "deflate_bench: " << e.what() << "\n";
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
