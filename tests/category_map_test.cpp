// The categories over a model's classes: a map file in any dialect the truth
// files have, the ImageNet map built in (for ImageNet's labels only), and
// labels that carry their own path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_support.h"
#include "tools/classify-photos/truth/categories.h"

namespace classify {
namespace {

using levels = std::vector<std::string>;

TEST(CategoryMap, EveryDialectGivesTheSamePathsAndABadLineIsNamed) {
  const std::vector<std::string> labels = {"beagle", "tabby, tabby cat", "crane", "crane", "pizza"};
  const label_matcher matcher(labels, labels.size());
  const std::vector<levels> expected = {
      {"animal", "dog"}, {"animal", "cat"}, {}, {"vehicle", "machine"}, {"food"}};
  for (const std::string& bytes : {
           std::string(
               "beagle\tanimal|dog\ntabby\tanimal | cat\n3\tvehicle|machine\npizza\tfood\n"),
           std::string("# a comment, with commas\r\nclass,path\r\n\"beagle\",animal|dog\r\n"
                       "\"tabby, tabby cat\",\"animal|cat\"\r\n3,vehicle||machine|\r\n4,food"),
           std::string("\xEF\xBB\xBF# exported\n0\tBeagle\tanimal|dog\n1\ttabby\tanimal|cat\n"
                       "3\tcrane\tvehicle|machine\n4\tpizza\tfood\n"),
       }) {
    const result<category_map> map = parse_category_map(bytes, matcher, 5);
    ASSERT_TRUE(map) << map.error().message << " in:\n" << bytes;
    EXPECT_EQ(map->paths, expected) << bytes;
  }
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"beagle\tanimal\nposodle\tanimal|dog\n", "line 2: \"posodle\" is no class of the model"},
      {"beagle\tanimal\ncrane\tbird\n", "line 2: \"crane\" names several classes; give its index"},
      {"beagle\tanimal\n7\tanimal\n", "line 2: \"7\" is no class of the model"},
      {"# one\n# two\n4\t | \n", "line 3: class 4 has no category"},
      {"4\tfood\npizza\tdish\n", "line 2: class 4 (pizza) was given a category on line 1 already"},
      {"beagle\t\"animal\n", "line 1"},
      {"beagle\n", "line 1 is not"},
  };
  for (const auto& [bytes, message] : bad) {
    const result<category_map> map = parse_category_map(bytes, matcher, 5);
    ASSERT_FALSE(map) << bytes;
    EXPECT_NE(map.error().message.find(message), std::string::npos)
        << map.error().message << " for:\n"
        << bytes;
  }
}

TEST(CategoryMap, TheImageNetMapIsTakenForImageNetsLabelsAlone) {
  std::vector<std::string> labels =
      lines_of(read_file(std::string(CLASSIFY_SOURCE_DIR) + "/models/imagenet_labels.txt"));
  ASSERT_EQ(labels.size(), 1001u);
  const std::optional<category_map> with_background = imagenet_category_map(labels);
  ASSERT_TRUE(with_background);
  EXPECT_EQ(with_background->paths.size(), 1001u);
  EXPECT_TRUE(with_background->paths[0].empty());                            // background
  EXPECT_EQ(with_background->paths[156], (levels{"animal", "pet", "dog"}));  // Shih-Tzu
  EXPECT_EQ(with_background->paths[1000], levels{"other"});                  // toilet tissue
  for (size_t i = 1; i < labels.size(); ++i) EXPECT_FALSE(with_background->paths[i].empty()) << i;

  const std::vector<std::string> without_background(labels.begin() + 1, labels.end());
  const std::optional<category_map> shifted = imagenet_category_map(without_background);
  ASSERT_TRUE(shifted);
  EXPECT_EQ(shifted->paths[155], (levels{"animal", "pet", "dog"}));

  std::vector<std::string> renamed = labels;
  renamed[500] += " ";
  for (const auto& other : {renamed, std::vector<std::string>(labels.begin(), labels.end() - 1),
                            std::vector<std::string>{"a", "b"}, std::vector<std::string>{}}) {
    EXPECT_FALSE(imagenet_category_map(other)) << other.size() << " labels";
  }
}

TEST(CategoryMap, LabelsThatCarryAPathLeaveTheirLastLevel) {
  std::vector<std::string> labels = {"animal|dog|beagle", "plain", "food | pizza", "|odd|", "a|"};
  const std::optional<category_map> map = split_label_paths(&labels);
  ASSERT_TRUE(map);
  EXPECT_EQ(labels, (std::vector<std::string>{"beagle", "plain", "pizza", "|odd|", "a|"}));
  EXPECT_EQ(map->paths, (std::vector<levels>{{"animal", "dog"}, {}, {"food"}, {}, {}}));
  std::vector<std::string> none = {"beagle", "tabby, tabby cat"};
  EXPECT_FALSE(split_label_paths(&none));
  EXPECT_EQ(none[0], "beagle");
}

}  // namespace
}  // namespace classify
