#pragma once

#include <unistd.h>

#include <utility>

namespace ulmora {

// Owns one file descriptor and closes it on destruction. Move-only.
//
// Thread-safety: a value type; one object needs external locking. get() may be
// read concurrently as long as no thread resets or moves the object.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    // close(2) is not retried on EINTR: on Linux the descriptor is gone
    // either way, and a retry could close one another thread just opened.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace ulmora
