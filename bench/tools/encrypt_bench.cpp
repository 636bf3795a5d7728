// Sealing a tour's tiles: AES-256-GCM over the tiles of a 16000 x 8000 spherical tour turned into
// a cube (faces of 5120 pixels; levels 5120, 2560, 1280 and 640 in 512-pixel tiles: 828 tiles),
// each tile 48 KB of incompressible bytes (about a JPEG tile at quality 85), on one core; the key
// derivation (PBKDF2, 600,000 iterations) on its own; and the whole tool sealing such a tour from
// files into a folder (one derivation per call).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "base/files.h"
#include "tools/encrypt_tool.h"
#include "tools/tour_crypto.h"

namespace {

constexpr size_t kTileBytes = 48 * 1024;

// The tour's tile names relative to its XML's folder, level by level.
std::vector<std::string> tour_tile_names() {
  std::vector<std::string> names;
  const char sides[] = "lfrbud";
  int level = 1;
  for (int size : {640, 1280, 2560, 5120}) {
    const int count = (size + 511) / 512;
    for (int s = 0; s < 6; ++s)
      for (int v = 1; v <= count; ++v)
        for (int h = 1; h <= count; ++h)
          names.push_back("pano.tiles/l" + std::to_string(level) + "/" + sides[s] + "/" +
                          std::to_string(v) + "_" + std::to_string(h) + ".jpg");
    ++level;
  }
  return names;
}

std::string random_bytes(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

void BM_SealTourTiles(benchmark::State& state) {
  const std::vector<std::string> names = tour_tile_names();
  const std::string tile = random_bytes(kTileBytes, 1);
  TourKey key;
  tour_key_create("bench", CryptoMode::Password, kMinimumIterations, &key);
  CryptoContextPtr context(crypto_context_create());
  std::string sealed;
  for (auto _ : state) {
    for (const std::string& name : names) {
      tour_seal(context.get(), key, name, tile.data(), tile.size(), &sealed);
      benchmark::DoNotOptimize(sealed.data());
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(names.size() * kTileBytes));
  state.counters["tiles"] = double(names.size());
}
BENCHMARK(BM_SealTourTiles)->Unit(benchmark::kMillisecond);

void BM_OpenTourTile(benchmark::State& state) {
  const std::string tile = random_bytes(kTileBytes, 2);
  TourKey key;
  tour_key_create("bench", CryptoMode::Password, kMinimumIterations, &key);
  CryptoContextPtr context(crypto_context_create());
  std::string sealed, plain;
  tour_seal(context.get(), key, "pano.tiles/l4/f/1_1.jpg", tile.data(), tile.size(), &sealed);
  for (auto _ : state) {
    tour_open(context.get(), key, "pano.tiles/l4/f/1_1.jpg", sealed.data(), sealed.size(), &plain);
    benchmark::DoNotOptimize(plain.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kTileBytes));
}
BENCHMARK(BM_OpenTourTile)->Unit(benchmark::kMicrosecond);

void BM_DeriveKey(benchmark::State& state) {
  TourKey key;
  for (auto _ : state) {
    tour_key_create("a password of some length", CryptoMode::Password, 0, &key);
    benchmark::DoNotOptimize(key.key);
  }
}
BENCHMARK(BM_DeriveKey)->Unit(benchmark::kMillisecond)->Iterations(3);

// The tool from files to files: the XML, the tiles and the key derivation, written whole.
void BM_EncryptToolTour(benchmark::State& state) {
  char pattern[] = "/tmp/encrypt_bench_XXXXXX";
  const std::string folder = mkdtemp(pattern) ? pattern : "/tmp";
  const std::vector<std::string> names = tour_tile_names();
  write_whole_file(folder + "/pano.xml",
                   "<qorvel><image><cube url=\"pano.tiles/l%l/%s/%v_%h.jpg\"/></image></qorvel>\n");
  const std::string tile = random_bytes(kTileBytes, 3);
  for (const std::string& name : names) {
    create_directories_for(folder + "/" + name);
    write_whole_file(folder + "/" + name, tile);
  }
  setenv(kPasswordVariable, "bench password", 1);
  EncryptRequest request;
  request.files = {folder + "/pano.xml"};
  request.images = true;
  request.output_folder = folder + "/out";
  for (auto _ : state) {
    EncryptOutcome outcome;
    if (!encrypt_tour_files(request, &outcome)) state.SkipWithError(outcome.error.c_str());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(names.size() * kTileBytes));
  const std::string command = "rm -rf '" + folder + "'";
  if (system(command.c_str()) != 0) state.SkipWithError("cannot remove the bench folder");
}
BENCHMARK(BM_EncryptToolTour)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
