#include "host/CommandChannel.h"

#include <cairo.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sstream>

#include "host/EditorSnapshots.h"
#include "host/EditorView.h"
#include "host/MainLoop.h"
#include "host/MonitoredState.h"
#include "host/Session.h"

namespace korvel::host {

namespace {
// The header's "Disconnect" label is drawn in this red; it is found on the rendered
// editor, so the click lands where a person would click.
bool IsLabelRed(const unsigned char* argb) {
  const int b = argb[0], g = argb[1], r = argb[2];
  return r > 200 && g > 40 && g < 120 && b > 40 && b < 120;
}
}  // namespace

CommandChannel::CommandChannel(Session& session, MainLoop& loop, std::ostream& out)
    : session_(session), loop_(loop), out_(out), stopFd_(eventfd(0, EFD_CLOEXEC)) {
  reader_ = std::thread([this] { readLines(); });
}

CommandChannel::~CommandChannel() {
  uint64_t one = 1;
  if (write(stopFd_, &one, sizeof one) < 0) {
    // The reader then ends with the input instead.
  }
  reader_.join();
  close(stopFd_);
}

void CommandChannel::readLines() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
      closed_ = true;
      loop_.wake();
      return;
    }
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(pending.substr(0, newline));
      }
      pending.erase(0, newline + 1);
      loop_.wake();
    }
  }
}

void CommandChannel::runPending() {
  for (;;) {
    std::string line;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (lines_.empty()) return;
      line = std::move(lines_.front());
      lines_.pop_front();
    }
    run(line);
  }
}

EditorView& CommandChannel::viewFor(size_t track) {
  auto& view = views_[track];
  if (!view) view = MakeEditorView(*session_.tracks()[track]->instance);
  view->tick();  // the editor's own refresh: the instance's state and the connection file
  return *view;
}

bool CommandChannel::clickConnect(size_t track) {
  EditorView& view = viewFor(track);
  const KorvelViewRect frame = view.frame();
  // The middle of the connect button, which the editor only shows while unlinked.
  view.mouseDown(frame.width / 2, (frame.height - 33) / 2 + 78 + 17);
  return true;
}

bool CommandChannel::clickDisconnect(size_t track) {
  EditorView& view = viewFor(track);
  const KorvelViewRect frame = view.frame();
  const int width = static_cast<int>(frame.width), height = static_cast<int>(frame.height);
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(surface);
  view.draw(cr);
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  int left = width, right = -1;
  // Between the title's start and the copy area at the right end of the header.
  for (int y = 4; y < 28; ++y)
    for (int x = 26; x < width - 120; ++x)
      if (IsLabelRed(data + y * stride + 4 * x))
        left = std::min(left, x), right = std::max(right, x);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  if (right < 0) return false;
  view.mouseDown((left + right) / 2.0, 16);
  return true;
}

void CommandChannel::run(const std::string& line) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  if (command.empty()) return;
  auto fail = [&](const std::string& why) {
    out_ << "error " << command << ": " << why << std::endl;
  };
  auto trackArgument = [&](size_t* index) {
    size_t n = 0;
    if (!(words >> n) || n < 1 || n > session_.tracks().size()) {
      fail("give a track number from 1 to " + std::to_string(session_.tracks().size()));
      return false;
    }
    *index = n - 1;
    return true;
  };
  try {
    size_t track;
    if (command == "connect") {
      if (!trackArgument(&track)) return;
      clickConnect(track);
      out_ << "track " << track + 1 << ": Connect clicked" << std::endl;
    } else if (command == "disconnect") {
      if (!trackArgument(&track)) return;
      if (!clickDisconnect(track))
        return fail("track " + std::to_string(track + 1) + " shows no Disconnect label");
      out_ << "track " << track + 1 << ": Disconnect clicked" << std::endl;
    } else if (command == "state") {
      for (size_t i = 0; i < session_.tracks().size(); ++i)
        PrintTrackReport(out_, i, *session_.tracks()[i]);
    } else if (command == "snapshot") {
      SnapshotOptions options;
      if (!(words >> options.directory)) return fail("give a directory");
      for (const std::string& path : WriteEditorSnapshots(session_, options))
        out_ << "snapshot " << path << std::endl;
    } else if (command == "quit") {
      quit_ = true;
    } else {
      return fail("unknown command (connect N, disconnect N, state, snapshot DIR, quit)");
    }
    out_ << "ok " << command << std::endl;
  } catch (const std::exception& e) {
    fail(e.what());
  }
}

}  // namespace korvel::host
