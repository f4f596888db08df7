#include "tests/faults/FaultSupport.h"

#include <cstdio>

#include "platform/Dispatch.h"
#include "tests/support/TestSupport.h"

namespace korvel::test::faults {

bool WaitPumping(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  return WaitUntil(
      [&] {
        Korvel_RunMainQueue();
        return condition();
      },
      deadline);
}

TolvaneProcess::TolvaneProcess(const std::string& home, const std::vector<std::string>& args)
    : ChildProcess(
          [&] {
            std::vector<std::string> argv{TOLVANE_PATH};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
          }(),
          {{"HOME", home}}) {}

std::optional<size_t> TolvaneProcess::waitForLine(const std::string& text, size_t from,
                                                  std::chrono::milliseconds deadline) {
  std::optional<size_t> found;
  WaitPumping(
      [&] {
        return (found = ChildProcess::waitForLine(text, from, std::chrono::milliseconds(0)))
            .has_value();
      },
      deadline);
  return found;
}

OpenInstance::OpenInstance() {
  AudioComponentPlugInInterface* iface = KorvelAUFactory(nullptr);
  iface->Open(iface, reinterpret_cast<AudioComponentInstance>(iface));
  inst_ = reinterpret_cast<KorvelInstance*>(iface);
}

OpenInstance::~OpenInstance() { inst_->plugInInterface.Close(inst_); }

std::string OpenInstance::trackName() const {
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst_, name);
  return name;
}

int32_t OpenInstance::pendingCount() const {
  KR_Lock(&inst_->pendingLock);
  const int32_t count = inst_->pendingCount;
  KR_Unlock(&inst_->pendingLock);
  return count;
}

void OpenInstance::command(uint32_t command) {
  KR_SetProperty(inst_, kKorvelProperty_CompanionCommand, 0, 0, &command, sizeof command);
}

}  // namespace korvel::test::faults
