#include "component/SavedState.h"

#include <cstring>
#include <optional>
#include <string>

#include "identity/UIDRegistry.h"
#include "link/CompanionLink.h"
#include "platform/PropertyList.h"
#include "platform/SystemLog.h"
#include "platform/UnicodeText.h"
#include "record/KorvelInstance.h"

using korvel::platform::IntegerValue;
using korvel::platform::NewIntegerNode;
using korvel::platform::StringValue;

plist_t KR_CopySavedState(KorvelInstance* inst) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "version", NewIntegerNode(0));
  plist_dict_set_item(dict, "type",
                      NewIntegerNode(static_cast<int32_t>(KORVEL_FOURCC('a', 'u', 'm', 'i'))));
  plist_dict_set_item(dict, "subtype",
                      NewIntegerNode(static_cast<int32_t>(KORVEL_FOURCC('k', 'r', 'v', '2'))));
  plist_dict_set_item(dict, "manufacturer",
                      NewIntegerNode(static_cast<int32_t>(KORVEL_FOURCC('T', 'l', 'v', 'n'))));
  plist_dict_set_item(dict, "name", plist_new_string("Korvel"));
  // The stored format keeps the UID as a signed 32-bit number: UIDs from 0x80000000 up
  // are negative in a project file.
  plist_dict_set_item(dict, "tvUniqueID",
                      NewIntegerNode(static_cast<int32_t>(KR_Load(inst->uniqueID))));
  plist_dict_set_item(dict, "tvConnected", NewIntegerNode(KR_Load(inst->isConnected) ? 1 : 0));
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst, name);
  if (name[0] != '\0' && korvel::IsValidUTF8(name))
    plist_dict_set_item(dict, "tvTrackName", plist_new_string(name));
  return dict;
}

void KR_RestoreSavedState(KorvelInstance* inst, plist_t state) {
  if (state == nullptr || plist_get_node_type(state) != PLIST_DICT) return;

  // Everything that needs memory is taken before the record changes, so that running out
  // of it changes nothing (what follows the UID claim allocates nothing that can throw).
  const std::optional<std::string> savedName =
      StringValue(plist_dict_get_item(state, "tvTrackName"));
  bool takeOverLink = true;
  // A value that is not a number is ignored as if the key were absent.
  if (auto saved = IntegerValue(plist_dict_get_item(state, "tvUniqueID"))) {
    const uint32_t savedUID = static_cast<uint32_t>(static_cast<int32_t>(*saved));
    if (!KR_SetUniqueIDKeepingRegistry(inst, savedUID)) {
      const uint32_t fresh = KR_AssignFreshUID(inst);
      KR_Store(inst->isConnected, 0);
      KR_SetTrackName(inst, "", 0);
      korvel::platform::SystemLog("Korvel: duplicated UID %08X detected, assigned fresh UID %08X",
                                  savedUID, fresh);
      takeOverLink = false;
    }
  }
  if (takeOverLink) {
    if (auto connected = IntegerValue(plist_dict_get_item(state, "tvConnected"))) {
      KR_Store(inst->isConnected, static_cast<int32_t>(*connected) != 0 ? 1 : 0);
    }
    if (savedName) {
      // A name too long for the record is cut at the last whole character that fits.
      const size_t length = korvel::UTF8PrefixLength(*savedName, kKorvelTrackNameSize - 1);
      KR_SetTrackName(inst, savedName->data(), length);
    }
  }
  KR_CheckActiveTrack(inst);
  char name[kKorvelTrackNameSize];
  KR_CopyTrackName(inst, name);
  if (KR_Load(inst->isConnected) && name[0] != '\0') KR_WriteConnectionFile(inst);
}
