#pragma once
// --cache FILE: the results of earlier runs, in SQLite, so that a rerun takes
// the photographs that have not changed from it without decoding them, and an
// interrupted run goes on where it stopped. A result is keyed by the
// photograph's path and the run's setup (the model's bytes and every option
// that changes a result); it holds the photograph's size, modification time
// and content hash, and its classes with each score exact (encode_classes).
// Each result is committed as it is written. Two runs may share a file (WAL,
// a busy timeout). A file that is damaged, or another program's, is never
// written; the message says which, or that the file is read-only, not a
// regular file, or in a folder that cannot be written. A cache of an older
// layout is upgraded when it is opened, in one transaction; one of a newer
// layout is refused.

#include <memory>
#include <string>
#include <vector>

#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/keep/file_identity.h"
#include "tools/classify-photos/layers.h"
#include "tools/common/result.h"

struct sqlite3;
struct sqlite3_stmt;

CLASSIFY_PHOTOS_IN_LAYER(keep);

namespace classify {

class result_cache {
 public:
  // Opens FILE, or creates it where there is none; fails when it cannot be
  // opened or is not a cache of this program's.
  static result<std::unique_ptr<result_cache>> open(const std::string& file);
  ~result_cache();
  result_cache(const result_cache&) = delete;
  result_cache& operator=(const result_cache&) = delete;

  enum class lookup { found, missing };

  // The classes kept for the photograph at `path` under `setup`, where its
  // size and modification time are those kept, or else its bytes hash to the
  // content kept. Fails when the cache file cannot be read.
  result<lookup> find(const std::string& path, const std::string& setup,
                      std::vector<class_score>* classes);

  // Keeps the classes of the photograph at `path`, as it was when it was
  // classified; committed before it returns.
  outcome keep(const std::string& path, const std::string& setup, const file_identity& identity,
               const std::vector<class_score>& classes);

  const std::string& file() const { return file_; }

 private:
  result_cache(sqlite3* db, std::string file) : db_(db), file_(std::move(file)) {}
  outcome prepare();
  // "--cache FILE: DOING (what SQLite says)".
  std::string sqlite_problem(const std::string& doing) const;
  // Why the file cannot be read as SQLite: not SQLite at all, damaged, or
  // what SQLite says.
  std::string unreadable() const;

  sqlite3* db_;
  std::string file_;
  sqlite3_stmt* select_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* touch_ = nullptr;
};

}  // namespace classify
