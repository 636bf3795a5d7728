#include "base/banner.h"

#include "base/console.h"

void print_banner(const char* title) {
  ConsoleOps* ops = console_ops();
  ops->log(ops, "\n%s %s%s%s (build %s)\n", title, kProductVersion, kPlatformSuffix,
           kEditionSuffix, kBuildDate);
}
