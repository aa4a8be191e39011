#pragma once
// What stays of a batch beside its lines: the cache of results (--cache), the
// keywords in the photographs' sidecars (--xmp) and the class folders
// (--sort-into). The writer hands it each photograph as its line is written,
// whether classified now or taken from the cache.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/interpreter.h"
#include "tools/classify-photos/classify/model_setup.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/keep/class_folders.h"
#include "tools/classify-photos/keep/keyword_rules.h"
#include "tools/classify-photos/keep/result_cache.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

// Every option that changes a result, the model's bytes and the program's
// version, in one key.
std::string result_setup(const photos_options& options, const loaded_model& model,
                         const model_setup& setup);

class result_keeper {
 public:
  // A keeper; a null one, which is no failure, when none of --cache, --xmp
  // and --sort-into is given. Fails when the cache or exiv2 cannot be used.
  static result<std::unique_ptr<result_keeper>> create(const photos_options& options,
                                                       const loaded_model& model,
                                                       const model_setup& setup);

  // The results kept for `photos`, the batch's photographs in their order:
  // classified where the cache has the photograph as it is now, pending
  // otherwise. Fails when the cache cannot be read.
  result<std::vector<photo_result>> find_kept(const std::vector<std::string>& photos);

  // What keeping a photograph came to: what failed, one reason a line, and
  // what the user should know once ("" for nothing).
  struct keeping {
    std::vector<std::string> errors;
    std::string note;
  };

  // Keeps the result of the photograph at `path`, once its line is written:
  // in the cache (unless it came from there), its sidecar and its class
  // folder. Given every photograph's result, failed ones too: a sidecar that
  // photographs share waits for the last of them.
  keeping keep(const std::string& path, const photo_result& result);

  // Writes the shared sidecars still waiting for a photograph when the batch
  // stops early, with the keywords of those whose lines were written; what
  // fails goes to `errors` as (photograph, reason).
  void finish(std::vector<std::pair<std::string, std::string>>* errors);

  // "N of M photographs from the cache FILE", for the end of the batch; ""
  // without a cache.
  std::string cache_summary(size_t photographs) const;

 private:
  result_keeper(const photos_options& options, const model_setup& setup)
      : options_(options), setup_(setup) {}
  std::vector<keyword_path> keywords(const photo_result& result) const;
  std::string folder_of(int32_t index) const;
  std::string label(int32_t index) const;
  void keep_keywords(const std::string& path, const photo_result& result,
                     std::vector<std::string>* errors);

  const photos_options& options_;
  const model_setup& setup_;
  std::unique_ptr<result_cache> cache_;
  std::unique_ptr<class_sorter> sorter_;
  // By class, with --sort-into: the class folders where there are labels,
  // or the category folders with --sort-by category.
  std::vector<std::string> class_folders_;
  std::string unsure_folder_;  // for the photographs no class counted for
  std::string setup_key_;
  size_t from_cache_ = 0;
  bool cache_failed_ = false;
  bool told_of_copies_ = false;
  // A sidecar that more than one photograph of the batch names (a raw file
  // and its JPEG, with --xmp-name basename) is written once, after the last
  // of them: written after each, a rerun would rewrite it with the first
  // one's keywords alone and then again, a change to every photo manager.
  struct shared_sidecar {
    size_t waiting = 0;               // photographs not handed over yet
    bool any_classified = false;      // whether one of them has keywords to give
    std::vector<keyword_path> words;  // the keywords of those handed over
    std::string last_photo;           // the last one handed over, for its path
  };
  void write_shared(shared_sidecar* shared, std::vector<std::string>* errors);
  std::map<std::string, shared_sidecar> shared_sidecars_;
};

}  // namespace classify
