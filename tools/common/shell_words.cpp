#include "tools/common/shell_words.h"

namespace classify {

std::string shell_quoted(const std::string& word) {
  std::string text = "'";
  for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return text + "'";
}

std::string shell_word(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789-_./:=,+@%") == std::string::npos;
  return plain ? word : shell_quoted(word);
}

}  // namespace classify
