// Per-request parsing costs of the server: head scan and parse, path cleaning, patterns.
#include <benchmark/benchmark.h>

#include <string>

#include "server/http_parse.h"

namespace {

const std::string kBrowserRequest =
    "GET /tour/panos/pano_1.tiles/l3/02/l3_f_02_03.jpg?v=2 HTTP/1.1\r\n"
    "Host: 192.168.1.20:49873\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0\r\n"
    "Accept: image/avif,image/webp,*/*\r\nAccept-Language: en-US,en;q=0.5\r\n"
    "Accept-Encoding: gzip, deflate\r\nConnection: keep-alive\r\n"
    "Referer: http://192.168.1.20:49873/tour/tour.html\r\n\r\n";

void BM_HeadLengthAndParse(benchmark::State& state) {
  HttpRequest request;
  for (auto _ : state) {
    size_t length = request_head_length(kBrowserRequest.data(), kBrowserRequest.size());
    benchmark::DoNotOptimize(parse_request(kBrowserRequest.data(), length, &request));
  }
}
BENCHMARK(BM_HeadLengthAndParse);

void BM_DecodeAndCleanPath(benchmark::State& state) {
  for (auto _ : state) {
    std::string path = decode_percent_escapes("/tour/panos/%2e%2e/pano%201.tiles//l3/02/x.jpg");
    remove_double_dots_and_slashes(&path);
    benchmark::DoNotOptimize(path);
  }
}
BENCHMARK(BM_DecodeAndCleanPath);

void BM_HiddenFilePattern(benchmark::State& state) {
  const std::string path = "/home/user/tours/tour/panos/pano_1.tiles/l3/02/l3_f_02_03.jpg";
  for (auto _ : state) benchmark::DoNotOptimize(match_pattern("**.htpasswd$", path));
}
BENCHMARK(BM_HiddenFilePattern);

}  // namespace
