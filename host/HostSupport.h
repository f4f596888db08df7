// Small helpers the host's commands share: UIDs as text, random UIDs, the connection
// file's path, and standard error captured while the plug-in writes to it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace korvel::host {

/* "%08X": how the plug-in writes a UID in file names and log lines. */
std::string Hex(uint32_t uid);

/* A random 32-bit value from the kernel. */
uint32_t RandomU32();

/* /tmp/korvel_connection_<UID>.json */
std::string ConnectionFilePath(uint32_t uid);

/*
 * Standard error goes through a pipe for the life of the capture. Without `take`, all of
 * it is collected for finish(). With `take`, each line is handed to it as it arrives; the
 * lines it does not take (it returns false) go on to the real standard error unchanged.
 */
class StderrCapture {
 public:
  explicit StderrCapture(std::function<bool(const std::string& line)> take = nullptr);
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  /* Puts standard error back; returns once everything written so far was read, with the
   * collected text (empty with `take`). */
  std::string finish();

 private:
  void read();
  void pass(const std::string& line);

  std::function<bool(const std::string&)> take_;
  std::string collected_;
  int saved_ = -1;
  int readEnd_ = -1;
  std::thread reader_;
};

}  // namespace korvel::host
