#pragma once
// The one text form of a photograph's classes that classify-photos hands on
// and keeps: the relay lines of the remote mode carry it, and the cache
// stores it. Either end reads it as untrusted input.
//
// A score is written as the shortest decimal that reads back as the very same
// float (std::to_chars), or "inf", "-inf", "nan", "-nan". Shortest rather than
// a fixed nine digits or a hexadecimal float: it is exact all the same, it
// depends on no locale, a person reading a cache or a relay line sees the
// number the line would print, and the six-digit texts that older caches hold
// are numbers of this form already, so one reader takes both.

#include <string>
#include <string_view>
#include <vector>

#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"

CLASSIFY_PHOTOS_IN_LAYER(core);

namespace classify {

// A score as the shortest text that reads back as the same float (the sign
// of zero and of NaN too).
std::string encode_score(float score);

// Reads what encode_score writes, and any decimal of the same characters
// (digits, a point, a sign, an exponent) within the range of a float; false
// for anything else: empty, spaces, a leading '+', other spellings of
// infinity or NaN, hexadecimal, trailing bytes, a number out of range.
bool decode_score(std::string_view text, float* score);

// "INDEX TAB SCORE", a class after another joined by a tab, the best first:
// no line break in it, so that it goes into a line as it is.
std::string encode_classes(const std::vector<class_score>& classes);

// Reads what encode_classes writes; false, with `classes` emptied, where
// `text` is empty, an index is not a whole number from 0 to 2^31 - 1, a score
// does not read (decode_score), or a field is missing or left over.
bool decode_classes(std::string_view text, std::vector<class_score>* classes);

}  // namespace classify
