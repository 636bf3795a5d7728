#include "base/banner.h"

#include "base/console.h"

void print_banner(ConsoleOps* ops, const char* title) {
  ops->log(ops, "\n%s %s%s%s (build %s)\n", title, kProductVersion, kPlatformSuffix, kEditionSuffix,
           kBuildDate);
}
