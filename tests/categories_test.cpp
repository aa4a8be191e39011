// The everyday categories of ImageNet's classes, models/imagenet_categories.tsv:
// written by scripts/categories/generate-categories from WordNet 3.0, read by
// the programs without it. The tests hold the committed map to what the script
// writes, and to what someone who searches a photo library for "dog" expects.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_support.h"

namespace classify {
namespace {

const std::string source_dir = CLASSIFY_SOURCE_DIR;
const std::string committed_map = source_dir + "/models/imagenet_categories.tsv";
const std::string generator = source_dir + "/scripts/categories/generate-categories";
const std::string wordnet_nouns = "/usr/share/wordnet/data.noun";

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::istringstream in(text);
  for (std::string field; std::getline(in, field, separator);) fields.push_back(field);
  return fields;
}

struct category_row {
  std::string wnid;  // from models/imagenet_wnids.txt, in the same order
  std::string index;
  std::string label;
  std::vector<std::string> path;
};

// The committed map's rows, each with its class's synset, and the count of
// classes under no category that its header states (-1 when it states none).
struct category_map {
  std::vector<category_row> rows;
  int stated_others = -1;
};

category_map read_map() {
  category_map map;
  const std::vector<std::string> wnids =
      lines_of(read_file(source_dir + "/models/imagenet_wnids.txt"));
  for (const std::string& line : lines_of(read_file(committed_map))) {
    if (line.rfind("# ", 0) == 0) {
      const auto words = split(line.substr(2), ' ');
      if (words.size() > 4 && words[1] == "of" && words[3] == "classes") {
        map.stated_others = std::stoi(words[0]);
      }
      continue;
    }
    const auto fields = split(line, '\t');
    if (fields.size() != 3) ADD_FAILURE() << "not index, label, path: " << line;
    if (fields.size() != 3 || map.rows.size() >= wnids.size()) continue;
    map.rows.push_back({wnids[map.rows.size()], fields[0], fields[1], split(fields[2], '|')});
  }
  return map;
}

// The names of scripts/categories/categories.tsv.
std::set<std::string> listed_categories() {
  std::set<std::string> names;
  for (const std::string& line :
       lines_of(read_file(source_dir + "/scripts/categories/categories.tsv"))) {
    const auto fields = split(line, '\t');
    if (!line.empty() && line[0] != '#' && fields.size() > 1) names.insert(fields[1]);
  }
  return names;
}

bool under(const category_row& row, const std::string& category) {
  return std::find(row.path.begin(), row.path.end(), category) != row.path.end();
}

const category_row* find_synset(const category_map& map, const std::string& wnid) {
  for (const category_row& row : map.rows) {
    if (row.wnid == wnid) return &row;
  }
  return nullptr;
}

TEST(Categories, GeneratorWritesTheCommittedMap) {
  if (!std::filesystem::exists(wordnet_nouns)) {
    GTEST_SKIP() << "no " << wordnet_nouns << " (Debian: wordnet-base) to run the generator over";
  }
  scratch_dir scratch;
  const run_result run =
      run_program(generator, {"--output", scratch.file("map.tsv")}, scratch.path);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> written = lines_of(read_file(scratch.file("map.tsv")));
  const std::vector<std::string> committed = lines_of(read_file(committed_map));
  for (size_t i = 0; i < std::min(written.size(), committed.size()); ++i) {
    ASSERT_EQ(written[i], committed[i])
        << "line " << i + 1 << " differs: run " << generator << " and commit " << committed_map;
  }
  EXPECT_EQ(written.size(), committed.size());
  EXPECT_EQ(read_file(scratch.file("map.tsv")), read_file(committed_map)) << "the bytes differ";
}

// Every class, in the label file's order, with a path over the listed names
// only; the header's count of "other" is the rows'.
TEST(Categories, EveryClassHasAPathOfListedCategories) {
  const category_map map = read_map();
  const std::vector<std::string> labels =
      lines_of(read_file(source_dir + "/models/imagenet_labels.txt"));
  const std::set<std::string> listed = listed_categories();
  ASSERT_EQ(map.rows.size(), 1000u);
  ASSERT_EQ(labels.size(), map.rows.size() + 1);  // "background" first, with no row
  int others = 0;
  for (size_t i = 0; i < map.rows.size(); ++i) {
    const category_row& row = map.rows[i];
    EXPECT_EQ(row.index, std::to_string(i + 1));
    EXPECT_EQ(row.label, labels[i + 1]) << "class " << i + 1;
    ASSERT_FALSE(row.path.empty()) << row.label;
    if (row.path == std::vector<std::string>{"other"}) {
      ++others;
      continue;
    }
    for (const std::string& category : row.path) {
      EXPECT_EQ(listed.count(category), 1u) << row.label << ": '" << category << "' is not listed";
      EXPECT_EQ(std::count(row.path.begin(), row.path.end(), category), 1) << row.label;
    }
  }
  EXPECT_EQ(map.stated_others, others);
}

// What someone looks for: each of ImageNet's 118 dog breeds (the classes
// 151..268 of the 1000, the synsets under n02084071 "dog, domestic dog") and
// nothing else is a dog; the five house cats and nothing else are cats; and
// classes that share a word take their own synset's categories.
TEST(Categories, SearchesFindTheClassesTheyMean) {
  const category_map map = read_map();
  ASSERT_EQ(map.rows.size(), 1000u);
  for (size_t i = 0; i < map.rows.size(); ++i) {
    const bool breed = i >= 151 && i <= 268;
    EXPECT_EQ(under(map.rows[i], "dog"), breed) << map.rows[i].label;
    if (breed) {
      EXPECT_TRUE(under(map.rows[i], "animal")) << map.rows[i].label;
    }
  }
  const std::set<std::string> house_cats = {"n02123045", "n02123159", "n02123394", "n02123597",
                                            "n02124075"};
  for (const category_row& row : map.rows) {
    EXPECT_EQ(under(row, "cat"), house_cats.count(row.wnid) == 1) << row.label;
  }

  struct expectation {
    std::string wnid, label, in, not_in;
  };
  const std::vector<expectation> synsets = {
      {"n01440764", "tench, Tinca tinca", "fish", "food"},
      {"n02086240", "Shih-Tzu", "dog", "cat"},
      {"n02123045", "tabby, tabby cat", "cat", "dog"},
      {"n07871810", "meat loaf, meatloaf", "food", "animal"},
      {"n02704792", "amphibian, amphibious vehicle", "vehicle", "animal"},
      {"n09468604", "valley, vale", "landscape", "other"},
      {"n02012849", "crane", "bird", "machine"},
      {"n03126707", "crane", "machine", "animal"},
      {"n03782006", "monitor", "electronics", "animal"},
      {"n12144580", "corn", "plant", "animal"},
      {"n13133613", "ear, spike, capitulum", "plant", "clothing"},
  };
  for (const expectation& e : synsets) {
    const category_row* row = find_synset(map, e.wnid);
    ASSERT_NE(row, nullptr) << e.wnid;
    EXPECT_EQ(row->label, e.label) << e.wnid;
    EXPECT_TRUE(under(*row, e.in)) << e.label << " is not under " << e.in;
    EXPECT_FALSE(under(*row, e.not_in)) << e.label << " is under " << e.not_in;
  }
  EXPECT_NE(find_synset(map, "n02012849")->path, find_synset(map, "n03126707")->path);
  for (const char* wnid : {"n02012849", "n02086240", "n02123045", "n01440764"}) {
    EXPECT_EQ(find_synset(map, wnid)->path.front(), "animal") << wnid;
  }
}

}  // namespace
}  // namespace classify
