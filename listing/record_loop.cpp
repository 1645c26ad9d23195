#include "listing/record_loop.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "listing/amplitude_listing.h"
#include "listing/header_lines.h"
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

template <typename Listing>
RunStop run_loop(Reader& reader, RunContext& run) {
  const auto listing = std::make_unique<Listing>(run);
  RunStop stop;
  for (;;) {
    const bool listed = reader.next();
    if (!listed) {
      write_failed_record(reader, run);
      stop.read = reader.stop();
      break;
    }
    const Record& record = reader.record();
    if (run.plan.header_lines && record_selected(run.plan, record.header())) {
      write_header_lines(run.listing, record);
    }
    listing->list_record(record);
    if (run.listing.error != 0) {
      stop.write_error = run.listing.error;
      break;
    }
  }
  // The listing is complete before the stop message says so.
  if (!flush_listing(run.listing)) stop.write_error = run.listing.error;
  return stop;
}

// Listing in several threads: the record loop reads the records into batches, workers list the
// batches into text of their own, and the loop writes the texts out in the order of the file.
// A batch's text is what the single loop writes for its records, because everything a listing
// carries from record to record is either kept per worker (the tables of fields, which change
// the speed only) or handed to the worker with the batch (the subblock step counter); the
// progress line is taken from each batch as it is written.
constexpr std::size_t kBatchRecords = 64;

struct Batch {
  // The records of the batch: the first `size` of the copies, kept from batch to batch.
  std::vector<OwnedRecord> records = std::vector<OwnedRecord>(kBatchRecords);
  std::size_t size = 0;
  int64_t step_counter = 0;  // the counter at the batch's first subblock
  std::vector<char> text;
  std::size_t text_size = 0;
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
    ListingOutput out = make_listing_output(nullptr);
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
    if (out.buffer.size() < kMinListingBufferSize) out.buffer.resize(kListingBufferSize);
    out.used = 0;
    run.step_counter = batch.step_counter;
    run.console.walked = false;
    for (std::size_t r = 0; r < batch.size; ++r) {
      const Record record = batch.records[r].view();
      if (run.plan.header_lines && record_selected(run.plan, record.header())) {
        write_header_lines(out, record);
      }
      listing.list_record(record);
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

template <typename Listing>
RunStop run_parallel_loop(Reader& reader, RunContext& run) {
  Workers<Listing> workers(run, run.threads);
  RunStop stop;
  uint64_t filled = 0, written = 0;
  bool reading = true;
  while (reading || written < filled) {
    // Fill every free slot, then write out the oldest batch.
    while (reading && filled - written < workers.slots()) {
      Batch& batch = workers.slot(filled);
      batch.size = 0;
      batch.step_counter = run.step_counter;
      while (batch.size < kBatchRecords && (reading = reader.next())) {
        const Record& record = reader.record();
        batch.records[batch.size++].assign(record);
        for (int32_t i = 0; i < record.subblock_count(); ++i) {
          advance_step(run.step_counter, run.plan.subblock_step);
        }
      }
      if (batch.size == 0) break;
      workers.hand_out(filled++);
    }
    if (written == filled) break;
    Batch& batch = workers.listed(written++);
    // The progress line shows the last record whose listing is being written.
    take_progress(run.console, batch.progress);
    write_through(run.listing, {batch.text.data(), batch.text_size});
    if (run.listing.error != 0) {
      // As the single loop, which sees the reader's stop only when the failed write was of the
      // last record's text.
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

template <typename Listing>
RunStop run_listing(Reader& reader, RunContext& run) {
  return run.threads > 1 ? run_parallel_loop<Listing>(reader, run) : run_loop<Listing>(reader, run);
}

}  // namespace

RunStop list_records(Reader& reader, RunContext& run) {
  const RunStop stop = run.plan.kind == ListingKind::phase
                           ? run_listing<PhaseListing>(reader, run)
                           : run_listing<AmplitudeListing>(reader, run);
  end_console(run.console, stop_message(stop));
  return stop;
}

}  // namespace vexo
