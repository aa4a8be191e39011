#include "tools/classify-photos/keep/result_cache.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <thread>

#include "tools/classify-photos/core/class_encoding.h"
#include "tools/common/atomic_file.h"

namespace classify {

namespace {

// "clph" in the header's application id marks a file as this program's
// cache; the user version is the layout of its table:
//   1  the classes as "INDEX SPACE SCORE" lines, each score as the line
//      printed it (six significant digits)
//   2  the classes as encode_classes writes them, each score exact
// A file of layout 1 is upgraded to 2 as it is opened.
constexpr int application_id = 0x636c7068;
constexpr int oldest_layout = 1;
constexpr int layout_version = 2;
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
    " classes TEXT NOT NULL,"      // encode_classes; "" where no class counted
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

// The classes as layout 1 kept them: "INDEX SPACE SCORE" lines, each score
// the text the line printed. Six significant digits read back into a float
// print as the same six digits (FLT_DIG is 6), so the upgrade changes
// nothing that a line shows.
bool parse_layout_1_classes(const std::string& text, std::vector<class_score>* classes) {
  classes->clear();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.find(' ');
    // The same pair as the exact form, with a space in place of its tab.
    std::vector<class_score> one;
    if (space == std::string::npos || !decode_classes(line.replace(space, 1, "\t"), &one) ||
        one.size() != 1) {
      return false;
    }
    classes->push_back(one.front());
  }
  return !classes->empty();
}

struct statement_closer {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using statement_ptr = std::unique_ptr<sqlite3_stmt, statement_closer>;

statement_ptr prepared(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  return statement_ptr(statement);
}

// Each record's classes of layout 1 in the exact form. A record whose
// classes do not read was never taken from the cache (find counts it
// missing), and is dropped.
bool rewrite_layout_1(sqlite3* db) {
  struct record {
    std::string photo, setup, classes;
  };
  // All read before any is written: a table is not changed under a
  // statement that is reading it.
  std::vector<record> records;
  const statement_ptr select = prepared(db, "SELECT photo, setup, classes FROM results");
  if (!select) return false;
  int step = SQLITE_ROW;
  while ((step = sqlite3_step(select.get())) == SQLITE_ROW) {
    records.push_back(
        {column_text(select.get(), 0), column_text(select.get(), 1), column_text(select.get(), 2)});
  }
  if (step != SQLITE_DONE) return false;
  const statement_ptr update =
      prepared(db, "UPDATE results SET classes = ?3 WHERE photo = ?1 AND setup = ?2");
  const statement_ptr drop = prepared(db, "DELETE FROM results WHERE photo = ?1 AND setup = ?2");
  if (!update || !drop) return false;
  for (const record& r : records) {
    std::vector<class_score> classes;
    sqlite3_stmt* change = parse_layout_1_classes(r.classes, &classes) ? update.get() : drop.get();
    bind_text(change, 1, r.photo);
    bind_text(change, 2, r.setup);
    if (change == update.get()) bind_text(change, 3, encode_classes(classes));
    step = sqlite3_step(change);
    sqlite3_reset(change);
    if (step != SQLITE_DONE) return false;
  }
  return true;
}

// Brings a file of an older layout to this one, in one transaction: where
// anything fails, the file stays as it was, and the failure is SQLite's. Another
// run may have upgraded it meanwhile, which the transaction sees.
outcome upgrade(sqlite3* db) {
  if (!execute(db, "BEGIN IMMEDIATE")) return failure{sqlite3_errmsg(db)};
  long long version = 0;
  bool done = query_number(db, "PRAGMA user_version", &version);
  if (done && version == 1) {
    const std::string to_layout = "PRAGMA user_version = " + std::to_string(layout_version);
    done = rewrite_layout_1(db) && execute(db, to_layout.c_str());
  }
  if (done && execute(db, "COMMIT")) return {};
  const failure why{sqlite3_errmsg(db)};
  execute(db, "ROLLBACK");
  return why;
}

}  // namespace

result<std::unique_ptr<result_cache>> result_cache::open(const std::string& file) {
  const std::string named = "--cache " + file + ": ";
  std::error_code ignored;
  const std::filesystem::file_status status =
      std::filesystem::status(std::filesystem::u8path(file), ignored);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
    return failure{
        named + "not a regular file (" +
        (std::filesystem::is_directory(status) ? "a folder" : "a device, FIFO or socket") +
        "); it is left as it is"};
  }
  // SQLite keeps its journal in files beside the cache, so the folder must
  // take new files even where the cache is there already.
  if (const outcome creatable = can_create_beside(file); !creatable) {
    return failure{named + "its folder " + folder_of_file(file) + " cannot be written (" +
                   creatable.error().message + "), and the cache keeps its journal there"};
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const failure why{
        named + "cannot be opened: " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory")};
    sqlite3_close(db);
    return why;
  }
  // SQLite opens a file it may not write for reading alone.
  if (sqlite3_db_readonly(db, "main") == 1) {
    sqlite3_close(db);
    return failure{named + "the file is read-only; it is left as it is"};
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
    return failure{cache->unreadable()};
  }
  if (tables == 0 && id == 0) {
    if (!lay_out(db) || !query_number(db, "PRAGMA application_id", &id)) {
      return failure{cache->sqlite_problem("cannot be made a cache")};
    }
  }
  if (id != application_id) {
    return failure{"--cache " + file +
                   ": not a cache of classify-photos' (another program's file?); " +
                   "it is left as it is"};
  }
  std::string check;
  if (!query_number(db, "PRAGMA user_version", &version) ||
      !query_text(db, "PRAGMA quick_check", &check) || check != "ok") {
    std::replace(check.begin(), check.end(), '\n', ' ');
    return failure{"--cache " + file + ": is damaged (" + (check.empty() ? "unreadable" : check) +
                   "); it is left as it is"};
  }
  const std::string layouts =
      std::to_string(oldest_layout) + " to " + std::to_string(layout_version);
  if (version > layout_version) {
    return failure{
        "--cache " + file + ": made by a newer version of classify-photos (layout " +
        std::to_string(version) + ", this one reads layouts " + layouts +
        "); it is left as it is: use it with that version, or give this one another file"};
  }
  if (version < oldest_layout) {
    return failure{"--cache " + file + ": made by another version of classify-photos (layout " +
                   std::to_string(version) + ", this one reads layouts " + layouts +
                   "); it is left as it is"};
  }
  // WAL lets two runs read and write at once; NORMAL keeps every commit
  // through a crash of the process, without a sync each.
  if (!use_wal(db) || !execute(db, "PRAGMA synchronous = NORMAL")) {
    return failure{cache->sqlite_problem("cannot be used")};
  }
  if (const outcome upgraded = version < layout_version ? upgrade(db) : outcome(); !upgraded) {
    return failure{
        "--cache " + file + ": cannot be upgraded from layout " + std::to_string(version) + " to " +
        std::to_string(layout_version) + " (" + upgraded.error().message +
        "); it is left as it is, and an earlier version of classify-photos still reads it"};
  }
  if (const outcome prepared = cache->prepare(); !prepared) return prepared.error();
  return cache;
}

result_cache::~result_cache() {
  sqlite3_finalize(select_);
  sqlite3_finalize(insert_);
  sqlite3_finalize(touch_);
  sqlite3_close(db_);
}

outcome result_cache::prepare() {
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
  if (!ok) return failure{sqlite_problem("cannot be read")};
  return {};
}

std::string result_cache::unreadable() const {
  switch (sqlite3_errcode(db_) & 0xff) {
    case SQLITE_NOTADB:
      return "--cache " + file_ + ": not an SQLite file (another program's?); it is left as it is";
    case SQLITE_CORRUPT:
      return "--cache " + file_ + ": is damaged (" + sqlite3_errmsg(db_) + "); it is left as it is";
    default:
      return sqlite_problem("cannot be read");
  }
}

std::string result_cache::sqlite_problem(const std::string& doing) const {
  return "--cache " + file_ + ": " + doing + " (" + sqlite3_errmsg(db_) + ")";
}

result<result_cache::lookup> result_cache::find(const std::string& path, const std::string& setup,
                                                std::vector<class_score>* classes) {
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
  if (step != SQLITE_ROW && step != SQLITE_DONE) return failure{sqlite_problem("cannot be read")};
  // No classes: a photograph no class counted for (--threshold).
  if (step == SQLITE_DONE || (!text.empty() && !decode_classes(text, classes))) {
    return lookup::missing;
  }
  if (text.empty()) classes->clear();
  // A photograph that cannot be read now is the workers' to report.
  const result<file_identity> now = stat_identity(path);
  if (!now || now->size != kept.size) return lookup::missing;
  if (now->modified_ns == kept.modified_ns) return lookup::found;
  // Touched, or copied back: the same bytes are the same photograph.
  const result<file_identity> read = read_identity(path);
  if (!read || read->content != kept.content) return lookup::missing;
  bind_text(touch_, 1, photo);
  bind_text(touch_, 2, setup);
  sqlite3_bind_int64(touch_, 3, read->modified_ns);
  sqlite3_step(touch_);
  sqlite3_reset(touch_);
  return lookup::found;
}

outcome result_cache::keep(const std::string& path, const std::string& setup,
                           const file_identity& identity, const std::vector<class_score>& classes) {
  bind_text(insert_, 1, cache_path(path));
  bind_text(insert_, 2, setup);
  sqlite3_bind_int64(insert_, 3, identity.size);
  sqlite3_bind_int64(insert_, 4, identity.modified_ns);
  bind_text(insert_, 5, identity.content);
  bind_text(insert_, 6, encode_classes(classes));
  const int step = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (step == SQLITE_DONE) return {};
  return failure{sqlite_problem("cannot be written")};
}

}  // namespace classify
