// Reading answers. A terminal delivers a line at a time, so an answer is the first byte of a
// line and the rest of that line is consumed with it; at the end of the input (a closed pipe,
// /dev/null) every read reports -1, and callers treat that as the answer that ends the question.
#include "makepano/key_input.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>

namespace {

int stdin_read_char(void*) {
  return fgetc(stdin);
}

void stdin_discard_pending(void*) {
  if (isatty(STDIN_FILENO)) tcflush(STDIN_FILENO, TCIFLUSH);
}

int text_read_char(void* user) {
  TextKeySource* source = static_cast<TextKeySource*>(user);
  if (source->position >= source->text.size()) return -1;
  return static_cast<unsigned char>(source->text[source->position++]);
}

}  // namespace

KeyInput stdin_key_input() {
  KeyInput input;
  input.read_char = stdin_read_char;
  input.discard_pending = stdin_discard_pending;
  return input;
}

KeyInput text_key_input(TextKeySource* source) {
  KeyInput input;
  input.read_char = text_read_char;
  input.user = source;
  return input;
}

int read_answer_char(const KeyInput& input) {
  if (input.discard_pending) input.discard_pending(input.user);
  const int answer = input.read_char(input.user);
  if (answer == -1 || answer == '\n') return answer;
  int c = answer;
  while (c != -1 && c != '\n') c = input.read_char(input.user);
  return answer;
}

bool read_answer_line(const KeyInput& input, std::string* text) {
  text->clear();
  int c = input.read_char(input.user);
  if (c == -1) return false;
  while (c != -1 && c != '\n') {
    text->push_back(static_cast<char>(c));
    c = input.read_char(input.user);
  }
  return true;
}
