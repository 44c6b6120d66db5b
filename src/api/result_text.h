#ifndef KORVANE_API_RESULT_TEXT_H
#define KORVANE_API_RESULT_TEXT_H

#include <cstdint>
#include <string>

namespace korvane {

// English text of a result code; codes without a row of their own are looked up once more
// with bits 8-15 cleared before the "Unknown error code: " fallback.
std::string ResultText(int32_t code);

// Copies text into a caller's buffer of `length` bytes: cut to length - 1 characters,
// NUL-terminated. Returns the characters written including the NUL, 0 for a null buffer or
// a length of 0 or less (nothing written then).
int CopyTextOut(const char* text, std::size_t text_length, char* buffer, int length);

}  // namespace korvane

#endif
