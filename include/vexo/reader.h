// The record reader: reads a DFT file from its first record to its end, one record at a time,
// from a file, from memory or from any byte stream (a pipe), and says why it stopped.
//
//   vexo::Reader reader = vexo::Reader::open("day342.dft");
//   while (reader.next()) {
//     const vexo::Record& record = reader.record();
//     std::cout << "record " << record.number() << ": " << record.sample_count() << " samples\n";
//   }
//   if (!reader.stop().clean()) std::cerr << vexo::describe(reader.stop()) << '\n';
//
// Records are read forward only, in blocks; memory stays the same whatever the size of the
// file. A reader holds no state shared with any other: readers in different threads are
// independent. One reader is not to be used from two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <memory>
#include <string>

#include "vexo/record.h"

namespace vexo {

// Why the reader stopped.
enum class StopReason {
  none,          // it has not stopped: next() may be called again
  end_of_file,   // clean end: no byte left where a record starts (an empty file included)
  bad_marker,    // a record start whose first byte is not the record marker 10
  truncated,     // a record start with the marker but fewer than 4096 bytes left
  read_error,    // the file could not be opened or read
  check_failed,  // a record failed the check: 16*u + l is 0, or A is 0 (no antennas)
};

struct Stop {
  StopReason reason = StopReason::none;
  int64_t record_number = 0;  // the record at which it stopped, counted from 1
  uint64_t offset = 0;        // its byte offset in the file
  int first_byte = -1;        // bad_marker: the byte found at the record start
  std::size_t available = 0;  // truncated: the bytes left from the record start
  int error_number = 0;       // read_error: the errno of the failure
  bool no_antennas = false;   // check_failed: A is 0 (else 16*u + l is 0)

  bool clean() const { return reason == StopReason::end_of_file; }
};

// One line that says why: "record 3 at byte 8192: truncated record, 100 of 4096 bytes",
// "record 1 at byte 0: first byte is 65, not the record marker 10", "record 2 at byte 4096:
// record check failed: 16*u + l is 0", "record 1 at byte 0: cannot read: ...", "end of file".
std::string describe(const Stop& stop);

// A source of bytes, read from the front to the end.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes into `data` and returns how many; 0 at the end or on a failure,
  // which then sets `error` (an errno value, EIO when there is none).
  virtual std::size_t read(unsigned char* data, std::size_t size, int& error) = 0;
};

class Reader {
 public:
  static constexpr std::size_t kDefaultBlockSize = std::size_t{4} << 20;

  // The file at `path`. A file that cannot be opened stops the reader at once (read_error).
  static Reader open(const std::string& path, std::size_t block_size = kDefaultBlockSize);
  // `size` bytes at `data`, which must stay put while the reader is in use; nothing is copied.
  static Reader over_memory(const void* data, std::size_t size);
  // An open stream (a file or a pipe), read from where it stands; the caller closes it.
  static Reader over_stream(std::FILE* stream, std::size_t block_size = kDefaultBlockSize);
  static Reader over_stream(std::istream& stream, std::size_t block_size = kDefaultBlockSize);
  explicit Reader(std::unique_ptr<ByteSource> source, std::size_t block_size = kDefaultBlockSize);

  // A reader that was moved from may only be assigned to or destroyed.
  Reader(Reader&&) noexcept;
  Reader& operator=(Reader&&) noexcept;
  ~Reader();

  // Moves on to the next record. True: record() is that record, decoded and checked. False:
  // the reader has stopped and stop() says why; every later call returns false too.
  bool next();

  // The record of the last next() that returned true, valid until the next call of next().
  // After a check_failed stop: the record that failed, with its header (it has no derived
  // values and no subblocks). Before the first record and after any other stop: no record
  // (number 0, see Record).
  const Record& record() const;

  const Stop& stop() const;

 private:
  friend class Index;
  // next() that decodes the descriptors only when asked (the index's pass).
  bool next(bool with_descriptors);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  explicit Reader(std::unique_ptr<Impl> impl);
};

}  // namespace vexo
