// Small text helpers shared by the core and the backends. Standard C++ only;
// nothing here knows about disks or windows.
#pragma once

#include <string>
#include <string_view>

namespace veracap {

// ASCII case changes; other bytes pass unchanged, whatever the locale.
std::string Upper(std::string_view text);
std::string Lower(std::string_view text);

// The text without its leading and trailing spaces (only ' ').
std::string Trim(std::string_view text);

// A file name matched against a pattern of * and ? ignoring ASCII case, as
// FindFirstFile matches in one folder: "*.*" matches every name, dotted or not.
bool WildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace veracap
