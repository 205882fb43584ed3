// String helpers of the agent and its host: the one conversion between the agent's wide strings
// and UTF-8, case handling and splitting. Wide strings are std::wstring (UTF-32 on Linux). The
// host's services use them too, so they live in the module and the host links it.
//
// The UTF conversions never throw: an invalid sequence becomes U+FFFD.
// Case handling is ASCII-only, which is what every identifier, key and file name in the
// agent needs; other characters are left as they are.
//
// Thread safety: free functions without state; callable from any thread.
#pragma once

#include <string>
#include <vector>

namespace ZEL {
namespace String {

std::string UTF16ToUTF8(const std::wstring& text);
std::wstring UTF8ToUTF16(const std::string& text);

bool CaseInsesitiveEqual(const std::wstring& a, const std::wstring& b);
std::wstring ToLower(const std::wstring& text);
std::wstring ToUpper(const std::wstring& text);
// Removes every leading and trailing character that occurs in `characters`; returns `text`.
std::wstring& trim(std::wstring& text, const std::wstring& characters = L" \t\r\n");
// Splits at every occurrence of `separator`; empty pieces are kept ("a,,b" gives 3 pieces,
// "" gives one empty piece).
std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separator);

}  // namespace String
}  // namespace ZEL
