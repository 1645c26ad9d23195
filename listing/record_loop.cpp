#include "listing/record_loop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "listing/amplitude_listing.h"
#include "listing/header_lines.h"
#include "listing/listing_work.h"
#include "listing/phase_listing.h"
#include "listing/selection.h"
#include "vexo/owned_record.h"

namespace vexo {
namespace {

void write_header_lines(ListingOutput& listing, const Record& record) {
  write_text(listing, kColumnTitleLine);
  char line[kHeaderValuesMax];
  write_text(listing, {line, format_header_values(line, record.number(), record.header())});
}

// A record that fails the check still gets its header lines.
void write_failed_record(Reader& reader, RunContext& run) {
  const Record& record = reader.record();
  if (reader.stop().reason == StopReason::check_failed && run.plan.header_lines &&
      record_selected(run.plan, record.header())) {
    write_header_lines(run.listing, record);
  }
}

// Lists one record in the thread at hand: its header lines when selected, then its listing.
// Returns the work of what it wrote (listing_work.h).
template <typename Listing>
int64_t list_one(const Record& record, ListingOutput& out, const ListingPlan& plan,
                 Listing& listing) {
  int64_t work = 0;
  if (plan.header_lines && record_selected(plan, record.header())) {
    write_header_lines(out, record);
    work = kHeaderLinesWork;
  }
  return work + listing.list_record(record);
}

// Listing in several threads: the record loop reads the records into batches, workers list the
// batches into text of their own, and the loop writes the texts out in the order of the file.
// A batch's text is what the single loop writes for its records, because everything a listing
// carries from record to record is either kept per worker (the tables of fields, which change
// the speed only) or handed to the worker with the batch (the subblock step counter); the
// progress line is taken from each batch as it is written.
constexpr std::size_t kBatchRecords = 64;
// A batch also ends once its records have this many subblocks and antenna lines, so that its
// text stays near the size of the listing buffer (1 MiB) whatever the records' shapes: at 64
// bytes a subblock line, 16384 lines are 1 MiB. Batches of 64 records of one-sample lines (8.6
// MiB of text each) made a listing 3.5 times slower than one thread, and took 122 MiB.
constexpr std::size_t kBatchLines = 16384;

struct Batch {
  // The records of the batch: the first `size` of the copies, kept from batch to batch.
  std::vector<OwnedRecord> records = std::vector<OwnedRecord>(kBatchRecords);
  std::size_t size = 0;
  int64_t step_counter = 0;  // the counter at the batch's first subblock
  std::vector<char> text;
  std::size_t text_size = 0;
  int64_t work = 0;  // the work of the text (listing_work.h)
  Console progress;
  bool listed = false;
};

template <typename Listing>
class Workers {
 public:
  Workers(const RunContext& run, int threads) : batches_(2 * static_cast<std::size_t>(threads)) {
    for (int t = 0; t < threads; ++t) threads_.emplace_back([this, &run] { work(run); });
  }
  ~Workers() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
  }
  std::size_t slots() const { return batches_.size(); }
  Batch& slot(uint64_t sequence) { return batches_[sequence % batches_.size()]; }

  // Batch `sequence` is filled: a worker may list it.
  void hand_out(uint64_t sequence) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      handed_out_ = sequence + 1;
    }
    ready_.notify_one();
  }
  // Waits until batch `sequence` is listed; rethrows what a worker threw.
  Batch& listed(uint64_t sequence) {
    Batch& batch = slot(sequence);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return batch.listed || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    batch.listed = false;
    return batch;
  }

 private:
  void work(const RunContext& shared) {
    // The text grows to what a batch needs (the buffer doubles when full), from a small start.
    ListingOutput out = make_listing_output(nullptr, kMinListingBufferSize);
    Console progress;
    RunContext run{shared.plan, out, progress};
    Listing listing(run);
    for (;;) {
      uint64_t sequence = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [&] { return quit_ || taken_ < handed_out_; });
        if (quit_) return;
        sequence = taken_++;
      }
      Batch& batch = slot(sequence);
      try {
        list_batch(batch, run, listing);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!failure_) failure_ = std::current_exception();
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.listed = true;
      }
      done_.notify_all();
    }
  }

  static void list_batch(Batch& batch, RunContext& run, Listing& listing) {
    ListingOutput& out = run.listing;
    out.buffer.swap(batch.text);
    if (out.buffer.size() < kMinListingBufferSize) out.buffer.resize(kMinListingBufferSize);
    out.used = 0;
    run.step_counter = batch.step_counter;
    run.console.walked = false;
    batch.work = 0;
    for (std::size_t r = 0; r < batch.size; ++r) {
      batch.work += list_one(batch.records[r].view(), out, run.plan, listing);
    }
    batch.text_size = out.used;
    batch.progress = run.console;
    out.buffer.swap(batch.text);
  }

  std::vector<Batch> batches_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_, done_;
  uint64_t handed_out_ = 0, taken_ = 0;
  bool quit_ = false;
  std::exception_ptr failure_;
};

// The default threads decide after every kChoiceRecords records listed, from the work of those
// records: a batch's worth, long enough for the programs of a file that change from record to
// record to even out, short against the files that workers pay for.
constexpr int64_t kChoiceRecords = 64;
// Workers start only where they are expected to save this many times what starting them costs:
// the costs are estimates, and a file where they would save little more than that was listed no
// faster with them than without (a shape of 32 MiB whose records would save 1.8 us each, 15 ms in
// all, against 12 ms for starting two workers).
constexpr double kStartMargin = 2.0;

// Whether the records go to workers. With -j N workers list every record (N > 1) or none (N = 1).
// With the default threads: what workers would save on each record listed is its work less
// kBatchRecordWork, taken over the last kChoiceRecords records. While the reading thread lists,
// workers start when that saving, over the records still ahead, comes to kStartMargin times the
// cost of starting them (worker_start_work); the records ahead are what the size of the DFT file
// leaves, or where that is not known (standard input, a pipe) as many again as have been listed:
// by the time the workers start, the reading thread has then listed records on which they would
// have saved kStartMargin times what starting them costs. While workers list, they stop when the
// records save nothing, and the reading thread lists again. The choice depends on the records, the
// plan and the file's size only, never on time, so every run of a file makes the same choices.
class WorkerChoice {
 public:
  WorkerChoice(const RunContext& run, int64_t start_work)
      : chosen_(run.threads > 1 && run.workers_when_paying),
        workers_(run.threads > 1 && !chosen_),
        file_records_(run.file_records),
        start_work_(start_work) {}
  bool workers() const { return workers_; }

  // `records` records listed, with that work.
  void add(int64_t work, std::size_t records) {
    if (!chosen_) return;
    listed_ += static_cast<int64_t>(records);
    work_ += work;
    records_ += static_cast<int64_t>(records);
    if (records_ < kChoiceRecords) return;
    const double saved = static_cast<double>(work_) / static_cast<double>(records_) -
                         static_cast<double>(kBatchRecordWork);  // on each record
    const int64_t ahead =
        file_records_ >= 0 ? std::max<int64_t>(file_records_ - listed_, 0) : listed_;
    workers_ = workers_ ? saved > 0.0
                        : saved * static_cast<double>(ahead) >=
                              kStartMargin * static_cast<double>(start_work_);
    work_ = records_ = 0;
  }

 private:
  bool chosen_;  // the records choose
  bool workers_;
  int64_t file_records_;
  int64_t start_work_;
  int64_t listed_ = 0;
  int64_t work_ = 0, records_ = 0;  // since the last choice
};

// The record loop. Records are listed in the reading thread or by workers, as WorkerChoice says;
// the texts of both go out in the order of the file. The reading thread's listing and the
// workers exist only while they list, so that memory is what one of them takes: whichever takes
// over starts anew (fields are kept for speed only; the step counter and the console are the
// run's).
template <typename Listing>
RunStop run_loop(Reader& reader, RunContext& run, int64_t start_work) {
  WorkerChoice choice(run, start_work);
  std::unique_ptr<Listing> own;
  std::unique_ptr<Workers<Listing>> workers;
  RunStop stop;
  uint64_t filled = 0, written = 0;  // batches
  bool reading = true;
  for (;;) {
    if (written == filled && !reading) break;  // the file has ended
    if (written == filled && !choice.workers()) {
      // One record in the reading thread.
      workers.reset();
      if (!own) own = std::make_unique<Listing>(run);
      if (!(reading = reader.next())) break;
      choice.add(list_one(reader.record(), run.listing, run.plan, *own), 1);
      if (run.listing.error != 0) {
        stop.write_error = run.listing.error;
        // The listing is complete before the stop message says so.
        flush_listing(run.listing);
        return stop;
      }
      continue;
    }
    if (!workers) {
      own.reset();
      workers = std::make_unique<Workers<Listing>>(run, run.threads);
    }
    // Fill every free slot while workers are to list, then write out the oldest batch.
    while (reading && choice.workers() && filled - written < workers->slots()) {
      Batch& batch = workers->slot(filled);
      batch.size = 0;
      batch.step_counter = run.step_counter;
      std::size_t lines = 0;
      while (batch.size < kBatchRecords && lines < kBatchLines && (reading = reader.next())) {
        const Record& record = reader.record();
        batch.records[batch.size++].assign(record);
        for (int32_t i = 0; i < record.subblock_count(); ++i) {
          advance_step(run.step_counter, run.plan.subblock_step);
        }
        lines += static_cast<std::size_t>(record.subblock_count()) *
                 static_cast<std::size_t>(record.antenna_count() + 1);
      }
      if (batch.size == 0) break;
      workers->hand_out(filled++);
    }
    if (written == filled) break;  // the file has ended
    Batch& batch = workers->listed(written++);
    choice.add(batch.work, batch.size);
    // The progress line shows the last record whose listing is being written.
    take_progress(run.console, batch.progress);
    write_through(run.listing, {batch.text.data(), batch.text_size});
    if (run.listing.error != 0) {
      // As in the reading thread, which sees the reader's stop only when the failed write was
      // of the last record's text.
      if (!reading && written == filled) stop.read = reader.stop();
      stop.write_error = run.listing.error;
      return stop;
    }
  }
  write_failed_record(reader, run);
  stop.read = reader.stop();
  if (!flush_listing(run.listing)) stop.write_error = run.listing.error;
  return stop;
}

}  // namespace

RunStop list_records(Reader& reader, RunContext& run) {
  return list_records(reader, run, worker_start_work(run.plan, run.threads));
}

RunStop list_records(Reader& reader, RunContext& run, int64_t start_work) {
  const RunStop stop = run.plan.kind == ListingKind::phase
                           ? run_loop<PhaseListing>(reader, run, start_work)
                           : run_loop<AmplitudeListing>(reader, run, start_work);
  end_console(run.console, stop_message(stop));
  return stop;
}

}  // namespace vexo
