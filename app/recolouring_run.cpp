#include "app/recolouring_run.h"

#include <string>
#include <vector>

#include "app/colour_scheme.h"
#include "common/session_values.h"
#include "common/string_list.h"
#include "console/console_output.h"
#include "console/failure_report.h"
#include "registry/platform_facts.h"
#include "registry/registry.h"

namespace {

const std::string SessionsKeyPath = "\\" SESSIONS_KEY_PATH;
const std::string SessionKeyPrefix = SessionsKeyPath + "\\";

std::string FailureLine(const std::string& colour, const std::string& session, const std::string& valueName) {
  return "Could not write value " + colour + " to registry key HKEY_CURRENT_USER" + SessionKeyPrefix +
         session + "\\" + valueName;
}

// The per-value guard: any error while one value is written means that value
// was not written. Only the session's own key ever receives it, since a
// failed selection leaves nothing to write into.
bool WriteColourValue(TRegistry& registry, const std::string& sessionKeyPath, const std::string& valueName,
                      const std::string& colour) {
  try {
    if (!registry.SelectKey(sessionKeyPath, true)) return false;
    registry.PutText(valueName, colour);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void RecolouringRun() {
  // A console program, so a fatal report goes to standard error.
  FixPlatformFacts();
  InstallFailureHandling();

  // Created and released explicitly: a failure that escapes the run leaves
  // them to the end of the process.
  TRegistry* registry = new TRegistry;
  TStringList* sessions = new TStringList;
  TStringList* colours = new TStringList;
  LoadColourScheme(*colours);
  // Named once, not at every value: the run writes them over and over.
  TStringList* valueNames = new TStringList;
  for (int32_t colourIndex = 0; colourIndex < colours->Count(); ++colourIndex) {
    valueNames->Add(ColourValueName(colourIndex));
  }

  // The sessions key is only ever opened: a missing one is never created.
  if (registry->SelectKey(SessionsKeyPath, false)) {
    std::vector<bool> nameIsExact;
    registry->ListSubkeyNames(*sessions, nameIsExact);
    // One string for every session's path, so that its storage is reused.
    std::string sessionKeyPath;
    const int32_t sessionCount = sessions->Count();
    for (int32_t sessionIndex = 0; sessionIndex < sessionCount; ++sessionIndex) {
      const std::string& session = sessions->Get(sessionIndex);
      StandardOutput.WriteText(session);
      StandardOutput.EndLine();
      CheckOutput();

      // A name the code page cannot hold is never selected: by that name the
      // service would create a key no session had, or reach another one. Its
      // values are reported as not written, as for a key that cannot be opened.
      const bool selectable = nameIsExact[static_cast<size_t>(sessionIndex)];
      sessionKeyPath.assign(SessionKeyPrefix).append(session);
      const int32_t colourCount = colours->Count();
      for (int32_t colourIndex = 0; colourIndex < colourCount; ++colourIndex) {
        const std::string& colour = colours->Get(colourIndex);
        const std::string& valueName = valueNames->Get(colourIndex);
        if (selectable && WriteColourValue(*registry, sessionKeyPath, valueName, colour)) continue;
        StandardOutput.WriteText(FailureLine(colour, session, valueName));
        StandardOutput.EndLine();
        CheckOutput();
      }
    }
  }

  delete registry;
  delete sessions;
  delete colours;
  delete valueNames;
}
