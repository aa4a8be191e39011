#pragma once
// What a chunk's ssh session carries. Forth: a header line, then the list of
// the chunk's photographs (each path ended by a NUL), then, in "copy", their
// tar stream. Back: the relay form, a line a photograph's result. Each side
// reads what the other sends as untrusted input.

#include <cstddef>
#include <string>
#include <vector>

#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(remote);

namespace classify {

// The relay form of one result, as a machine that runs chunk `chunk` sends it
// back: "CHUNK TAB POSITION TAB ok TAB CLASSES" (encode_classes: INDEX TAB
// SCORE, each score exact), "CHUNK TAB POSITION TAB unsure" where no class
// counted (--threshold), or "CHUNK TAB POSITION TAB error TAB REASON" (tabs
// and line breaks in the reason become spaces), and a line feed.
std::string relay_line(long chunk, size_t position, const photo_result& result);

// Reads a line of the relay form (without its line feed); false when it is
// not one.
bool parse_relay_line(const std::string& line, long* chunk, size_t* position, photo_result* result);

// The header and the list that begin a chunk of `paths`: in "copy" (the
// photographs follow as a tar stream) or "here" (they are at those paths on
// the far side already).
std::string chunk_head(bool copy, const std::vector<std::string>& paths);

// The largest list of photographs a chunk's header may announce.
inline constexpr size_t max_chunk_list = size_t{64} << 20;

// What a chunk's header line (without its line feed) announces.
struct chunk_header {
  bool copy = false;
  size_t count = 0;   // photographs
  size_t length = 0;  // bytes of their list, which follows the line
};

// Reads a chunk's header line; false when it is not one, or announces a list
// longer than max_chunk_list.
bool parse_chunk_header(const std::string& line, chunk_header* header);

// The paths of a chunk's list of `count` photographs; false when the list
// does not hold exactly that many.
bool parse_chunk_list(const std::string& list, size_t count, std::vector<std::string>* paths);

}  // namespace classify
