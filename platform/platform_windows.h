#pragma once
// What the Windows side of the platform seam shares between its files: UTF-8
// text to and from the wide characters of Windows' own API.

#include <string>

namespace classify {

std::wstring wide(const std::string& utf8);
std::string utf8(const wchar_t* text, int length);

}  // namespace classify
