#pragma once
// UTF-16 <-> UTF-8. Paths travel as UTF-16; files, logs and sockets use UTF-8.
// Unpaired surrogates and malformed UTF-8 become U+FFFD, never a truncation.
#include <string>
#include <string_view>

std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);
// Length of a NUL-terminated UTF-16 string; 0 for null.
size_t Utf16Length(const char16_t* text);
