#include "platform/SafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace korvel::platform {
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
  /* Closes now and reports the result: a write error may only show up here. */
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

/* Reads until end of file or until `buffer` has `limit` bytes; false on an error. */
bool ReadUpTo(int fd, std::string& buffer, size_t limit) {
  size_t used = 0;
  for (;;) {
    if (used == buffer.size()) {
      if (used >= limit) break;
      // The file grew after fstat: make room, but never beyond the limit.
      buffer.resize(std::min(limit, used + std::max<size_t>(used, 4096)));
    }
    ssize_t n = ::read(fd, buffer.data() + used, buffer.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buffer.resize(used);
  return true;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::atomic<uint64_t> gSharedFileReads{0};

FileIdentity IdentityFromStat(const struct stat& st) {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modifiedSeconds = st.st_mtim.tv_sec;
  id.modifiedNanoseconds = st.st_mtim.tv_nsec;
  id.changedSeconds = st.st_ctim.tv_sec;
  id.changedNanoseconds = st.st_ctim.tv_nsec;
  return id;
}

// Every change of a file sets its change time from the kernel's clock. On file systems
// with fine-grained timestamps a change that follows a stat always gets a later time, but
// elsewhere the stamp may be as coarse as a clock tick or a second, so a same-size rewrite
// right after our read could keep every field. A change time older than this margin
// before a clock reading taken after the read rules that out.
constexpr int64_t kSettledMarginSeconds = 2;
std::atomic<int64_t> gClockSkewSeconds{0};

bool HasSettled(const struct stat& st) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return st.st_ctim.tv_sec + kSettledMarginSeconds <
         now.tv_sec + gClockSkewSeconds.load(std::memory_order_relaxed);
}

// O_NONBLOCK: opening a FIFO must not wait for a writer. O_NOFOLLOW: a link planted at
// the path (to /dev/zero, to someone's private file) is refused outright.
int OpenForReading(const std::string& path, Links links) {
  const int follow = links == Links::Refuse ? O_NOFOLLOW : 0;
  return ::open(path.c_str(), O_RDONLY | follow | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

std::optional<std::string> ReadOpenFile(int fd, size_t maxSize, struct stat& st) {
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxSize) return std::nullopt;
  // One byte beyond the limit tells a file that grew too large while being read.
  const size_t limit = maxSize + 1;
  std::string contents(std::min(limit, static_cast<size_t>(st.st_size) + 1), '\0');
  gSharedFileReads.fetch_add(1, std::memory_order_relaxed);
  if (!ReadUpTo(fd, contents, limit)) return std::nullopt;
  if (contents.size() > maxSize) return std::nullopt;
  return contents;
}

}  // namespace

std::optional<std::string> ReadSharedFile(const std::string& path, size_t maxSize) {
  return ReadRegularFile(path, maxSize, Links::Refuse);
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxSize, Links links) {
  FileDescriptor fd(OpenForReading(path, links));
  if (fd.get() < 0) return std::nullopt;
  struct stat st;
  return ReadOpenFile(fd.get(), maxSize, st);
}

std::optional<FileIdentity> SharedFileIdentity(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return IdentityFromStat(st);
}

std::optional<std::string> ReadSharedFile(const std::string& path,
                                          std::optional<FileIdentity>& identity) {
  identity.reset();
  FileDescriptor fd(OpenForReading(path, Links::Refuse));
  if (fd.get() < 0) return std::nullopt;
  // The identity is taken before the bytes, so the bytes are never older than it: a
  // change during the read shows as a new identity next time.
  struct stat st;
  auto contents = ReadOpenFile(fd.get(), kMaxSharedFileSize, st);
  if (contents && HasSettled(st)) identity = IdentityFromStat(st);
  return contents;
}

uint64_t SharedFileReadCount() { return gSharedFileReads.load(std::memory_order_relaxed); }

void SetSettledClockSkewForTesting(int64_t seconds) {
  gClockSkewSeconds.store(seconds, std::memory_order_relaxed);
}

bool WriteFileAtomically(const std::string& path, std::string_view contents) {
  // The temporary name starts with a dot and carries random letters; mkostemp creates it
  // with O_CREAT|O_EXCL, so nothing already at that name (a planted link) is ever opened.
  std::string temp = DirectoryOf(path) + "/." + BaseNameOf(path) + ".XXXXXX";
  FileDescriptor fd(::mkostemp(temp.data(), O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) return false;
  bool ok = ::fchmod(fd.get(), 0644) == 0 && WriteAll(fd.get(), contents);
  ok = fd.close() && ok;
  // rename replaces whatever is at the path, a symbolic link included, without
  // following it.
  if (ok && ::rename(temp.c_str(), path.c_str()) == 0) return true;
  ::unlink(temp.c_str());
  return false;
}

}  // namespace korvel::platform
