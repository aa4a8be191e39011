#pragma once
// --sort-into DIR: each classified photograph in DIR/<class>/<file name>, or
// with --sort-by category in DIR/<category>/<narrower category>/.../<file
// name>, as a symbolic link (the default), a hard link or a copy. Class names are made
// safe as folder names on Linux and Windows alike; two photographs of one
// name become "name (2).jpg"... Nothing that exists is replaced, and the
// photographs themselves are never moved. A copy is written under a
// temporary name of ours and renamed into place once whole and on the disk,
// so that a run killed partway leaves no photograph cut short.

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/classify-photos/core/choices.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// `label` as a folder name: "/", "\", the characters Windows forbids
// (: * ? " < > |) and control characters become "_"; trailing dots and
// spaces go; "", "." and ".." become "_"; the names Windows reserves (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, with any extension) get a "_" after the
// name; at most 200 bytes, cut between UTF-8 characters.
std::string folder_name(const std::string& label);

// The folders of the classes `labels` name, in their order: folder_name of
// each, and where two differ only in case ("Cat", "cat"), the later spelling
// " (2)" after it (or the next number that no other folder has in any
// case), so that they stay two folders on file systems that take them for
// one name (Windows', macOS', a memory card's). A label named twice has one
// folder.
std::vector<std::string> class_folder_names(const std::vector<std::string>& labels);

// The folder of the photographs no class counted for (--threshold):
// "unsure", or "unsure (2)"... where a class's folder among `class_folders`
// is named so in any case. Without class names the class folders are
// numbers, which never clash with it.
std::string unsure_folder_name(const std::vector<std::string>& class_folders);

// The folder of the classes under no category with --sort-by category, the
// name ImageNet's map gives them too, so that both are one folder.
inline constexpr char no_category_folder[] = "other";

// The folders of the categories `paths` give the classes (by class, broad to
// narrow), in their order: each level a folder named as class folders are,
// joined by "/", levels that differ only in case within one folder numbered
// apart as class_folder_names does; no_category_folder for a class with no
// path.
std::vector<std::string> category_folder_names(const std::vector<std::vector<std::string>>& paths);

// `name` with letters of one case, for telling names a file system that
// ignores case takes for one.
std::u32string caseless_name(const std::string& name);

// The folder among `given` (the photographs and folders of a batch) that is
// the folder `sort_into` itself, however each is spelled ("photos",
// "./photos/", a symbolic link to it); "" for none.
std::string given_folder_sorted_into(const std::string& sort_into,
                                     const std::vector<std::string>& given);

// What became of a photograph.
struct sorted_photo {
  std::string place;    // the link or copy; "" when it failed
  bool copied = false;  // a copy where a symbolic link could not be made
};

class class_sorter {
 public:
  class_sorter(std::string root, sort_mode mode) : root_(std::move(root)), mode_(mode) {}

  // Puts the photograph at `photo` into root/`folder`/ (`folder` may be
  // several levels, joined by "/"), unless it is there already (the same
  // link, the same file, or a copy of the same bytes under its name or a
  // numbered one), under a name that no other there has in any case; what
  // became of it, or why it cannot be put there: the folder or one above it
  // under root is a symbolic link (nothing is written through it), or a step
  // fails.
  result<sorted_photo> sort(const std::string& folder, const std::string& photo);

 private:
  // The names in a class folder, folded, read when the run first puts a
  // photograph there (and copies of ours that a killed run left are removed
  // then), with those the run adds.
  std::set<std::u32string>* names_in(const std::string& folder, const std::filesystem::path& path);

  std::string root_;
  sort_mode mode_;
  std::map<std::string, std::set<std::u32string>> folders_;
};

}  // namespace classify
