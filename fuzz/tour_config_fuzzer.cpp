// The tour builder's config reader over an arbitrary text (include lines passed over, so no
// other file is read), with every setting it produced read back.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/console.h"
#include "fuzz/fuzz_support.h"
#include "makepano/config_file.h"
#include "makepano/pano_settings.h"

namespace {

void ignore_text(ConsoleOps*, const char*) {}
void ignore_log(ConsoleOps*, const char*, ...) {}

ConsoleOps* silent_console() {
  static ConsoleOps ops = [] {
    ConsoleOps made;
    console_install_callbacks(&made);
    made.log = ignore_log;
    made.print = ignore_text;
    made.error = ignore_text;
    return made;
  }();
  return &ops;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PanoSettings settings = default_pano_settings();
  const std::string text(reinterpret_cast<const char*>(data), size);
  apply_config_text(&settings, "/nonexistent/tour.config", text, silent_console());
  size_t count = 0;
  const SettingKey* keys = pano_setting_keys(&count);
  uint64_t sum = count;
  for (size_t i = 0; i < count; ++i) sum += qv_fuzz::touch(keys[i].key, 1);
  sum += qv_fuzz::touch(settings.tilepath.data(), settings.tilepath.size());
  sum += qv_fuzz::touch(settings.xmlpath.data(), settings.xmlpath.size());
  qv_fuzz::sink = sum;
  return 0;
}
