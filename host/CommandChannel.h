// Commands for a running host, one per line on standard input, so that a person or a
// script can drive a session while it plays: click an editor's Connect button or its
// Disconnect label, print what the instances saw, write editor snapshots, quit. Every
// command's output ends with a line "ok <command>" (or "error <command>: why"), so a
// script can wait for it.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace korvel::host {

class EditorView;
class MainLoop;
class Session;

class CommandChannel {
 public:
  CommandChannel(Session& session, MainLoop& loop, std::ostream& out);
  ~CommandChannel();
  CommandChannel(const CommandChannel&) = delete;
  CommandChannel& operator=(const CommandChannel&) = delete;

  // Runs the commands that have arrived; main thread only.
  void runPending();
  bool quitRequested() const { return quit_; }
  bool inputClosed() const { return closed_.load(); }

 private:
  void readLines();
  void run(const std::string& line);
  EditorView& viewFor(size_t track);
  bool clickConnect(size_t track);
  bool clickDisconnect(size_t track);

  Session& session_;
  MainLoop& loop_;
  std::ostream& out_;
  int stopFd_ = -1;
  std::mutex mutex_;
  std::deque<std::string> lines_;
  std::atomic<bool> closed_{false};
  bool quit_ = false;
  std::map<size_t, std::unique_ptr<EditorView>> views_;
  std::thread reader_;
};

}  // namespace korvel::host
