#include "tools/classify-photos/keep/keeper.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "tools/classify-photos/keep/class_folders.h"
#include "tools/classify-photos/keep/file_identity.h"
#include "tools/classify-photos/keep/xmp_sidecar.h"
#include "tools/classify-photos/output/report.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace classify {

namespace {

std::string number_text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

std::string values_text(const float (&values)[3]) {
  return number_text(values[0]) + "," + number_text(values[1]) + "," + number_text(values[2]);
}

// One name for one sidecar, however its photographs were given. On Windows
// in any case too: its file systems take IMG_1.xmp and img_1.xmp for one
// file, which IMG_1.CR2 and img_1.jpg share there, so it is written once
// with the keywords of both, not by each in turn over the other's.
std::string sidecar_key(const std::string& photo, sidecar_naming naming) {
  const std::filesystem::path key =
      std::filesystem::u8path(sidecar_path(photo, naming)).lexically_normal();
#if defined(_WIN32)
  const std::wstring name = key.wstring();
  std::wstring upper(name.size(), L'\0');
  const int size = static_cast<int>(name.size());
  if (size > 0 && LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, name.data(), size,
                                &upper[0], size, nullptr, nullptr, 0) == size) {
    return std::filesystem::path(upper).u8string();
  }
#endif
  return key.u8string();
}

}  // namespace

#ifndef CLASSIFY_VERSION
#error "CLASSIFY_VERSION must name the program's version"
#endif

std::string result_setup(const photos_options& options, const loaded_model& model,
                         const model_setup& setup) {
  std::string labels;
  for (const std::string& label : setup.labels) labels += label + "\n";
  // Another version of the program may prepare photographs otherwise: its
  // results are not taken for this one's.
  const std::string text =
      "program " CLASSIFY_VERSION "\nmodel " + content_hash(model.bytes, model.size) + "\ncrop " +
      number_text(options.crop) + "\nmean " + values_text(setup.norm.mean) + "\nstd " +
      values_text(setup.norm.std) + "\ntop " + std::to_string(options.top) + "\nkernels " +
      (options.kernels == kernel_choice::builtin ? "builtin" : "xnnpack") + "\nlabels " +
      (setup.have_labels ? content_hash(labels.data(), labels.size()) : "none") + "\n" +
      setup.selection.key();
  return content_hash(text.data(), text.size());
}

result<std::unique_ptr<result_keeper>> result_keeper::create(const photos_options& options,
                                                             const loaded_model& model,
                                                             const model_setup& setup) {
  if (options.cache.empty() && !options.xmp && options.sort_into.empty()) {
    return std::unique_ptr<result_keeper>();
  }
  if (options.xmp) {
    if (const outcome ready = xmp_ready(); !ready) return ready.error();
  }
  std::unique_ptr<result_keeper> keeper(new result_keeper(options, setup));
  if (!options.cache.empty()) {
    result<std::unique_ptr<result_cache>> cache = result_cache::open(options.cache);
    if (!cache) return cache.error();
    keeper->cache_ = std::move(*cache);
    keeper->setup_key_ = result_setup(options, model, setup);
  }
  if (!options.sort_into.empty()) {
    keeper->sorter_ = std::make_unique<class_sorter>(options.sort_into, options.sorting);
    if (options.sort_by == sort_key::by_category) {
      keeper->class_folders_ = category_folder_names(setup.categories.paths);
    } else if (setup.have_labels) {
      keeper->class_folders_ = class_folder_names(setup.labels);
    }
    // The unsure photographs' folder is named apart from the folders at the
    // top of the tree: the class folders, or the broadest categories.
    std::vector<std::string> top;
    for (const std::string& folder : keeper->class_folders_) {
      top.push_back(folder.substr(0, folder.find('/')));
    }
    keeper->unsure_folder_ = unsure_folder_name(top);
  }
  return keeper;
}

result<std::vector<photo_result>> result_keeper::find_kept(const std::vector<std::string>& photos) {
  std::vector<photo_result> kept(photos.size());
  if (options_.xmp) {
    std::map<std::string, size_t> named;
    for (const std::string& photo : photos) ++named[sidecar_key(photo, options_.xmp_naming)];
    for (const auto& [sidecar, count] : named) {
      if (count > 1) shared_sidecars_[sidecar].waiting = count;
    }
  }
  if (!cache_) return kept;
  for (size_t i = 0; i < photos.size(); ++i) {
    photo_result& photo = kept[i];
    const result<result_cache::lookup> found = cache_->find(photos[i], setup_key_, &photo.classes);
    if (!found) return found.error();
    if (*found == result_cache::lookup::found) {
      photo.outcome = photo_result::state::classified;
      photo.from_cache = true;
      ++from_cache_;
    } else {
      photo.classes.clear();
    }
  }
  return kept;
}

std::string result_keeper::label(int32_t index) const {
  if (setup_.have_labels && index >= 0 && static_cast<size_t>(index) < setup_.labels.size()) {
    return setup_.labels[static_cast<size_t>(index)];
  }
  return std::to_string(index);
}

std::string result_keeper::folder_of(int32_t index) const {
  if (index >= 0 && static_cast<size_t>(index) < class_folders_.size()) {
    return class_folders_[static_cast<size_t>(index)];
  }
  // A class beyond the map's has no category.
  if (options_.sort_by == sort_key::by_category) return no_category_folder;
  return folder_name(label(index));
}

// Each class as its category path and its label: a photo manager then
// finds a Shih-Tzu under "dog" and "animal" too.
std::vector<keyword_path> result_keeper::keywords(const photo_result& result) const {
  std::vector<keyword_path> words;
  // The score as the line prints it, so that a class shown at the threshold
  // (0.5 for a score of 0.49999997) makes its keyword; and the same whether
  // the photograph was classified now, relayed, or taken from a cache that an
  // earlier version wrote with those six digits alone.
  for (const class_score& c : result.classes) {
    if (printed_score(c.score) >= options_.keyword_threshold) {
      keyword_path path = setup_.categories.path_of(c.index);
      path.push_back(label(c.index));
      words.push_back(std::move(path));
    }
  }
  return words;
}

result_keeper::keeping result_keeper::keep(const std::string& path, const photo_result& result) {
  keeping kept;
  std::vector<std::string>* errors = &kept.errors;
  if (result.outcome != photo_result::state::classified) {
    if (options_.xmp) keep_keywords(path, result, errors);
    return kept;
  }
  if (cache_ && !result.from_cache && !cache_failed_) {
    // A photograph that went away after it was classified is not kept.
    if (const auto identity = read_identity(path)) {
      // A full disk, say: the batch goes on without the cache.
      if (const outcome stored = cache_->keep(path, setup_key_, *identity, result.classes);
          !stored) {
        cache_failed_ = true;
        errors->push_back(stored.error().message + "; the rest of the batch is not kept in it");
      }
    }
  }
  if (options_.xmp) keep_keywords(path, result, errors);
  if (sorter_) {
    const std::string folder =
        result.classes.empty() ? unsure_folder_ : folder_of(result.classes[0].index);
    const auto sorted = sorter_->sort(folder, path);
    if (!sorted) {
      errors->push_back("not sorted: " + sorted.error().message);
    } else if (sorted->copied && !told_of_copies_) {
      told_of_copies_ = true;
      kept.note = "symbolic links cannot be made in " + options_.sort_into +
                  ", so the photographs are copied there";
    }
  }
  return kept;
}

// A sidecar that photographs share holds the keywords of all of them that
// this run kept: the writer keeps them in the order given, whatever the
// number of jobs, so each write holds those kept before it.
void result_keeper::keep_keywords(const std::string& path, const photo_result& result,
                                  std::vector<std::string>* errors) {
  const bool classified = result.outcome == photo_result::state::classified;
  const std::vector<keyword_path> words =
      classified ? keywords(result) : std::vector<keyword_path>{};
  const std::string key = sidecar_key(path, options_.xmp_naming);
  const auto found = shared_sidecars_.find(key);
  if (found == shared_sidecars_.end()) {
    if (!classified) return;
    const outcome written = write_keywords(sidecar_path(path, options_.xmp_naming), words);
    if (!written) errors->push_back("its sidecar " + written.error().message);
    return;
  }
  shared_sidecar& shared = found->second;
  for (const keyword_path& word : words) {
    if (std::find(shared.words.begin(), shared.words.end(), word) == shared.words.end()) {
      shared.words.push_back(word);
    }
  }
  shared.any_classified = shared.any_classified || classified;
  shared.last_photo = path;
  if (shared.waiting > 0) --shared.waiting;
  if (shared.waiting == 0) write_shared(&shared, errors);
}

void result_keeper::write_shared(shared_sidecar* shared, std::vector<std::string>* errors) {
  const bool write = shared->any_classified;
  shared->any_classified = false;
  shared->waiting = 0;
  if (!write) return;
  const outcome written =
      write_keywords(sidecar_path(shared->last_photo, options_.xmp_naming), shared->words);
  if (!written) errors->push_back("its sidecar " + written.error().message);
}

void result_keeper::finish(std::vector<std::pair<std::string, std::string>>* errors) {
  for (auto& entry : shared_sidecars_) {
    shared_sidecar& shared = entry.second;
    if (shared.waiting == 0 || !shared.any_classified) continue;
    std::vector<std::string> reasons;
    write_shared(&shared, &reasons);
    for (const std::string& reason : reasons) errors->emplace_back(shared.last_photo, reason);
  }
}

std::string result_keeper::cache_summary(size_t photographs) const {
  if (!cache_) return "";
  return std::to_string(from_cache_) + " of " + std::to_string(photographs) +
         " photographs from the cache " + cache_->file();
}

}  // namespace classify
