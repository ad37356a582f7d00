// Puts a pipe holding given bytes on descriptor 0 for the life of the object.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace vidlet_test {

class StdinFrom {
 public:
  // The bytes must fit the pipe (64 KiB); with keepOpen the writing end stays open, so reads
  // block instead of seeing end of input once the bytes are consumed.
  explicit StdinFrom(const std::string& bytes, bool keepOpen = false) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    saved_ = ::dup(0);
    if (!bytes.empty())
      ok_ = ::write(p[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    else
      ok_ = true;
    if (keepOpen)
      writer_ = p[1];
    else
      ::close(p[1]);
    ::dup2(p[0], 0);
    ::close(p[0]);
  }
  ~StdinFrom() {
    if (writer_ >= 0) ::close(writer_);
    ::dup2(saved_, 0);
    ::close(saved_);
  }
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

  bool ok() const { return ok_; }
  int writer() const { return writer_; }
  void closeWriter() {
    if (writer_ >= 0) ::close(writer_);
    writer_ = -1;
  }

 private:
  int saved_ = -1;
  int writer_ = -1;
  bool ok_ = false;
};

}  // namespace vidlet_test
