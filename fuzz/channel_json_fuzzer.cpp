// The second channel protocol's request handler over arbitrary payloads: whatever comes in, the
// answer is JSON text or "invalid json". A connect may name a live process; the watch is only
// recorded, never acted on here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "ipc/json_protocol.h"
#include "ipc/process_watch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ProcessWatch watch;
  const std::string answer = run_json_request(reinterpret_cast<const char*>(data), size, &watch);
  qv_fuzz::sink = qv_fuzz::touch(answer.data(), answer.size());
  return 0;
}
