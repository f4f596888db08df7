/* The version text the editor shows and copies: "v<component version>". */
#pragma once

#include <string>

namespace korvel::editor {

/*
 * "v%d" with the version of the first entry of the bundle's AudioComponents; "v0" when
 * that entry has no version; "v?" when there is no bundle or no such array. Worked out
 * on the first call and kept for the life of the process. Main thread only.
 */
const std::string& PluginVersion();

/* Tests: forget the kept text, so that the next call reads the bundle again. */
void ResetPluginVersionForTesting();

}  // namespace korvel::editor
