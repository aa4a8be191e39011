#include "tools/classify-photos/output/contact_sheet.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>

#include "model/scores.h"
#include "photo/thumbnail.h"
#include "tools/classify-photos/output/report.h"
#include "tools/common/atomic_file.h"
#include "tools/common/scratch_folder.h"

namespace classify {

namespace fs = std::filesystem;

namespace {

constexpr int thumbnail_quality = 80;

std::string thumbnail_name(size_t i) {
  char name[32];
  std::snprintf(name, sizeof name, "%06zu.jpg", i + 1);
  return name;
}

// A path's last part, for the caption (a backslash is a separator on
// Windows alone).
std::string file_name(const std::string& path) {
#if defined(_WIN32)
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A relative URL to the thumbnails' folder: each byte outside the unreserved
// set percent-encoded, so that any folder name stays one link.
std::string url_part(const std::string& text) {
  std::string url;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '~') {
      url += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      url += escaped;
    }
  }
  return url;
}

// Text of the page: UTF-8 whatever the file names hold (the page says it
// is), with the markup escaped.
std::string page_text(const std::string& text) { return html_escaped(valid_utf8(text)); }

std::string class_name(const std::vector<std::string>* labels, int32_t index) {
  const std::string label = labels != nullptr ? label_of(*labels, index) : "";
  return label.empty() ? "class " + std::to_string(index) : label;
}

// Whether photograph `i` of best class `best` is right by category: 1 where
// it is, 0 where it is not, -1 where that is not known (no truths, no map,
// a truth without a category).
int category_verdict(const category_map* categories, const std::vector<photo_truth>* truths,
                     size_t i, int32_t best) {
  if (categories == nullptr || truths == nullptr) return -1;
  const std::optional<bool> right = category_right(*categories, (*truths)[i], best);
  if (!right.has_value()) return -1;
  return *right ? 1 : 0;
}

// "animal | pet | dog" for a heading; "no category" for none.
std::string path_heading(const std::string& path) {
  if (path.empty()) return "no category";
  std::string heading;
  for (const char c : path) heading += c == '|' ? std::string(" | ") : std::string(1, c);
  return heading;
}

// "0.1234", or "none" over no photograph.
std::string share_text(size_t part, size_t whole) {
  if (whole == 0) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// A section's name on the page: its class's, or "unsure".
std::string group_name(const std::vector<std::string>* labels, int32_t group) {
  return group < 0 ? "unsure" : class_name(labels, group);
}

std::string photographs_text(size_t count) {
  return std::to_string(count) + (count == 1 ? " photograph" : " photographs");
}

const char style[] =
    R"(body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#fafafa}
header p{margin:.3em 0}code{background:#eee;padding:0 .3em;border-radius:3px;word-break:break-all}
nav{margin:1em 0;columns:16em}nav a{display:block;color:#036;text-decoration:none}
section{margin:1.5em 0}h2{font-size:1.15em;border-bottom:1px solid #ccc;padding-bottom:.2em}
h2 small{font-weight:normal;color:#666}.grid{display:flex;flex-wrap:wrap;gap:10px}
figure{margin:0;width:168px;background:#fff;border:1px solid #ddd;border-radius:4px;padding:4px}
figure img{display:block;margin:0 auto;max-width:160px;max-height:160px}
figcaption{font-size:12px;overflow-wrap:anywhere}figcaption .score{color:#063;font-weight:bold}
figcaption ol{margin:.2em 0 0;padding-left:1.4em;color:#555}.failed li{margin:.2em 0}
.hidden{display:none}figure.right{border-color:#4a4}figure.wrong{border-color:#c33}
.mark-right{color:#292}.mark-wrong{color:#b22}.accuracy b{font-size:1.2em}
.confusion td,.confusion th{text-align:left;padding:.1em .6em;vertical-align:top}
.confusion a{color:#036;margin-right:.6em}.pairs p{margin:.2em 0}
section.category>h2{font-size:1.3em}h3{font-size:1.05em;margin:.8em 0 .4em}
h3 small{font-weight:normal;color:#666}.by-category td,.by-category th{text-align:left;padding:.1em .6em}
.warning{color:#a60})";

// Filtering by class or file name, by a least score and, with --truth, to
// the wrong ones.
const char script[] =
    R"(const byText=document.getElementById('text'),byScore=document.getElementById('score'),
byWrong=document.getElementById('wrong');
function filter(){const t=byText.value.toLowerCase(),s=parseFloat(byScore.value);
for(const section of document.querySelectorAll('section.class')){let shown=0;
const group=section.closest('section.category');
const inName=(section.dataset.name+(group?'\n'+group.dataset.name:'')).toLowerCase().includes(t);
for(const f of section.querySelectorAll('figure')){
const ok=(inName||f.dataset.name.toLowerCase().includes(t))&&(isNaN(s)||parseFloat(f.dataset.score)>=s)&&
(!byWrong||!byWrong.checked||f.classList.contains('wrong'));
f.classList.toggle('hidden',!ok);if(ok)shown++;}
section.classList.toggle('hidden',shown===0);}
for(const c of document.querySelectorAll('section.category'))
c.classList.toggle('hidden',!c.querySelector('section.class:not(.hidden)'));}
byText.addEventListener('input',filter);byScore.addEventListener('input',filter);
if(byWrong)byWrong.addEventListener('change',filter);)";

}  // namespace

std::string html_escaped(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string contact_sheet::folder_of(const std::string& page) {
  const fs::path path = fs::u8path(page);
  return (path.parent_path() / fs::u8path(path.stem().u8string() + "_files")).u8string();
}

result<std::unique_ptr<contact_sheet>> contact_sheet::create(const std::string& page,
                                                             size_t count) {
  std::unique_ptr<contact_sheet> sheet(new contact_sheet(page, count));
  // Beside the page, so that it is renamed into place rather than copied.
  const fs::path beside = fs::u8path(page).parent_path();
  sheet->folder_ = make_scratch_folder(".classify-photos-thumbnails",
                                       beside.empty() ? std::string(".") : beside.u8string());
  if (sheet->folder_.empty()) {
    return failure{folder_of(page) + ": cannot make a folder for the thumbnails beside the page"};
  }
  return sheet;
}

void contact_sheet::add_thumbnail(size_t i, const rgb_image& picture) {
  if (i >= entries_.size() || folder_.empty()) return;
  int width = 0, height = 0;
  thumbnail_size(picture.width, picture.height, thumbnail_side, &width, &height);
  const std::vector<unsigned char> jpeg =
      thumbnail_jpeg(picture, thumbnail_side, thumbnail_quality);
  const outcome written = jpeg.empty() ? outcome(failure{"the thumbnail cannot be made"})
                                       : write_atomically(folder_ + "/" + thumbnail_name(i), jpeg);
  if (written) {
    entries_[i].width = static_cast<uint16_t>(width);
    entries_[i].height = static_cast<uint16_t>(height);
    return;
  }
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (failure_.empty()) failure_ = written.error().message;
}

void contact_sheet::record(size_t i, const photo_result& result) {
  if (i >= entries_.size()) return;
  entry& e = entries_[i];
  e.classified = result.outcome == photo_result::state::classified;
  e.classes = result.classes;
  e.reason = result.reason;
}

std::vector<std::pair<int32_t, size_t>> contact_sheet::classes_by_size(size_t* failed,
                                                                       size_t* unsure) const {
  std::map<int32_t, size_t> counts;
  *failed = 0;
  *unsure = 0;
  for (const entry& e : entries_) {
    if (e.classified && !e.classes.empty()) {
      ++counts[e.classes.front().index];
    } else if (e.classified) {
      ++*unsure;
    } else {
      ++*failed;
    }
  }
  std::vector<std::pair<int32_t, size_t>> order(counts.begin(), counts.end());
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return order;
}

void contact_sheet::write_header(std::ostream& page, size_t photos, size_t classes, size_t failed,
                                 const sheet_header& header) const {
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       << "<title>classify-photos: " << photos << " photographs in " << classes
       << " classes</title>\n<style>" << style << "</style>\n</head>\n<body>\n<header>\n<h1>"
       << photos << " photographs in " << classes << " classes</h1>\n";
  page << "<p>Model: <code>" << page_text(file_name(header.model)) << "</code>"
       << (header.model_name.empty() ? "" : " (" + page_text(header.model_name) + ")")
       << ". The batch took ";
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", header.seconds);
  page << seconds << " s"
       << (failed > 0
               ? ", and " + std::to_string(failed) +
                     (failed == 1 ? " photograph" : " photographs") + " could not be classified"
               : std::string())
       << ".</p>\n<p>Command: <code>" << page_text(header.command) << "</code></p>\n";
  page << "<p><label>Class or file name <input id=\"text\" type=\"search\"></label> "
       << "<label>Score at least <input id=\"score\" type=\"number\" step=\"any\"></label></p>\n"
       << "</header>\n";
}

void contact_sheet::write_class(std::ostream& page, int32_t index, size_t count,
                                const std::vector<std::string>& photos,
                                const std::vector<std::string>* labels,
                                const std::vector<photo_truth>* truths,
                                const category_map* categories, int level) const {
  const std::string folder_url = url_part(fs::u8path(folder_of(page_)).filename().u8string());
  const bool unsure = index == unsure_group;
  const std::string name = group_name(labels, index);
  const std::string heading = "h" + std::to_string(level);
  page << "<section class=\"class\" id=\""
       << (unsure ? std::string("unsure") : "class-" + std::to_string(index)) << "\" data-name=\""
       << page_text(name) << "\">\n<" << heading << ">" << page_text(name) << " <small>"
       << (unsure ? std::string("no class counted") : "class " + std::to_string(index)) << ", "
       << photographs_text(count) << "</small></" << heading << ">\n<div class=\"grid\">\n";
  for (size_t i = 0; i < entries_.size(); ++i) {
    const entry& e = entries_[i];
    if (!e.classified || e.group() != index) continue;
    const std::string score = unsure ? "" : page_text(score_text(e.classes.front().score));
    const std::string path = page_text(photos[i]);
    const std::string shown = page_text(file_name(photos[i]));
    const int32_t truth = truths != nullptr ? (*truths)[i].index : -1;
    // A truth that names a category alone is right or wrong by it; a class
    // taken for another of its category is wrong, and its category right.
    const int by_category = category_verdict(categories, truths, i, index);
    const bool judged = truth >= 0 || (by_category >= 0 && !(*truths)[i].category.empty());
    const bool right = truth >= 0 ? truth == index : by_category == 1;
    page << "<figure "
         << (!judged ? std::string()
                     : "id=\"photo-" + std::to_string(i + 1) + "\" class=\"" +
                           (right ? "right" : "wrong") + "\" ")
         << "data-name=\"" << shown << "\" data-score=\"" << score << "\">";
    if (e.width > 0) {
      const std::string src = folder_url + "/" + thumbnail_name(i);
      page << "<a href=\"" << src << "\"><img src=\"" << src << "\" width=\"" << e.width
           << "\" height=\"" << e.height << "\" alt=\"" << shown << "\" title=\"" << path
           << "\"></a>";
    }
    page << "<figcaption><span title=\"" << path << "\">" << shown
         << "</span><br><span class=\"score\">" << (unsure ? "unsure" : score) << "</span>";
    if (truth >= 0) {
      const std::string category = categories != nullptr && !right && by_category == 1
                                       ? " (its category, " +
                                             page_text(truth_category(*categories, (*truths)[i])) +
                                             ", right)"
                                       : std::string();
      page << (right ? " <span class=\"mark-right\">&#10004; right</span>"
                     : " <span class=\"mark-wrong\">&#10008; wrong: " +
                           page_text(class_name(labels, truth)) + category + "</span>");
    } else if (judged) {
      page << " <span class=\"mark-"
           << (right ? "right\">&#10004; right: " : "wrong\">&#10008; wrong: ")
           << page_text((*truths)[i].category) << "</span>";
    }
    if (e.classes.size() > 1) {
      page << "<ol start=\"2\">";
      for (size_t k = 1; k < e.classes.size(); ++k) {
        page << "<li>" << page_text(class_name(labels, e.classes[k].index)) << " "
             << page_text(score_text(e.classes[k].score)) << "</li>";
      }
      page << "</ol>";
    }
    page << "</figcaption></figure>\n";
  }
  page << "</div>\n</section>\n";
}

void contact_sheet::write_failed(std::ostream& page, size_t failed,
                                 const std::vector<std::string>& photos) const {
  page << "<section class=\"failed\" id=\"failed\">\n<h2>Not classified <small>" << failed
       << (failed == 1 ? " photograph" : " photographs") << "</small></h2>\n<ul>\n";
  for (size_t i = 0; i < entries_.size(); ++i) {
    const entry& e = entries_[i];
    if (e.classified) continue;
    page << "<li><span title=\"" << page_text(photos[i]) << "\">" << page_text(file_name(photos[i]))
         << "</span>: " << page_text(e.reason) << "</li>\n";
  }
  page << "</ul>\n</section>\n";
}

void contact_sheet::write_accuracy(std::ostream& page, const std::vector<photo_truth>& truths,
                                   const evaluation* by_category) const {
  size_t known = 0, right = 0;
  for (size_t i = 0; i < entries_.size() && i < truths.size(); ++i) {
    const entry& e = entries_[i];
    if (!e.classified || truths[i].index < 0) continue;
    ++known;
    right += e.group() == truths[i].index ? 1 : 0;
  }
  char accuracy[32];
  std::snprintf(accuracy, sizeof accuracy, "%.4f",
                known == 0 ? 0.0 : static_cast<double>(right) / static_cast<double>(known));
  page << "<p class=\"accuracy\">Accuracy: <b>" << (known == 0 ? "none" : accuracy) << "</b> ("
       << (known == 0
               ? "no photograph of a known class"
               : std::to_string(right) + " of " + std::to_string(known) +
                     (known == 1 ? " photograph" : " photographs") + " of a known class right")
       << ").";
  if (by_category != nullptr) {
    const size_t judged = by_category->category_evaluated();
    page << " By category: <b>" << share_text(by_category->category_top1(), judged) << "</b> ("
         << (judged == 0 ? "no photograph of a known category"
                         : std::to_string(by_category->category_top1()) + " of " +
                               photographs_text(judged) + " of a known category right")
         << "). <a href=\"#by-category\">Recall and precision by category</a>.";
  }
  page << " <a href=\"#confusion\">Confusions</a>. "
       << "<label><input id=\"wrong\" type=\"checkbox\"> the wrong ones only</label></p>\n";
}

void contact_sheet::write_confusions(std::ostream& page, const std::vector<std::string>& photos,
                                     const std::vector<std::string>* labels,
                                     const std::vector<photo_truth>& truths) const {
  // Only the classes that occur as truths, and only the cells off the
  // diagonal that hold photographs: readable with a thousand classes.
  struct row {
    size_t photographs = 0, right = 0;
    std::map<int32_t, std::vector<size_t>> taken_for;  // predicted -> photographs
  };
  std::map<int32_t, row> rows;
  for (size_t i = 0; i < entries_.size() && i < truths.size(); ++i) {
    const entry& e = entries_[i];
    if (!e.classified || truths[i].index < 0) continue;
    row& r = rows[truths[i].index];
    ++r.photographs;
    const int32_t predicted = e.group();
    if (predicted == truths[i].index) {
      ++r.right;
    } else {
      r.taken_for[predicted].push_back(i);
    }
  }
  page << "<section class=\"confusion\" id=\"confusion\">\n<h2>Confusions <small>the true "
       << "classes, and what they were taken for</small></h2>\n<table>\n<tr><th>true class</th>"
       << "<th>photographs</th><th>right</th><th>taken for</th></tr>\n";
  for (const auto& [truth, r] : rows) {
    page << "<tr><td>" << page_text(class_name(labels, truth)) << "</td><td>" << r.photographs
         << "</td><td>" << r.right << "</td><td>";
    for (const auto& [predicted, which] : r.taken_for) {
      page << "<a href=\"#confused-" << truth << "-" << predicted << "\">"
           << page_text(group_name(labels, predicted)) << " (" << which.size() << ")</a>";
    }
    page << "</td></tr>\n";
  }
  page << "</table>\n<div class=\"pairs\">\n";
  for (const auto& [truth, r] : rows) {
    for (const auto& [predicted, which] : r.taken_for) {
      page << "<p id=\"confused-" << truth << "-" << predicted << "\">"
           << page_text(class_name(labels, truth)) << " taken for "
           << page_text(group_name(labels, predicted)) << ":";
      for (const size_t i : which) {
        page << " <a href=\"#photo-" << i + 1 << "\">" << page_text(file_name(photos[i])) << "</a>";
      }
      page << "</p>\n";
    }
  }
  page << "</div>\n</section>\n";
}

void contact_sheet::write_category_figures(std::ostream& page, const evaluation& figures) const {
  page << "<section class=\"by-category\" id=\"by-category\">\n<h2>By category <small>of "
       << photographs_text(figures.category_evaluated())
       << " of a known category: recall and precision</small></h2>\n<table>\n"
       << "<tr><th>category</th><th>photographs</th><th>recall</th><th>precision</th></tr>\n";
  std::vector<std::string> no_recall, no_precision;
  for (const evaluation::category_counts& row : figures.category_table()) {
    page << "<tr><td>" << page_text(row.name) << "</td><td>" << row.truths << "</td><td>"
         << share_text(row.right, row.truths) << "</td><td>" << share_text(row.right, row.predicted)
         << "</td></tr>\n";
    if (row.truths == 0) no_recall.push_back(row.name);
    if (row.predicted == 0) no_precision.push_back(row.name);
  }
  page << "</table>\n";
  // A figure over no photograph is none, and said to be.
  for (const std::string& line : evaluation::category_warnings(no_recall, no_precision)) {
    page << "<p class=\"warning\">Warning: " << page_text(line) << ".</p>\n";
  }
  page << "</section>\n";
}

std::vector<contact_sheet::category_group> contact_sheet::groups_of(
    const std::vector<std::pair<int32_t, size_t>>& order, const category_map& categories) {
  std::vector<category_group> groups;
  std::map<std::string, size_t> at;  // path -> position in groups
  for (const auto& [index, count] : order) {
    const std::string path = path_text(categories.path_of(index));
    const auto found = at.emplace(path, groups.size());
    if (found.second) groups.push_back({path, 0, {}});
    category_group& group = groups[found.first->second];
    group.count += count;
    group.classes.emplace_back(index, count);
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const auto& a, const auto& b) { return a.count > b.count; });
  return groups;
}

outcome contact_sheet::put_in_place(const std::string& text) const {
  // The page through a temporary name; the thumbnails' folder into the place
  // of the earlier one just before, so that the page never links a folder
  // that is not there.
  const std::string folder = folder_of(page_);
  std::error_code error;
  fs::remove_all(fs::u8path(folder), error);
  if (!error) fs::rename(fs::u8path(folder_), fs::u8path(folder), error);
  if (error) return failure{folder + ": cannot be put in place: " + error.message()};
  return write_atomically(page_, std::vector<unsigned char>(text.begin(), text.end()));
}

outcome contact_sheet::finish(const std::vector<std::string>& photos,
                              const std::vector<std::string>* labels, const sheet_header& header,
                              const std::vector<photo_truth>* truths,
                              const category_map* categories, const evaluation* figures) {
  {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (!failure_.empty()) return failure{failure_};
  }
  if (categories != nullptr && !categories->in_use()) categories = nullptr;
  size_t failed = 0, unsure = 0;
  const std::vector<std::pair<int32_t, size_t>> order = classes_by_size(&failed, &unsure);
  const std::vector<category_group> groups =
      categories != nullptr ? groups_of(order, *categories) : std::vector<category_group>();
  std::ostringstream page;
  write_header(page, photos.size(), order.size(), failed, header);
  const evaluation* const by_category =
      truths != nullptr && categories != nullptr ? figures : nullptr;
  if (truths != nullptr) write_accuracy(page, *truths, by_category);
  page << "<nav>\n";
  for (size_t g = 0; g < groups.size(); ++g) {
    page << "<a href=\"#category-" << g + 1 << "\">" << page_text(path_heading(groups[g].path))
         << " (" << groups[g].count << ")</a>\n";
  }
  for (const auto& [index, count] : order) {
    if (categories != nullptr) break;  // the categories' links stand for them
    page << "<a href=\"#class-" << index << "\">" << page_text(class_name(labels, index)) << " ("
         << count << ")</a>\n";
  }
  if (unsure > 0) page << "<a href=\"#unsure\">unsure (" << unsure << ")</a>\n";
  if (failed > 0) page << "<a href=\"#failed\">not classified (" << failed << ")</a>\n";
  page << "</nav>\n";
  if (by_category) write_category_figures(page, *by_category);
  if (truths != nullptr) write_confusions(page, photos, labels, *truths);
  for (size_t g = 0; g < groups.size(); ++g) {
    const category_group& group = groups[g];
    page << "<section class=\"category\" id=\"category-" << g + 1 << "\" data-name=\""
         << page_text(group.path) << "\">\n<h2>" << page_text(path_heading(group.path))
         << " <small>" << photographs_text(group.count) << " in " << group.classes.size()
         << (group.classes.size() == 1 ? " class" : " classes") << "</small></h2>\n";
    for (const auto& [index, count] : group.classes) {
      write_class(page, index, count, photos, labels, truths, categories, 3);
    }
    page << "</section>\n";
  }
  for (const auto& [index, count] : order) {
    if (categories != nullptr) break;  // written within their categories
    write_class(page, index, count, photos, labels, truths, nullptr, 2);
  }
  if (unsure > 0) write_class(page, unsure_group, unsure, photos, labels, truths, categories, 2);
  if (failed > 0) write_failed(page, failed, photos);
  page << "<script>\n" << script << "\n</script>\n</body>\n</html>\n";
  return put_in_place(page.str());
}

}  // namespace classify
