#include "localization/LocalFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvel::localization {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::optional<std::string> ReadLocalFile(const std::string& path, size_t maxSize) {
  // O_NONBLOCK keeps the open itself from waiting on a FIFO; fstat then rejects it.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > maxSize) return std::nullopt;

  // The size is only a hint: the file may grow while it is read, so the cap is checked again.
  std::string data;
  data.reserve(static_cast<size_t>(st.st_size));
  char buffer[16 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > maxSize) return std::nullopt;
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

}  // namespace korvel::localization
