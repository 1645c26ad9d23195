// Byte sources over a C stream and over a C++ stream.
#pragma once

#include <cstdio>
#include <istream>

#include "vexo/reader.h"

namespace vexo {

class FileSource : public ByteSource {
 public:
  // An owned stream is closed with the source.
  FileSource(std::FILE* file, bool owned) : file_(file), owned_(owned) {}
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  std::size_t read(unsigned char* data, std::size_t size, int& error) override;

 private:
  std::FILE* file_;
  bool owned_;
};

class StreamSource : public ByteSource {
 public:
  explicit StreamSource(std::istream& stream) : stream_(stream) {}
  std::size_t read(unsigned char* data, std::size_t size, int& error) override;

 private:
  std::istream& stream_;
};

}  // namespace vexo
