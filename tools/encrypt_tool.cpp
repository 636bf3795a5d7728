// The encrypt tool: reports that encryption is not available and leaves every file as it is.
#include "tools/encrypt_tool.h"

#include "base/console.h"

const char kEncryptUnavailable[] =
    "ERROR: encrypt is not available in this version - no file was changed";

int encrypt_run(int, char**, std::string* result) {
  if (result) {
    *result = kEncryptUnavailable;
  } else {
    ConsoleOps* ops = console_ops();
    ops->error(ops, kEncryptUnavailable);
  }
  return 1;
}

int encrypt_main(int argc, char** argv) {
  return encrypt_run(argc, argv, nullptr);
}
