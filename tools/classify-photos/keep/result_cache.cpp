#include "tools/classify-photos/keep/result_cache.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "tools/common/atomic_file.h"

namespace classify {

namespace {

// "clph" in the header's application id marks a file as this program's
// cache; the user version is the layout of its table.
constexpr int application_id = 0x636c7068;
constexpr int layout_version = 1;
// Another run writing the file at the same time holds it for a commit at a
// time: a wait of seconds means something is wrong.
constexpr int busy_timeout_ms = 30000;

const char create_table[] =
    "CREATE TABLE results ("
    " photo TEXT NOT NULL,"        // the path, absolute
    " setup TEXT NOT NULL,"        // the model and the options (result_setup)
    " size INTEGER NOT NULL,"      // the photograph's size in bytes
    " modified INTEGER NOT NULL,"  // its modification time in nanoseconds
    " content TEXT NOT NULL,"      // the hash of its bytes
    " classes TEXT NOT NULL,"      // classes_text
    " PRIMARY KEY (photo, setup)) WITHOUT ROWID";

// The first column of the first row of `sql`, as text; false where it fails.
bool query_text(sqlite3* db, const char* sql, std::string* text) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) return false;
  const int step = sqlite3_step(statement);
  if (step == SQLITE_ROW) {
    const unsigned char* value = sqlite3_column_text(statement, 0);
    *text = value != nullptr ? reinterpret_cast<const char*>(value) : "";
  }
  sqlite3_finalize(statement);
  return step == SQLITE_ROW || step == SQLITE_DONE;
}

bool query_number(sqlite3* db, const char* sql, long long* number) {
  std::string text;
  if (!query_text(db, sql, &text)) return false;
  *number = std::strtoll(text.c_str(), nullptr, 10);
  return true;
}

bool execute(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A file with no table yet is made a cache, once, whichever of two runs
// comes first.
bool lay_out(sqlite3* db) {
  if (!execute(db, "BEGIN IMMEDIATE")) return false;
  long long tables = 0;
  bool done = query_number(db, "SELECT count(*) FROM sqlite_master", &tables);
  if (done && tables == 0) {
    const std::string pragmas = "PRAGMA application_id = " + std::to_string(application_id) +
                                "; PRAGMA user_version = " + std::to_string(layout_version);
    done = execute(db, pragmas.c_str()) && execute(db, create_table);
  }
  if (done && execute(db, "COMMIT")) return true;
  execute(db, "ROLLBACK");
  return false;
}

// The file is switched to WAL once, by the first run; a second run that
// starts at the same moment may find it locked for the switch, and tries
// again.
bool use_wal(sqlite3* db) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string mode;
    if (query_text(db, "PRAGMA journal_mode", &mode) && mode == "wal") return true;
    if (query_text(db, "PRAGMA journal_mode = WAL", &mode) && mode == "wal") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string column_text(sqlite3_stmt* statement, int column) {
  const unsigned char* value = sqlite3_column_text(statement, column);
  return value != nullptr ? reinterpret_cast<const char*>(value) : "";
}

void bind_text(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::string classes_text(const std::vector<class_score>& classes) {
  std::string text;
  for (const class_score& c : classes) text += std::to_string(c.index) + " " + c.score + "\n";
  return text;
}

bool parse_classes(const std::string& text, std::vector<class_score>* classes) {
  classes->clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t space = line.find(' ');
    if (space == std::string::npos || space == 0 || space + 1 == line.size()) return false;
    char* end = nullptr;
    const long index = std::strtol(line.c_str(), &end, 10);
    if (end != line.c_str() + space || index < 0 || index > INT32_MAX) return false;
    classes->push_back({static_cast<int32_t>(index), line.substr(space + 1)});
  }
  return !classes->empty();
}

std::unique_ptr<result_cache> result_cache::open(const std::string& file, std::string* error) {
  const std::string named = "--cache " + file + ": ";
  std::error_code ignored;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::u8path(file), ignored);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    *error = named + "not a regular file (" +
             (std::filesystem::is_directory(status) ? "a folder" : "a device, FIFO or socket") +
             "); it is left as it is";
    return nullptr;
  }
  // SQLite keeps its journal in files beside the cache, so the folder must
  // take new files even where the cache is there already.
  std::string reason;
  if (!can_create_beside(file, &reason)) {
    *error = named + "its folder " + folder_of_file(file) + " cannot be written (" + reason +
             "), and the cache keeps its journal there";
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    *error = named + "cannot be opened: " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close(db);
    return nullptr;
  }
  // SQLite opens a file it may not write for reading alone.
  if (sqlite3_db_readonly(db, "main") == 1) {
    sqlite3_close(db);
    *error = named + "the file is read-only; it is left as it is";
    return nullptr;
  }
  std::unique_ptr<result_cache> cache(new result_cache(db, file));
  sqlite3_busy_timeout(db, busy_timeout_ms);
  sqlite3_extended_result_codes(db, 1);
  // Nothing is written before the file is known to be a cache, or empty.
  // The tables are counted before the id is read: another run that lays the
  // file out in between sets both in one commit.
  long long id = 0, version = 0, tables = 0;
  if (!query_number(db, "SELECT count(*) FROM sqlite_master", &tables) ||
      !query_number(db, "PRAGMA application_id", &id)) {
    *error = cache->unreadable();
    return nullptr;
  }
  if (tables == 0 && id == 0) {
    if (!lay_out(db) || !query_number(db, "PRAGMA application_id", &id)) {
      *error = cache->failure("cannot be made a cache");
      return nullptr;
    }
  }
  if (id != application_id) {
    *error = "--cache " + file + ": not a cache of classify-photos' (another program's file?); " +
             "it is left as it is";
    return nullptr;
  }
  std::string check;
  if (!query_number(db, "PRAGMA user_version", &version) ||
      !query_text(db, "PRAGMA quick_check", &check) || check != "ok") {
    std::replace(check.begin(), check.end(), '\n', ' ');
    *error = "--cache " + file + ": is damaged (" + (check.empty() ? "unreadable" : check) +
             "); it is left as it is";
    return nullptr;
  }
  if (version != layout_version) {
    *error = "--cache " + file + ": made by another version of classify-photos (layout " +
             std::to_string(version) + ", this one reads " + std::to_string(layout_version) +
             "); it is left as it is";
    return nullptr;
  }
  // WAL lets two runs read and write at once; NORMAL keeps every commit
  // through a crash of the process, without a sync each.
  if (!use_wal(db) || !execute(db, "PRAGMA synchronous = NORMAL") || !cache->prepare(error)) {
    if (error->empty()) *error = cache->failure("cannot be used");
    return nullptr;
  }
  return cache;
}

result_cache::~result_cache() {
  sqlite3_finalize(select_);
  sqlite3_finalize(insert_);
  sqlite3_finalize(touch_);
  sqlite3_close(db_);
}

bool result_cache::prepare(std::string* error) {
  const bool ok =
      sqlite3_prepare_v2(db_,
                         "SELECT size, modified, content, classes FROM results"
                         " WHERE photo = ?1 AND setup = ?2",
                         -1, &select_, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db_,
                         "INSERT OR REPLACE INTO results"
                         " (photo, setup, size, modified, content, classes)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6)",
                         -1, &insert_, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db_, "UPDATE results SET modified = ?3 WHERE photo = ?1 AND setup = ?2",
                         -1, &touch_, nullptr) == SQLITE_OK;
  if (!ok) *error = failure("cannot be read");
  return ok;
}

std::string result_cache::unreadable() const {
  switch (sqlite3_errcode(db_) & 0xff) {
    case SQLITE_NOTADB:
      return "--cache " + file_ + ": not an SQLite file (another program's?); it is left as it is";
    case SQLITE_CORRUPT:
      return "--cache " + file_ + ": is damaged (" + sqlite3_errmsg(db_) + "); it is left as it is";
    default:
      return failure("cannot be read");
  }
}

std::string result_cache::failure(const std::string& doing) const {
  return "--cache " + file_ + ": " + doing + " (" + sqlite3_errmsg(db_) + ")";
}

result_cache::lookup result_cache::find(const std::string& path, const std::string& setup,
                                        std::vector<class_score>* classes, std::string* error) {
  const std::string photo = cache_path(path);
  bind_text(select_, 1, photo);
  bind_text(select_, 2, setup);
  const int step = sqlite3_step(select_);
  file_identity kept;
  std::string text;
  if (step == SQLITE_ROW) {
    kept.size = sqlite3_column_int64(select_, 0);
    kept.modified_ns = sqlite3_column_int64(select_, 1);
    kept.content = column_text(select_, 2);
    text = column_text(select_, 3);
  }
  sqlite3_reset(select_);
  if (step != SQLITE_ROW && step != SQLITE_DONE) {
    *error = failure("cannot be read");
    return lookup::failed;
  }
  if (step == SQLITE_DONE || !parse_classes(text, classes)) return lookup::missing;
  // A photograph that cannot be read now is the workers' to report.
  file_identity now;
  std::string ignored;
  if (!stat_identity(path, &now, &ignored) || now.size != kept.size) return lookup::missing;
  if (now.modified_ns == kept.modified_ns) return lookup::found;
  // Touched, or copied back: the same bytes are the same photograph.
  if (!read_identity(path, &now, &ignored) || now.content != kept.content) return lookup::missing;
  bind_text(touch_, 1, photo);
  bind_text(touch_, 2, setup);
  sqlite3_bind_int64(touch_, 3, now.modified_ns);
  sqlite3_step(touch_);
  sqlite3_reset(touch_);
  return lookup::found;
}

bool result_cache::keep(const std::string& path, const std::string& setup,
                        const file_identity& identity, const std::vector<class_score>& classes,
                        std::string* error) {
  bind_text(insert_, 1, cache_path(path));
  bind_text(insert_, 2, setup);
  sqlite3_bind_int64(insert_, 3, identity.size);
  sqlite3_bind_int64(insert_, 4, identity.modified_ns);
  bind_text(insert_, 5, identity.content);
  bind_text(insert_, 6, classes_text(classes));
  const int step = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (step == SQLITE_DONE) return true;
  *error = failure("cannot be written");
  return false;
}

}  // namespace classify
