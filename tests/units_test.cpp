// The pure parts of the tools, each against an independent statement of what
// it must do, swept over many inputs: the relay protocol and the chunk's
// header, chunk sizes, ssh command lines, shell words, option values, HTML
// escaping, the ranking of scores and the files named for options.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "model/scores.h"
#include "tests/support/run_support.h"
#include "tools/classify-photos/cli/option_table.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/core/class_encoding.h"
#include "tools/classify-photos/output/contact_sheet.h"
#include "tools/classify-photos/output/report.h"
#include "tools/classify-photos/remote/chunk.h"
#include "tools/classify-photos/remote/protocol.h"
#include "tools/classify-photos/remote/remote.h"
#include "tools/common/option_file.h"
#include "tools/common/shell_words.h"

namespace classify {
namespace {

photo_result classified(std::vector<class_score> classes) {
  photo_result result;
  result.outcome = photo_result::state::classified;
  result.classes = std::move(classes);
  return result;
}

// Whether two scores are the same float to the bit: NaN as NaN, -0 apart
// from 0.
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

photo_result failed(const std::string& reason) {
  photo_result result;
  result.outcome = photo_result::state::failed;
  result.reason = reason;
  return result;
}

TEST(Units, RelayLinesReadBackAsTheyWereSentAndNothingElseIsTaken) {
  const std::vector<photo_result> results = {
      classified({{653, 0.447165f}}),
      classified({{0, 1e-05f},
                  {1000, -3.5f},
                  {7, std::numeric_limits<float>::infinity()},
                  {12, std::numeric_limits<float>::quiet_NaN()},
                  {999, 0.0f}}),
      failed("not a photograph"),
      failed(""),
      failed("a\ttab, a\nline feed and a\rcarriage return"),
  };
  for (const long chunk : {1L, 2L, 4096L, 2147483647L}) {
    for (const size_t position : {size_t{0}, size_t{1}, size_t{255}, size_t{1} << 31}) {
      for (const photo_result& sent : results) {
        const std::string line = relay_line(chunk, position, sent);
        ASSERT_EQ(line.back(), '\n');
        ASSERT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        long got_chunk = 0;
        size_t got_position = 0;
        photo_result got;
        ASSERT_TRUE(
            parse_relay_line(line.substr(0, line.size() - 1), &got_chunk, &got_position, &got))
            << line;
        EXPECT_EQ(got_chunk, chunk);
        EXPECT_EQ(got_position, position);
        EXPECT_EQ(got.outcome, sent.outcome);
        ASSERT_EQ(got.classes.size(), sent.classes.size());
        for (size_t i = 0; i < sent.classes.size(); ++i) {
          EXPECT_EQ(got.classes[i].index, sent.classes[i].index);
          EXPECT_PRED2(same_bits, got.classes[i].score, sent.classes[i].score);
        }
        std::string reason = sent.reason;
        std::replace_if(
            reason.begin(), reason.end(),
            [](char c) { return c == '\t' || c == '\n' || c == '\r'; }, ' ');
        EXPECT_EQ(got.reason, reason);
      }
    }
  }
  // What a damaged or foreign stream might hold.
  for (const std::string bad : {"",
                                "1",
                                "1\t2",
                                "1\t2\t",
                                "1\t2\tok",
                                "1\t2\tok\t",
                                "1\t2\tmaybe\t3\t0.5",
                                "0\t2\tok\t3\t0.5",
                                "-1\t2\tok\t3\t0.5",
                                "x\t2\tok\t3\t0.5",
                                "1\t-2\tok\t3\t0.5",
                                "1\t2x\tok\t3\t0.5",
                                "1 \t2\tok\t3\t0.5",
                                "classify-photos: error",
                                "1\t2\tok\tx\t0.5",
                                "1\t2\tok\t-3\t0.5",
                                "1\t2\tok\t3\t",
                                "1\t2\tok\t3\t0.5\t4",
                                "1\t2\tok\t3\t0.5\t4\t",
                                "1\t2\tok\t\t0.5",
                                "1\t2\tok\t99999999999\t0.5"}) {
    long chunk = 0;
    size_t position = 0;
    photo_result result;
    EXPECT_FALSE(parse_relay_line(bad, &chunk, &position, &result)) << bad;
  }
}

// The one text form of the classes, which the relay and the cache carry:
// every float reads back to the bit and so prints as it did; the six digits
// an older cache kept read back to a float that prints them again; and
// nothing else is taken.
TEST(Units, ClassScoresReadBackExactlyAndNothingElseIsTaken) {
  using limits = std::numeric_limits<float>;
  std::vector<float> scores = {0.0f,
                               -0.0f,
                               limits::denorm_min(),
                               -limits::denorm_min(),
                               3 * limits::denorm_min(),
                               std::nextafter(limits::min(), 0.0f),
                               limits::min(),
                               1.0f,
                               std::nextafter(1.0f, 0.0f),
                               std::nextafter(1.0f, 2.0f),
                               0.447165f,
                               1e-7f,
                               1e-5f,
                               0.02f,
                               100000.0f,
                               limits::max(),
                               limits::lowest(),
                               limits::infinity(),
                               -limits::infinity(),
                               limits::quiet_NaN(),
                               -limits::quiet_NaN()};
  // Every power of two with its neighbours, and bit patterns at random.
  for (int exponent = -149; exponent <= 127; ++exponent) {
    const float power = std::ldexp(1.0f, exponent);
    scores.insert(scores.end(), {power, std::nextafter(power, 0.0f),
                                 std::nextafter(power, limits::infinity()), -power});
  }
  std::mt19937 random(7);
  for (int i = 0; i < 100000; ++i) {
    const uint32_t bits = random();
    float score = 0;
    std::memcpy(&score, &bits, sizeof score);
    // A NaN's payload is not kept, only that it is NaN and its sign.
    scores.push_back(std::isnan(score) ? std::copysign(limits::quiet_NaN(), score) : score);
  }
  for (const float score : scores) {
    const std::string text = encode_score(score);
    float back = 1;
    ASSERT_TRUE(decode_score(text, &back)) << text;
    ASSERT_PRED2(same_bits, back, score) << text;
    ASSERT_EQ(score_text(back), score_text(score)) << text;
    // What an older cache kept: the printed text, six digits.
    const std::string printed = score_text(score);
    ASSERT_TRUE(decode_score(printed, &back)) << printed;
    ASSERT_EQ(score_text(back), printed);
  }
  // Whole lists, the longest one class for each score.
  std::vector<class_score> all;
  for (size_t i = 0; i < scores.size(); ++i) {
    all.push_back({static_cast<int32_t>(i * 21474 % 2147483648u), scores[i]});
  }
  for (const size_t count : {size_t{1}, size_t{2}, size_t{5}, all.size()}) {
    const std::vector<class_score> sent(all.begin(), all.begin() + count);
    const std::string text = encode_classes(sent);
    ASSERT_EQ(text.find_first_of("\n\r"), std::string::npos);
    std::vector<class_score> got;
    ASSERT_TRUE(decode_classes(text, &got));
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(got[i].index, sent[i].index);
      EXPECT_PRED2(same_bits, got[i].score, sent[i].score);
    }
  }
  EXPECT_EQ(encode_classes({{653, 0.447165f}, {0, 1e-7f}, {2147483647, -limits::quiet_NaN()}}),
            "653\t0.447165\t0\t1e-07\t2147483647\t-nan");

  // What a damaged file or stream might hold.
  const std::vector<std::string> damaged = {"",
                                            "\t",
                                            "1",
                                            "1\t",
                                            "\t0.5",
                                            "1\t0.5\t",
                                            "1\t0.5\t2",
                                            "1\t0.5\t2\t",
                                            "1\t\t0.5",
                                            "1 0.5",
                                            "1\t0.5\n",
                                            "1\t0.5\r",
                                            std::string("1\t0.5\0", 6),
                                            "-1\t0.5",
                                            "+1\t0.5",
                                            " 1\t0.5",
                                            "1 \t0.5",
                                            "x\t0.5",
                                            "0x1\t0.5",
                                            "2147483648\t0.5",
                                            "99999999999\t0.5",
                                            "1\t 0.5",
                                            "1\t0.5 ",
                                            "1\t+0.5",
                                            "1\t0.5x",
                                            "1\t.",
                                            "1\te5",
                                            "1\t1e",
                                            "1\t--1",
                                            "1\t0x1p-3",
                                            "1\tINF",
                                            "1\tinfinity",
                                            "1\tNaN",
                                            "1\tnan(1)",
                                            "1\t+inf",
                                            "1\t1e39",
                                            "1\t-1e39",
                                            "1\t0,5"};
  for (const std::string& bad : damaged) {
    std::vector<class_score> got = {{1, 1.0f}};
    EXPECT_FALSE(decode_classes(bad, &got)) << bad;
    EXPECT_TRUE(got.empty()) << bad;
    const size_t tab = bad.find('\t');
    float score = 0;
    if (tab != std::string::npos && bad.find('\t', tab + 1) == std::string::npos &&
        bad.substr(0, tab) == "1") {
      EXPECT_FALSE(decode_score(bad.substr(tab + 1), &score)) << bad;
    }
  }
}

// The JSON lines and the keywords take a score as the number its line shows:
// one just under a threshold that prints at it is at it, and the number
// prints as the score did.
TEST(Units, AScoreIsTheNumberItPrintsAs) {
  EXPECT_EQ(printed_score(std::nextafter(0.5f, 0.0f)), 0.5);
  EXPECT_EQ(printed_score(0.447165012f), 0.447165);
  EXPECT_EQ(printed_score(1e-7f), 1e-7);
  std::mt19937 random(11);
  std::uniform_real_distribution<float> scores(0.0f, 1.0f);
  for (int i = 0; i < 10000; ++i) {
    const float score = scores(random);
    const double printed = printed_score(score);
    ASSERT_EQ(score_text(static_cast<float>(printed)), score_text(score)) << score;
    ASSERT_LE(std::fabs(printed - score), 5e-6 * std::max(std::fabs(printed), 1e-30)) << score;
  }
}

TEST(Units, ChunkHeadersAndListsReadBackAndDamagedOnesAreRefused) {
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"a.jpg"},
      {"home/ann/photos/1.jpg", "home/ann/photos/2 with spaces.png", "line\nfeed.jpg"},
      std::vector<std::string>(300, "srv/photos/same.jpg"),
  };
  for (const bool copy : {true, false}) {
    for (const std::vector<std::string>& list : lists) {
      const std::string head = chunk_head(copy, list);
      const size_t line_end = head.find('\n');
      chunk_header header;
      ASSERT_TRUE(parse_chunk_header(head.substr(0, line_end), &header)) << head;
      EXPECT_EQ(header.copy, copy);
      EXPECT_EQ(header.count, list.size());
      ASSERT_EQ(header.length, head.size() - line_end - 1);
      std::vector<std::string> paths;
      EXPECT_TRUE(parse_chunk_list(head.substr(line_end + 1), header.count, &paths));
      EXPECT_EQ(paths, list);
      if (!list.empty()) {
        EXPECT_FALSE(parse_chunk_list(head.substr(line_end + 1), header.count + 1, &paths));
        EXPECT_FALSE(parse_chunk_list(head.substr(line_end + 1), header.count - 1, &paths));
      }
    }
  }
  const std::string too_long = std::to_string(max_chunk_list + 1);
  for (const std::string& bad :
       std::vector<std::string>{"", "classify-photos-chunk", "classify-photos-chunk copy 1",
                                "classify-photos-chunk move 1 6", "other-chunk copy 1 6",
                                "classify-photos-chunk copy x 6", "classify-photos-chunk copy 1 -6",
                                "classify-photos-chunk here 1 " + too_long}) {
    chunk_header header;
    EXPECT_FALSE(parse_chunk_header(bad, &header)) << bad;
  }
}

TEST(Units, ChunksKeepEveryLoginBusyWithinTheirBounds) {
  for (size_t logins = 0; logins <= 12; ++logins) {
    for (size_t count = 0; count <= 5000; count += count < 64 ? 1 : 37) {
      const size_t size = chunk_size(count, logins);
      ASSERT_GE(size, 1u);
      ASSERT_LE(size, 256u);
      const size_t chunks = (count + size - 1) / size;
      // At most four chunks a login where the bound of 256 allows it, each
      // as small as that allows.
      const size_t spread = 4 * std::max<size_t>(logins, 1);
      if (size < 256) {
        EXPECT_LE(chunks, spread) << count << " " << logins;
      }
      if (size > 1) {
        EXPECT_GT((count + size - 2) / (size - 1), spread) << count << " " << logins;
      }
    }
  }
}

// What /bin/sh makes of `command`'s words, each printed on a line of its own.
std::vector<std::string> shell_reads(const std::string& command) {
  return lines_of(run_program("/bin/sh", {"-c", "printf '%s\\n' " + command}, ".").out);
}

TEST(Units, ShellWordsReadBackAsTheyWere) {
  std::vector<std::string> words = {"plain",     "",     "two words", "it's", "'",
                                    "\"$HOME\"", "`id`", "a;b|c&d",   "*",    "--x=1,2"};
  std::string every_byte;
  for (int c = 1; c < 256; ++c) {
    if (c != '\n') every_byte += static_cast<char>(c);
  }
  words.push_back(every_byte);
  std::string command;
  std::string plain_command;
  for (const std::string& word : words) {
    command += " " + shell_quoted(word);
    plain_command += " " + shell_word(word);
  }
  EXPECT_EQ(shell_reads(command), words);
  EXPECT_EQ(shell_reads(plain_command), words);
  EXPECT_EQ(shell_word("photos/a-1_b.jpg"), "photos/a-1_b.jpg");
  EXPECT_EQ(command_text({"classify-photos", "--top", "3", "my photo.jpg"}),
            "classify-photos --top 3 'my photo.jpg'");
}

TEST(Units, SshCommandsShareTheirConnectionAndKeepTheLoginWhole) {
  // A plain login: ssh with no password prompt, the login quoted whole.
  EXPECT_EQ(ssh_prefix("ann@gpu1", ""), "ssh -o BatchMode=yes 'ann@gpu1'");
  const std::string shared = ssh_prefix("ann@gpu1", "/tmp/c");
  EXPECT_EQ(shared,
            "ssh -o BatchMode=yes -o ControlMaster=auto -o ControlPersist=10 -o "
            "'ControlPath=/tmp/c/%C' 'ann@gpu1'");
  // An ssh command of the user's own keeps its options after the sharing.
  EXPECT_EQ(ssh_prefix("ssh -p 2222 ann@gpu1", "/tmp/c"),
            "ssh -o ControlMaster=auto -o ControlPersist=10 -o 'ControlPath=/tmp/c/%C' -p 2222 "
            "ann@gpu1");
  EXPECT_EQ(ssh_prefix("/usr/bin/ssh -p 2222 ann@gpu1", ""), "/usr/bin/ssh -p 2222 ann@gpu1");
  // Another command is taken as it is.
  EXPECT_EQ(ssh_prefix("rsh gpu1", "/tmp/c"), "rsh gpu1");
}

TEST(Units, OptionValuesAreOneNumberOrThreeAndFinite) {
  const std::vector<std::pair<std::string, std::vector<float>>> good = {
      {"127.5", {127.5f}},   {"0", {0.0f}},
      {"-1e3", {-1000.0f}},  {"123.675,116.28,103.53", {123.675f, 116.28f, 103.53f}},
      {"3.4e38", {3.4e38f}},
  };
  for (const auto& [text, want] : good) {
    std::vector<float> values;
    EXPECT_TRUE(parse_values(text, &values)) << text;
    EXPECT_EQ(values, want) << text;
  }
  for (const std::string bad : {"", ",", "1,", ",1", "1,,2", "1,2", "1,2,3,4", "x", "1x", "nan",
                                "inf", "-inf", "1e39", "1 ,2", "0x", "1;2"}) {
    std::vector<float> values;
    EXPECT_FALSE(parse_values(bad, &values)) << bad;
  }
}

// What the command line set in `options`, as text to compare (all but the
// command line itself, and whether --crop was given).
std::string settings(const photos_options& o) {
  std::ostringstream text;
  const auto list = [&text](const auto& values) {
    for (const auto& value : values) text << value << ",";
    text << "|";
  };
  text << o.model << "|" << o.labels << "|" << o.locale << "|";
  list(o.mean);
  list(o.std);
  text << o.top << "|" << o.describe << "|" << o.jobs << "|" << o.crop << "|"
       << static_cast<int>(o.kernels) << "|";
  list(o.sshlogins);
  text << o.remote_root << "|" << o.joblog << "|" << o.bar << o.json << "|" << o.html << "|"
       << o.truth << "|" << o.summary << "|" << o.cache << "|" << o.xmp
       << static_cast<int>(o.xmp_naming) << "|" << o.keyword_threshold << "|" << o.sort_into << "|"
       << static_cast<int>(o.sorting) << static_cast<int>(o.sort_by) << "|";
  list(o.photos);
  return text.str();
}

// The default --help and the manual page give an option is the one the tool
// takes without it: giving that default changes nothing.
TEST(Units, EachStatedDefaultIsTheOneTaken) {
  const auto parsed = [](std::vector<std::string> words) {
    photos_options options;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    EXPECT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), &options), std::nullopt);
    return settings(options);
  };
  const std::vector<std::string> plain = {"classify-photos", "--model",    "m.tflite", "--xmp",
                                          "--sort-into",     "classified", "x.jpg"};
  const std::string taken = parsed(plain);
  photos_options bound;
  size_t stated = 0;
  for (const option_entry& entry : user_options(&bound)) {
    // A default in words ("the number of cores") is not a value to give.
    if (entry.default_text.empty() || entry.default_text.find(' ') != std::string::npos ||
        !refusal(entry, entry.default_text).empty()) {
      continue;
    }
    ++stated;
    std::vector<std::string> words = plain;
    words.insert(words.begin() + 1, {entry.name, entry.default_text});
    EXPECT_EQ(parsed(words), taken) << entry.name;
  }
  // --locale, --top, --crop, --kernels, --xmp-name, --keyword-threshold, --sort-mode, --sort-by
  EXPECT_EQ(stated, 8u);
}

TEST(Units, HtmlEscapingLeavesNoMarkupAndKeepsEveryOtherByte) {
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
  const std::string escaped = html_escaped(every_byte);
  for (const char c : {'<', '>', '"', '\''}) EXPECT_EQ(escaped.find(c), std::string::npos) << c;
  // Reading the entities back gives the bytes again.
  std::string back = escaped;
  for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}}) {
    for (size_t at = back.find(entity); at != std::string::npos; at = back.find(entity, at + 1)) {
      back.replace(at, entity.size(), c);
    }
  }
  EXPECT_EQ(back, every_byte);
}

// A file named for an option (--truth, --categories, --only @FILE) is read
// whole, to its last byte across the reader's buffers, or refused unread:
// what is not a regular file (a FIFO without a writer would keep the tool
// waiting, /dev/zero would never end) and what is over the limit by a byte.
TEST(Units, AnOptionFileIsReadWholeOrRefusedUnread) {
  const scratch_dir dir;
  const auto read = [](const std::string& file, uintmax_t largest) {
    return read_option_file("--x " + file + ": ", file, largest, "too much");
  };
  for (const size_t size :
       {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{3 * 65536 + 7}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    dir.write("f", bytes);
    const result<std::string> whole = read(dir.file("f"), size);
    ASSERT_TRUE(whole) << size << ": " << whole.error().message;
    EXPECT_EQ(*whole, bytes) << size;
    if (size == 0) continue;
    const result<std::string> over = read(dir.file("f"), size - 1);
    ASSERT_FALSE(over) << size;
    EXPECT_EQ(over.error().message, "--x " + dir.file("f") + ": larger than " +
                                        std::to_string(size - 1) + " bytes: too much");
  }
  ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0644), 0);
  ASSERT_EQ(symlink("f", dir.file("link").c_str()), 0);
  ASSERT_EQ(symlink("gone", dir.file("dangling").c_str()), 0);
  EXPECT_TRUE(read(dir.file("link"), 1 << 20));
  for (const auto& [file, why] :
       std::vector<std::pair<std::string, std::string>>{{dir.file("gone"), "no such file"},
                                                        {dir.file("dangling"), "no such file"},
                                                        {dir.file("folder"), "not a regular file"},
                                                        {dir.file("fifo"), "not a regular file"},
                                                        {"/dev/zero", "not a regular file"},
                                                        {"/dev/null", "not a regular file"}}) {
    const result<std::string> got = read(file, 1 << 20);
    ASSERT_FALSE(got) << file;
    EXPECT_EQ(got.error().message, "--x " + file + ": " + why);
  }
}

TEST(Units, BestClassesRankAsAStableSortWithNanLast) {
  std::mt19937 random(7);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> pool = {0.0f, -0.0f, 1.0f, 0.5f, -2.0f, nan, inf, -inf, 1e-30f};
  for (int round = 0; round < 400; ++round) {
    const size_t size = 1 + random() % 40;
    std::vector<float> scores(size);
    for (float& s : scores) s = pool[random() % pool.size()];
    std::vector<int32_t> order(size);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      if (std::isnan(scores[b])) return !std::isnan(scores[a]);
      return !std::isnan(scores[a]) && scores[a] > scores[b];
    });
    for (const size_t count : {size_t{1}, size_t{3}, size, size + 5}) {
      const std::vector<ranked_class> best = best_classes(scores.data(), size, count);
      ASSERT_EQ(best.size(), std::min(count, size));
      for (size_t i = 0; i < best.size(); ++i) EXPECT_EQ(best[i].index, order[i]) << round;
    }
    // classify's own rule: the first strictly greatest above -1, else -1.
    int32_t index = 0;
    float score = 0;
    find_best_score(scores.data(), static_cast<int32_t>(size), &index, &score);
    int32_t want = -1;
    for (size_t i = 0; i < size; ++i) {
      if (scores[i] > -1.0f && (want < 0 || scores[i] > scores[want]))
        want = static_cast<int32_t>(i);
    }
    EXPECT_EQ(index, want) << round;
  }
}

}  // namespace
}  // namespace classify
