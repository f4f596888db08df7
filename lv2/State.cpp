// state:interface: the saved-state keys as typed LV2 properties. Both directions go
// through the component's own saved-state property, so restore follows its rules,
// duplicate UIDs included.
#include <lv2/state/state.h>

#include <cstring>
#include <mutex>
#include <string>

#include "lv2/MainQueueThread.h"
#include "lv2/PluginInstance.h"
#include "platform/PropertyList.h"

namespace korvel::lv2 {
namespace {

constexpr uint32_t kStoreFlags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;

LV2_State_Status Save(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle state,
                      uint32_t, const LV2_Feature* const*) {
  auto* self = static_cast<PluginInstance*>(handle);
  plist_t saved = nullptr;
  {
    std::lock_guard lock(InstanceStateLock());
    uint32_t size = sizeof saved;
    self->getProperty(self->component, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                      &saved, &size);
  }
  platform::PlistPtr owner(saved);
  if (saved == nullptr) return LV2_STATE_ERR_UNKNOWN;
  const Uris& u = self->uris;
  for (auto [key, urid] :
       {std::pair{"tvUniqueID", u.uniqueIDKey}, std::pair{"tvConnected", u.connectedKey}}) {
    if (auto value = platform::IntegerValue(plist_dict_get_item(saved, key))) {
      const int32_t number = static_cast<int32_t>(*value);
      store(state, urid, &number, sizeof number, u.atomInt, kStoreFlags);
    }
  }
  if (auto name = platform::StringValue(plist_dict_get_item(saved, "tvTrackName"));
      name && !name->empty())
    store(state, u.trackNameKey, name->c_str(), name->size() + 1, u.atomString, kStoreFlags);
  return LV2_STATE_SUCCESS;
}

LV2_State_Status Restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle state, uint32_t, const LV2_Feature* const*) {
  auto* self = static_cast<PluginInstance*>(handle);
  const Uris& u = self->uris;
  platform::PlistPtr saved(plist_new_dict());
  // A value of another type than the one saved counts as absent.
  for (auto [key, urid] :
       {std::pair{"tvUniqueID", u.uniqueIDKey}, std::pair{"tvConnected", u.connectedKey}}) {
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(state, urid, &size, &type, &flags);
    if (value == nullptr || type != u.atomInt || size != sizeof(int32_t)) continue;
    int32_t number;
    std::memcpy(&number, value, sizeof number);
    plist_dict_set_item(saved.get(), key, platform::NewIntegerNode(number));
  }
  size_t size = 0;
  uint32_t type = 0, flags = 0;
  if (const void* value = retrieve(state, u.trackNameKey, &size, &type, &flags);
      value && type == u.atomString) {
    const char* text = static_cast<const char*>(value);
    plist_dict_set_item(saved.get(), "tvTrackName",
                        plist_new_string(std::string(text, strnlen(text, size)).c_str()));
  }
  plist_t dictionary = saved.get();
  std::lock_guard lock(InstanceStateLock());
  self->setProperty(self->component, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                    &dictionary, sizeof dictionary);
  return LV2_STATE_SUCCESS;
}

const LV2_State_Interface kInterface = {Save, Restore};

}  // namespace

const void* const kStateInterface = &kInterface;

}  // namespace korvel::lv2
