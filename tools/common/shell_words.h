#pragma once
// Words for a POSIX shell: what a command line shows, and what ssh hands to
// the shell on the far side.

#include <string>

namespace classify {

// `word` in single quotes, each quote in it written '\'': the shell reads it
// back as one word, whatever it holds.
std::string shell_quoted(const std::string& word);

// `word` as it is where the shell reads it back as it stands (letters,
// digits and -_./:=,+@%), otherwise shell_quoted.
std::string shell_word(const std::string& word);

}  // namespace classify
