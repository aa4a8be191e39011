#pragma once
// A batch spread over other machines: the photographs go in chunks, which
// GNU parallel hands to job slots, two for each login (so that one chunk is
// copied while the other is classified). Each job sends its chunk to the
// machine of its slot in one ssh connection (chunk.h), and the results come
// back in the relay form, which are posted here in the order given.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "tools/classify-photos/classify/selection.h"
#include "tools/classify-photos/cli/options.h"
#include "tools/classify-photos/core/results.h"
#include "tools/classify-photos/layers.h"
#include "tools/classify-photos/remote/protocol.h"
#include "tools/common/result.h"
#include "tools/common/subprocess.h"

CLASSIFY_PHOTOS_IN_LAYER(remote);

namespace classify {

// The options of `options` that say how the machine that classifies a chunk
// classifies it: --top, --jobs, --crop, --kernels, --mean, --std,
// --threshold, --multi-label, --scores, --only-indices and --except-indices,
// where given.
std::vector<std::string> classifying_options(const photos_options& options);

// `options` with --only or --except as the class indices `selection` took
// them for: the far side has neither the labels nor the lists of this one.
photos_options with_class_indices(const photos_options& options, const class_selection& selection);

// Done when GNU parallel can be started; otherwise the failure says what is
// missing.
outcome parallel_installed();

// Photographs a chunk of a batch of `count` over `logins` logins: enough
// chunks that each login keeps two going most of the time, each chunk large
// enough that its connection's cost is small beside its photographs.
size_t chunk_size(size_t count, size_t logins);

class remote_batch {
 public:
  // Starts GNU parallel on the readable ones of `photos` (the others are
  // posted as failed at once), its jobs running this program, at the same
  // path, with the logins of `options`. GNU parallel's own messages are shown
  // on `error_fd` only when it fails. Once it has ended, every photograph
  // that got no result is posted as failed.
  remote_batch(const photos_options& options, const std::vector<std::string>& photos, int error_fd,
               result_board* board);
  // Waits for GNU parallel.
  ~remote_batch();
  remote_batch(const remote_batch&) = delete;
  remote_batch& operator=(const remote_batch&) = delete;

  // Asks GNU parallel to stop, as Ctrl-C does, and the thread that reads its
  // results to close the shared connections, which cuts the chunks' ssh
  // sessions short.
  void stop();

 private:
  // Posts the photographs that cannot be read here as failed, and keeps the
  // others to send; false when there are none.
  bool choose_readable(const std::vector<std::string>& photos);
  // Opens the connection to each machine that the chunks' sessions share.
  void open_connections();
  // GNU parallel's command line, whose jobs send the chunks.
  std::vector<std::string> parallel_command(const photos_options& options) const;
  // Starts GNU parallel and the thread that reads the results it passes on.
  void start_parallel(const std::vector<std::string>& args, int error_fd);
  bool write_chunks(const photos_options& options, const std::vector<std::string>& photos);
  void read_results(int fd, int error_fd);
  // Posts the results of the relay lines in `text`, each ended by a line
  // feed; what follows the last one stays.
  void post_lines(std::string* text);
  // Ends the shared connections, once. Only the thread that owns them calls
  // it: the one that opened them until the reader starts, then the reader.
  void close_connections();
  // Posts every photograph sent that has no result yet as failed.
  void fail_the_rest(const std::string& reason);

  result_board* board_;
  std::vector<size_t> sent_;  // the photographs sent, by their place in the batch
  size_t chunk_size_ = 1;
  std::string folder_;   // the chunk lists and GNU parallel's own files
  std::string control_;  // the sockets of the connections shared by chunks
  std::vector<std::string> logins_;
  std::vector<pid_t> masters_;  // the shared connections opened at the start
  bool connections_closed_ = false;
  child_process parallel_;
  int wake_[2] = {-1, -1};  // stop() asks the reader to close the connections
  std::thread reader_;
};

}  // namespace classify
