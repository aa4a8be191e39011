#include "tools/classify-photos/batch/batch.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "platform/platform.h"
#include "tools/classify-photos/batch/progress.h"
#include "tools/classify-photos/classify/workers.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/output/report.h"
#include "tools/classify-photos/truth/evaluation.h"
#include "tools/common/atomic_file.h"
#include "tools/common/interruptions.h"
#include "tools/common/scratch_folder.h"

#if !defined(_WIN32)
#include "tools/classify-photos/remote/remote.h"
#endif

namespace classify {

namespace {

// Where each result goes, in the form the batch asked for.
class writer {
 public:
  explicit writer(const batch& job)
      : job_(job),
        evaluation_(static_cast<size_t>(job.options.top), job.labels, job.categories),
        progress_(job.messages, job.photos.size(),
                  job.options.bar && is_terminal(job.messages_fd)) {
    if (!job.options.joblog.empty() && only_this_machine(job.options.sshlogins)) {
      joblog_ = std::fopen(job.options.joblog.c_str(), "w");
      if (joblog_ != nullptr) {
        std::fputs("Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n",
                   joblog_);
      }
    }
  }

  ~writer() {
    if (joblog_ != nullptr) std::fclose(joblog_);
  }

  // Writes every result in order, until one cannot be written or the batch
  // is interrupted; the number of photographs that failed.
  size_t write_all(result_board* board) {
    size_t failed = 0;
    for (size_t i = 0; i < board->size() && !stopped(); ++i) {
      photo_result result;
      // Whatever is written reaches its reader before the writer waits.
      if (!board->take(i, std::chrono::milliseconds(0), &result)) {
        flush();
        while (!stopped() && !board->take(i, std::chrono::milliseconds(100), &result)) {
          progress_.update(board->posted());
        }
      }
      if (stopped()) break;
      if (result.outcome != photo_result::state::classified) ++failed;
      write(i, result);
      progress_.update(board->posted());
    }
    if (!stopped()) {
      flush();
    } else if (!cannot_write_) {
      // Interrupted, the lines in hand still reach standard output before
      // the signal ends the process: each is whole (the signal is seen
      // between lines), and a photograph whose sidecar, cache record or
      // class folder was kept has its line. A reader that has gone as well
      // (Ctrl-C reaches the whole pipeline) is no news: the batch still ends
      // by the signal.
      std::fflush(stdout);
    }
    if (stopped()) {
      progress_.clear();
      std::fflush(job_.messages);
    } else {
      progress_.finish(board->size());
    }
    return failed;
  }

  // True once a result could not be written or the batch was interrupted:
  // nothing more is written.
  bool stopped() const { return cannot_write_ || interruption() != 0; }
  const evaluation& figures() const { return evaluation_; }
  bool could_not_write() const { return cannot_write_; }

 private:
  void write(size_t i, const photo_result& result) {
    const std::string& path = job_.photos[i];
#if !defined(_WIN32)
    if (job_.options.relay_chunk > 0) {
      put(relay_line(job_.options.relay_chunk, i, result));
      record(i, result);
      return;
    }
#endif
    const photo_truth* truth = job_.truths != nullptr ? &(*job_.truths)[i] : nullptr;
    if (truth != nullptr) evaluation_.add(path, *truth, result);
    if (result.outcome == photo_result::state::classified) {
      const classified_photo photo{path,  result.classes,  job_.labels,
                                   truth, job_.categories, job_.options.category_column};
      put(job_.options.json ? json_line(photo) : tsv_line(photo));
      if (job_.keeper != nullptr) keep(path, result);
    } else {
      progress_.clear();
      std::fputs(error_line(path, result.reason).c_str(), job_.messages);
      // A sidecar it shares with photographs classified may wait for it.
      if (job_.keeper != nullptr) keep(path, result);
    }
    record(i, result);
  }

  // The cache's record, the sidecar and the class folder of a photograph,
  // once its line is written.
  void keep(const std::string& path, const photo_result& result) {
    const result_keeper::keeping kept = job_.keeper->keep(path, result);
    if (!kept.errors.empty() || !kept.note.empty()) progress_.clear();
    for (const std::string& error : kept.errors) {
      std::fputs(error_line(path, error).c_str(), job_.messages);
    }
    if (!kept.note.empty()) {
      std::fprintf(job_.messages, "classify-photos: %s\n", kept.note.c_str());
    }
    if (!kept.errors.empty()) ++not_kept_;
  }

 public:
  // How many photographs were classified but not kept as asked.
  size_t not_kept() const { return not_kept_; }

  // The sidecars shared with photographs the batch did not reach, once it
  // stopped early: written with the keywords of those whose lines were.
  void finish_keeping() {
    if (job_.keeper == nullptr) return;
    std::vector<std::pair<std::string, std::string>> errors;
    job_.keeper->finish(&errors);
    if (!errors.empty()) progress_.clear();
    for (const auto& [path, error] : errors) {
      std::fputs(error_line(path, error).c_str(), job_.messages);
      ++not_kept_;
    }
  }

 private:
  // The contact sheet's record and the joblog's line of a photograph.
  void record(size_t i, const photo_result& result) {
    const std::string& path = job_.photos[i];
    if (job_.sheet != nullptr) job_.sheet->record(i, result);
    if (joblog_ != nullptr) {
      std::fprintf(joblog_, "%zu\t:\t%.3f\t%.3f\t0\t0\t%d\t0\t%s\n", i + 1, result.started,
                   result.seconds, result.outcome == photo_result::state::classified ? 0 : 1,
                   tsv_field(path).c_str());
    }
  }

  void put(const std::string& line) {
    if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size()) cannot_write();
  }

  void flush() {
    if (std::fflush(stdout) != 0) cannot_write();
    std::fflush(job_.messages);
  }

  // A full disk or a reader that has gone: nothing more can reach the user,
  // so the batch ends here.
  void cannot_write() {
    if (cannot_write_) return;
    const int error = errno;
    cannot_write_ = true;
    progress_.clear();
    std::fprintf(job_.messages, "classify-photos: cannot write to standard output: %s\n",
                 std::strerror(error));
    std::fflush(job_.messages);
  }

  const batch& job_;
  evaluation evaluation_;  // with --truth
  progress_line progress_;
  std::FILE* joblog_ = nullptr;
  bool cannot_write_ = false;
  size_t not_kept_ = 0;
};

// The summary of --truth: to standard error, or as JSON to --summary; false
// when it cannot be written.
bool write_summary(const batch& job, const evaluation& figures) {
  if (job.options.summary.empty()) {
    std::fputs(figures.text().c_str(), job.messages);
    std::fflush(job.messages);
    return true;
  }
  const std::string text = figures.json();
  const outcome written =
      write_atomically(job.options.summary, std::vector<unsigned char>(text.begin(), text.end()));
  if (!written) {
    std::fprintf(job.messages, "classify-photos: %s\n", written.error().message.c_str());
  }
  return static_cast<bool>(written);
}

// The last line of a batch where photographs were classified but not kept
// as asked: their lines are out, each failure has its line, yet the exit
// status is 1.
void tell_not_kept(const batch& job, size_t classified, size_t not_kept) {
  if (not_kept == 0) return;
  std::fprintf(job.messages,
               "classify-photos: %zu of %zu photographs classified were not kept as asked "
               "(sidecar, cache or class folder); exit status 1\n",
               not_kept, classified);
  std::fflush(job.messages);
}

}  // namespace

outcome run_batch(batch job) {
  // Ctrl-C (or a polite kill, or a connection that has gone) ends the batch
  // after the lines already written: the writer sees it within a tenth of a
  // second, and what classifies stops after the photographs in hand.
  catch_interruptions();
  const auto start = std::chrono::steady_clock::now();
  std::vector<photo_result> kept;
  if (job.keeper != nullptr) {
    result<std::vector<photo_result>> found = job.keeper->find_kept(job.photos);
    if (!found) return found.error();
    kept = std::move(*found);
  }
  class_selection selection;
  if (job.selection != nullptr) {
    selection = *job.selection;
  } else {
    selection.top = static_cast<size_t>(job.options.top);
  }
  result_board board(job.photos.size());
  writer lines(job);
  size_t failed = 0;
#if !defined(_WIN32)
  if (job.options.relay_chunk == 0 && !only_this_machine(job.options.sshlogins)) {
    job.first.reset();
    for (size_t i = 0; i < kept.size(); ++i) {
      if (kept[i].from_cache) board.post(i, std::move(kept[i]));
    }
    remote_batch remote(with_class_indices(job.options, selection), job.photos, job.messages_fd,
                        &board);
    failed = lines.write_all(&board);
    if (lines.stopped()) remote.stop();
  } else
#endif
  {
    const int jobs = job.options.jobs > 0 ? job.options.jobs : default_jobs();
    picture_taker thumbnails;
    if (job.sheet != nullptr) {
      thumbnails = [sheet = job.sheet](size_t i, const rgb_image& picture) {
        sheet->add_thumbnail(i, picture);
      };
    }
    worker_pool workers(job.model, job.norm, job.weights, std::move(job.first), job.photos,
                        job.options.crop, selection, jobs, &board, std::move(thumbnails),
                        kept.empty() ? nullptr : &kept);
    failed = lines.write_all(&board);
    if (lines.stopped()) workers.stop();
  }
  lines.finish_keeping();
  if (job.keeper != nullptr && !job.keeper->cache_summary(job.photos.size()).empty()) {
    std::fprintf(job.messages, "classify-photos: %s\n",
                 job.keeper->cache_summary(job.photos.size()).c_str());
    std::fflush(job.messages);
  }
  if (lines.stopped()) {
    // An earlier contact sheet stays as it was.
    remove_scratch_folders();
    return lines.could_not_write() ? failure{} : interrupted_by(interruption());
  }
  const bool summary_written = job.truths == nullptr || write_summary(job, lines.figures());
  outcome sheet_written;
  if (job.sheet != nullptr) {
    const sheet_header header{
        job.options.model, job.model_name, job.options.command_line,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    sheet_written = job.sheet->finish(job.photos, job.labels, header, job.truths, job.categories,
                                      job.truths != nullptr ? &lines.figures() : nullptr);
    if (!sheet_written) {
      std::fprintf(job.messages, "classify-photos: %s\n", sheet_written.error().message.c_str());
    }
  }
  remove_scratch_folders();
  tell_not_kept(job, job.photos.size() - failed, lines.not_kept());
  if (failed == 0 && lines.not_kept() == 0 && sheet_written && summary_written) return {};
  return failure{};
}

}  // namespace classify
