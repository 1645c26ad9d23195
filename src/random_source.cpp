// Random reads of a file (pread where the system has it) and of memory.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vexo/part.h"

#if defined(_WIN32)
#include <mutex>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vexo {
namespace {

class MemorySource : public RandomSource {
 public:
  MemorySource(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
  std::size_t read_at(uint64_t offset, unsigned char* data, std::size_t size, int&) override {
    if (offset >= size_) return 0;
    const std::size_t n = std::min<std::size_t>(size, size_ - static_cast<std::size_t>(offset));
    std::memcpy(data, data_ + offset, n);
    return n;
  }
  const unsigned char* memory(std::size_t& size) const override {
    size = size_;
    return data_;
  }

 private:
  const unsigned char* data_;
  std::size_t size_;
};

#if defined(_WIN32)
class FileRandomSource : public RandomSource {
 public:
  explicit FileRandomSource(std::FILE* file) : file_(file) {}
  ~FileRandomSource() override { std::fclose(file_); }
  std::size_t read_at(uint64_t offset, unsigned char* data, std::size_t size, int& error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (_fseeki64(file_, static_cast<long long>(offset), SEEK_SET) != 0) {
      error = errno != 0 ? errno : EIO;
      return 0;
    }
    const std::size_t got = std::fread(data, 1, size, file_);
    if (got < size && std::ferror(file_)) {
      error = errno != 0 ? errno : EIO;
      return 0;
    }
    return got;
  }

 private:
  std::FILE* file_;
  std::mutex mutex_;
};
#else
class FileRandomSource : public RandomSource {
 public:
  explicit FileRandomSource(int fd) : fd_(fd) {}
  ~FileRandomSource() override { ::close(fd_); }
  std::size_t read_at(uint64_t offset, unsigned char* data, std::size_t size, int& error) override {
    std::size_t got = 0;
    while (got < size) {
      const ssize_t n = ::pread(fd_, data + got, size - got, static_cast<off_t>(offset + got));
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno != 0 ? errno : EIO;
        return 0;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    return got;
  }

 private:
  int fd_;
};
#endif

}  // namespace

std::unique_ptr<RandomSource> RandomSource::open(const std::string& path, int& error) {
  errno = 0;
#if defined(_WIN32)
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = errno != 0 ? errno : ENOENT;
    return nullptr;
  }
  return std::make_unique<FileRandomSource>(file);
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno != 0 ? errno : ENOENT;
    return nullptr;
  }
  return std::make_unique<FileRandomSource>(fd);
#endif
}

std::unique_ptr<RandomSource> RandomSource::over_memory(const void* data, std::size_t size) {
  return std::make_unique<MemorySource>(static_cast<const unsigned char*>(data), size);
}

}  // namespace vexo
