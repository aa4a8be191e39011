#pragma once
// A batch spread over other machines through GNU parallel: the photographs go
// in chunks, each copied into a job folder on the machine that takes it,
// where classify-photos itself classifies the chunk and sends its results
// back in the relay form; they are posted here in the order given.

#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "options.h"
#include "results.h"

// The relay form of one result, as a machine that runs chunk `chunk` sends it
// back: "CHUNK TAB POSITION TAB ok TAB INDEX TAB PROBABILITY" or
// "CHUNK TAB POSITION TAB error TAB REASON" (tabs and line breaks in the
// reason become spaces), and a line feed.
std::string relay_line(long chunk, size_t position, const photo_result& result);

// The path a photograph has on the machine that runs its chunk: GNU parallel
// copies "/./PATH" into the job's folder as "PATH".
std::string relayed_path(const std::string& given);

// True when GNU parallel can be started; otherwise `why` says what is
// missing.
bool parallel_installed(std::string* why);

class remote_batch {
 public:
  // Starts GNU parallel on the readable ones of `photos` (the others are
  // posted as failed at once), running this program, at the same path, on
  // each login of `options`. GNU parallel's own messages go to `error_fd`.
  // Once GNU parallel has ended, every photograph that got no result is
  // posted as failed.
  remote_batch(const photos_options& options, const std::vector<std::string>& photos, int error_fd,
               result_board* board);
  // Waits for GNU parallel.
  ~remote_batch();
  remote_batch(const remote_batch&) = delete;
  remote_batch& operator=(const remote_batch&) = delete;

  // Asks GNU parallel to stop, as Ctrl-C does.
  void stop();

 private:
  void read_results(int fd);
  // Posts every photograph sent that has no result yet as failed.
  void fail_the_rest(const std::string& reason);

  result_board* board_;
  std::vector<size_t> sent_;  // the photographs sent, by their place in the batch
  size_t chunk_size_ = 1;
  std::atomic<pid_t> child_{-1};
  std::thread writer_;
  std::thread reader_;
};
