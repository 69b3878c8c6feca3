// The system-path guard on the paths the registrations take from the environment.
#pragma once

#include <string_view>

namespace tavo {

// Whether the guard refuses `path`; a refused one is warned about under `target`, naming it, and
// the step that would have changed it is skipped. An administrator's registration edits folders
// the user names through USERPROFILE, APPDATA, LOCALAPPDATA and PATH; pointed at a system
// location, it must change nothing there.
bool skip_system_path(std::string_view path, std::string_view target);

// The warning of a skipped path, for a refusal that came from the edit itself (the object turned
// out to be a system location once opened).
void warn_refused(std::string_view path, std::string_view target);

}  // namespace tavo
