// Answers typed by the user: the tour builder's questions read single characters from standard
// input. The source is a record of functions so that tests can feed answers from a text.
#pragma once

#include <string>

// Where answers come from.
struct KeyInput {
  int (*read_char)(void* user) = nullptr;         // the next byte, or -1 at the end of the input
  void (*discard_pending)(void* user) = nullptr;  // drops typed-ahead input; may be null
  void* user = nullptr;
};

// Standard input: bytes from stdin; typed-ahead input is dropped only when it is a terminal.
KeyInput stdin_key_input();

// Reads one answer character: drops typed-ahead input, reads a byte, then the rest of its line.
// Returns the byte ('\n' for an empty line) or -1 at the end of the input.
int read_answer_char(const KeyInput& input);

// Reads one line (without its line end) into text; false at the end of the input with nothing
// read.
bool read_answer_line(const KeyInput& input, std::string* text);

// A source that answers from a fixed text, then reports the end of the input.
struct TextKeySource {
  std::string text;
  size_t position = 0;
};
KeyInput text_key_input(TextKeySource* source);
