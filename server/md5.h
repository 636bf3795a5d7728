// MD5 message digest (RFC 1321), used only for HTTP Digest authorisation.
#pragma once

#include <string>

// The digest of data as 32 lower-case hexadecimal digits.
std::string md5_hex(const std::string& data);
