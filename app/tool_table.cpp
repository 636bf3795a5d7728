// The tool words of this executable, tested top to bottom and left to right.
#include "app/dispatcher.h"

const ToolRow* tool_table(size_t* row_count) {
  // No tool has joined yet: every word falls through to banner and usage.
  *row_count = 0;
  return nullptr;
}
