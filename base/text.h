// Text helpers: ASCII lower case, encodings at the operating-system boundary, quoting and
// base-64.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// UTF-8 <-> wide text (empty for empty or unconvertible input). Linux file names are UTF-8
// already, so these only serve code that needs code points.
std::wstring utf8_to_wide(const std::string& text);
std::string wide_to_utf8(const std::wstring& text);

// Lower-cases the letters A-Z; every other byte stays (no locale, UTF-8 bytes untouched).
char lowered_ascii(char c);
void lower_ascii(std::string* text);
std::string lowered_ascii(std::string text);

// UTF-8 -> the console's output encoding; the terminal speaks UTF-8, so this is the identity.
std::string utf8_to_console(const std::string& text);

// Surrounds with single quotes; a backslash is written as two, a single quote as \'.
std::string quote_for_command_line(const std::string& text);

// Standard base-64 (RFC 4648 alphabet, "=" padding).
std::string base64_encode(const uint8_t* data, size_t size);
// Ignores characters outside the alphabet, stops at a zero byte; padding shortens the result.
std::vector<uint8_t> base64_decode(const char* text);
// Builds the decoding table; called at start-up, and safe to call again from any thread.
void base64_init();
