#pragma once
// Windows-1251 <-> UTF-8. The settings file is stored in Windows-1251; the program works in
// UTF-8. Byte 0x98 has no character in the code page: it decodes to U+0098 and encodes back
// to 0x98, so such a byte survives any read-modify-write. A character outside the code page
// encodes as '?'.

#include <string>

namespace qmx {

std::string cp1251ToUtf8(const std::string& bytes);
std::string utf8ToCp1251(const std::string& utf8);

// Case folding of one Windows-1251 byte (Latin and Cyrillic letters, Ё/ё and the other
// Cyrillic letters of the upper half included).
unsigned char cp1251ToLower(unsigned char c);

}  // namespace qmx
