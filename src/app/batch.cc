#include "app/batch.h"

#include <new>
#include <utility>

#include "app/convert_file.h"
#include "app/settings.h"
#include "bus/frame_sink.h"
#include "core/hash_map.h"
#include "core/ordered_work.h"
#include "io/folder.h"
#include "io/interrupt.h"
#include "log/log.h"

namespace quarrow {

namespace {

constexpr int kStatusNoRoot = 132;
constexpr int kStatusQueryFailed = 129;
constexpr int kStatusMissing = 1;

// Length of the parent folder of path (its text up to and including the
// last separator before the final name), or 0 when it has none. A leading
// "/" counts as a separator, so "/data/f.mf4" has the parent "/data/" and
// "/logs/" the parent "/"; "/" itself has none.
uint64_t parent_length(StringView path) {
  int64_t i = static_cast<int64_t>(path.size) - 1;
  if (path.ends_with('/')) --i;
  for (; i >= 0; --i) {
    if (path[static_cast<uint64_t>(i)] == '/') return static_cast<uint64_t>(i) + 1;
  }
  return 0;
}

// child = parent, "/" unless parent is empty or already ends with one, name.
bool join_child(StringView parent, StringView name, SsoString* child) {
  if (!child->assign(parent)) return false;
  if (!parent.empty() && !parent.ends_with('/') && !child->push_back('/')) return false;
  return name.empty() || child->append(name) != nullptr;
}

char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool find_common_root(ConverterSettings* settings, int* status) {
  HashMap<SsoString, bool> parents;
  for (const SsoString& input : settings->inputs) {
    uint64_t n = parent_length(input);
    if (n == 0) {
      QLOG(LOG_FATAL, "Could not find root for %.*s", static_cast<int>(input.size()),
           input.c_str());
      *status = kStatusNoRoot;
      return false;
    }
    SsoString parent;
    if (!parent.assign(input.view().prefix(n))) {
      *status = kStatusNoRoot;
      return false;
    }
    parents.insert(std::move(parent));
  }
  if (parents.size() == 0) {
    *status = kStatusNoRoot;
    return false;
  }
  if (parents.size() > 1) {
    QLOG(LOG_FATAL, "No common root detected for all inputs");
    *status = kStatusNoRoot;
    return false;
  }
  parents.for_each([&](auto& slot) { settings->input_root = std::move(slot.key); });
  uint64_t root_length = settings->input_root.size();
  for (SsoString& input : settings->inputs) {
    SsoString relative;
    if (!relative.assign(input.view().suffix_from(root_length))) {
      *status = kStatusNoRoot;
      return false;
    }
    input = std::move(relative);
  }
  return true;
}

namespace {

// Counts a failure of the walk for the summary, when the walk collects.
int walk_failed(FileJobs* jobs, ConvertFailure failure, int status) {
  if (jobs) ++jobs->tally.failures[failure];
  return status;
}

int walk_inputs(FrameSink* sink, const GrowArray<SsoString>& inputs, FileJobs* jobs,
                bool* stopped) {
  int status = 0;
  bool append_root = !sink->settings()->no_append_root;
  for (const SsoString& input : inputs) {
    SsoString output;
    if (!output.assign(input)) {
      status |= walk_failed(jobs, FAILURE_OTHER, CONVERT_FAILED);
      continue;
    }
    if (append_root) {
      PathInfo info;
      if (!folder_stat_relative(sink->input_folder(), input, &info)) {
        QLOG(LOG_FATAL, "Could not query %.*s for information", static_cast<int>(input.size()),
             input.c_str());
        *stopped = true;
        return walk_failed(jobs, FAILURE_QUERY, kStatusQueryFailed);
      }
      if (info.kind == PATH_FOLDER) {
        int64_t slash = input.view().find('/');
        SsoString renamed;
        bool ok = slash < 0
                      ? renamed.assign(input) && renamed.append("_out")
                      : renamed.assign(input.view().prefix(static_cast<uint64_t>(slash))) &&
                            renamed.append("_out") &&
                            renamed.append(input.view().suffix_from(static_cast<uint64_t>(slash)));
        if (!ok) {
          status |= walk_failed(jobs, FAILURE_OTHER, CONVERT_FAILED);
          continue;
        }
        output = std::move(renamed);
      }
    }
    status |= convert_path(sink, input, output, jobs);
  }
  return status;
}

// Converts the files found by the walk several at once, on the workers'
// own sinks. Each file's log lines are kept and printed with the lines the
// walk logged before it, in walk order, as one thread would print them.
class FileWork : public OrderedWork {
 public:
  FileWork(FileJobs* jobs, GrowArray<FrameSink*>* sinks) : jobs_(jobs), sinks_(sinks) {}
  bool make(uint64_t piece, unsigned worker) override {
    FileJob& job = jobs_->files[piece];
    FrameSink* sink = (*sinks_)[worker];
    if (jobs_->progress) jobs_->progress->file_started(job.input.c_str());
    uint64_t rows = sink->rows_written();
    log_capture(&job.lines);
    job.status = convert_log_file(sink, job.input, job.base, &job.report);
    log_capture(nullptr);
    job.rows = sink->rows_written() - rows;
    return true;
  }
  bool take(uint64_t piece) override {
    if (interrupted()) return false;
    const FileJob& job = jobs_->files[piece];
    log_write_text(job.before);
    log_write_text(job.lines);
    status |= job.status;
    RunTally& tally = jobs_->tally;
    if (job.status != 0) {
      ++tally.failures[job.report.failure];
    } else if (job.report.other_writer_layout) {
      ++tally.other_writer_layouts;
    } else {
      ++tally.converted;
    }
    tally.rows += job.rows;
    if (jobs_->progress) jobs_->progress->file_done(job.size);
    return true;
  }
  int status = 0;

 private:
  FileJobs* jobs_;
  GrowArray<FrameSink*>* sinks_;
};

}  // namespace

int run_batch(FrameSink* sink, const GrowArray<SsoString>& inputs) {
  ConverterSettings* settings = sink->settings();
  bool stopped = false;
  if (settings->jobs < 0 && !settings->show_progress) {
    return walk_inputs(sink, inputs, nullptr, &stopped);
  }
  // Without -j one worker: files one at a time, all threads inside each.
  unsigned workers = settings->jobs < 0   ? 1
                     : settings->jobs > 0 ? static_cast<unsigned>(settings->jobs)
                                          : available_cores();

  // The walk first: what it logs waits with the file found after it.
  FileJobs jobs;
  std::unique_ptr<Progress> progress;
  if (settings->show_progress) {
    progress.reset(new (std::nothrow) Progress);
    if (progress) progress->start();
    jobs.progress = progress.get();
  }
  log_capture(&jobs.pending);
  int status = walk_inputs(sink, inputs, &jobs, &stopped);
  log_capture(nullptr);
  if (progress) progress->converting(jobs.files.size(), jobs.bytes);

  GrowArray<std::unique_ptr<FrameSink>> owned;
  GrowArray<FrameSink*> sinks;
  if (workers > jobs.files.size()) workers = static_cast<unsigned>(jobs.files.size());
  if (workers < 1) workers = 1;
  for (unsigned w = 0; w < workers; ++w) {
    std::unique_ptr<FrameSink> another = w == 0 ? nullptr : sink->another();
    FrameSink* worker_sink = w == 0 ? sink : another.get();
    if (!worker_sink || !sinks.append(worker_sink) ||
        (another && !owned.append(std::move(another)))) {
      break;
    }
  }
  // Several files at once: one thread each.
  if (sinks.size() > 1) settings->threads_per_file = 1;
  FileWork work(&jobs, &sinks);
  run_ordered_work(&work, jobs.files.size(), static_cast<unsigned>(sinks.size()), 2 * sinks.size());
  log_write_text(jobs.pending);
  if (progress) progress->finish(jobs.tally);
  // A failed query ends the run with its own status, as it does when the
  // files are converted one by one during the walk.
  return stopped ? kStatusQueryFailed : status | work.status;
}

int convert_path(FrameSink* sink, StringView input, StringView output, FileJobs* jobs) {
  PathInfo info;
  if (!folder_stat_relative(sink->input_folder(), input, &info)) {
    // The walk goes on with the other entries, but this path is not
    // reported as converted.
    QLOG(LOG_FATAL, "Error during stat of %.*s, exiting", static_cast<int>(input.size), input.data);
    return walk_failed(jobs, FAILURE_QUERY, kStatusQueryFailed);
  }
  switch (info.kind) {
    case PATH_MISSING:
      QLOG(LOG_WARN, "Could not find input file/folder %.*s", static_cast<int>(input.size),
           input.data);
      return walk_failed(jobs, FAILURE_NOT_FOUND, kStatusMissing);
    case PATH_FOLDER: {
      SsoString listed_path;
      if (!folder_join(sink->input_folder(), input, &listed_path)) {
        return walk_failed(jobs, FAILURE_OTHER, CONVERT_FAILED);
      }
      DirListing listing;
      sink->input_folder()->list(listed_path, &listing);
      int status = 0;
      listing.for_each([&](const DirListing::Node& entry) {
        SsoString child_input, child_output;
        if (!join_child(input, entry.name, &child_input) ||
            !join_child(output, entry.name, &child_output)) {
          status |= walk_failed(jobs, FAILURE_OTHER, CONVERT_FAILED);
          return;
        }
        status |= convert_path(sink, child_input, child_output, jobs);
      });
      return status;
    }
    case PATH_FILE: {
      if (!is_log_file(input)) {
        if (jobs) ++jobs->tally.skipped;
        return 0;
      }
      StringView extension = path_extension(output);
      StringView base = output;
      // A name without a dot is its own extension; cutting it would also cut
      // the separator and put the tables beside the file's folder, where a
      // log of the folder's name would overwrite them.
      if (!extension.empty() && path_file_name(output).find('.') >= 0) {
        uint64_t cut = extension.size + 1;
        base = output.prefix(cut > output.size ? 0 : output.size - cut);
      }
      if (sink->create_folders()) make_folders(sink->output_folder(), path_folder_part(base));
      if (!jobs) return convert_log_file(sink, input, base);
      FileJob job;
      job.size = static_cast<uint64_t>(info.size);
      if (!job.input.assign(input) || !job.base.assign(base) ||
          !jobs->files.append(std::move(job))) {
        return walk_failed(jobs, FAILURE_OTHER, CONVERT_FAILED);
      }
      jobs->bytes += static_cast<uint64_t>(info.size);
      if (jobs->progress) jobs->progress->found_log();
      // What the walk logged since the last file goes out before this one.
      std::swap(jobs->files.back().before, jobs->pending);
      return 0;
    }
    default:
      return walk_failed(jobs, FAILURE_NOT_FILE, kStatusQueryFailed);
  }
}

int convert_log_file(FrameSink* sink, StringView input, StringView base, ConvertReport* report) {
  // After an interruption no log is started; the run is on its way out.
  if (interrupted()) {
    if (report) report->failure = FAILURE_OTHER;
    return CONVERT_FAILED;
  }
  int r = convert_file(sink, input, base, report);
  if (r == 0) interrupt_note_converted();
  if (r != 0 && !interrupted()) {
    QLOG(LOG_ERROR, "Error during conversion of %.*s", static_cast<int>(input.size), input.data);
  }
  return r;
}

bool is_log_file(StringView path) {
  StringView extension = path_extension(path);
  if (extension.size != 3) return false;
  // Only ASCII letters can lower-case to the accepted extensions, so an
  // ASCII mapping decides exactly what a full Unicode mapping would.
  char e[3] = {ascii_lower(extension[0]), ascii_lower(extension[1]), ascii_lower(extension[2])};
  if (e[0] != 'm' || e[1] != 'f') return false;
  return e[2] == '4' || e[2] == 'c' || e[2] == 'e' || e[2] == 'm';
}

StringView path_file_name(StringView path) {
  int64_t slash = path.rfind('/');
  return path.suffix_from(static_cast<uint64_t>(slash + 1));
}

StringView path_extension(StringView path) {
  StringView name = path_file_name(path);
  int64_t dot = name.rfind('.');
  return dot < 0 ? name : name.suffix_from(static_cast<uint64_t>(dot + 1));
}

StringView path_folder_part(StringView path) {
  int64_t slash = path.rfind('/');
  return path.prefix(static_cast<uint64_t>(slash + 1));
}

bool make_folders(Folder* folder, StringView path) {
  SsoString accumulated;
  uint64_t start = 0;
  while (start < path.size) {
    uint64_t end = start;
    while (end < path.size && path[end] != '/') ++end;
    if (end > start) {
      // Relative to the folder's root: no separator in front of the first
      // piece, which would make the path absolute for an empty root.
      if ((!accumulated.empty() && !accumulated.push_back('/')) ||
          !accumulated.append(path.data + start, end - start)) {
        return false;
      }
      PathInfo info;
      if (!folder_stat_relative(folder, accumulated, &info)) return false;
      if (info.kind == PATH_MISSING) {
        SsoString full;
        if (!folder_join(folder, accumulated, &full) || !folder->make_folder(full)) return false;
      } else if (info.kind != PATH_FOLDER) {
        return false;
      }
    }
    start = end + 1;
  }
  return true;
}

}  // namespace quarrow
