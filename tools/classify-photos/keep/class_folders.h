#pragma once
// --sort-into DIR: each classified photograph in DIR/<class>/<file name>, as
// a symbolic link (the default), a hard link or a copy. Class names are made
// safe as folder names on Linux and Windows alike; two photographs of one
// name become "name (2).jpg"... Nothing that exists is replaced, and the
// photographs themselves are never moved.

#include <string>

namespace classify {

enum class sort_mode { symlink, hardlink, copy };

// `label` as a folder name: "/", "\", the characters Windows forbids
// (: * ? " < > |) and control characters become "_"; trailing dots and
// spaces go; "", "." and ".." become "_"; the names Windows reserves (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, with any extension) get a "_" after the
// name; at most 200 bytes, cut between UTF-8 characters.
std::string folder_name(const std::string& label);

// What became of a photograph.
struct sorted_photo {
  std::string place;    // the link or copy; "" when it failed
  bool copied = false;  // a copy where a symbolic link could not be made
};

// Puts the photograph at `photo` into `root`/`folder`/, unless it is there
// already (the same link, the same file, or a copy of the same bytes under
// its name or a numbered one); false, with `error`, when it cannot.
bool sort_photo(const std::string& root, const std::string& folder, const std::string& photo,
                sort_mode mode, sorted_photo* result, std::string* error);

}  // namespace classify
