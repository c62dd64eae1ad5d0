// The invariants of one whole run of the tool against the platform stand-in,
// checked from what the stand-in saw: the registry before and after, the call
// log, every value write and enumerated name, and the bytes of standard
// output and standard error. Shared by the fault sweep (tests/) and the
// whole-run fuzz target, so it reports violations as text instead of
// asserting.
//
// What a run may do:
// - exit 0 after a completed run: standard output holds exactly, per listed
//   session, its name and one failure line per value not written; standard
//   error is empty; no key handle is left open. A session is listed when both
//   the ANSI and the wide enumeration of its index succeeded and named one
//   key; unless its ANSI name converts back to exactly its wide name, it is
//   never selected and all its values count as not written;
// - exit 1 with one report on standard error (pieces of it only when a write
//   to standard error itself failed); standard output is then a prefix of
//   what the run had produced, possibly followed by the line end that the
//   channel appends after a failed write of the line's text.
// In either case values reach only the listed sessions' own keys, only as the
// scheme's texts, and nothing else in the registry changes.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/colour_scheme.h"
#include "common/string_list.h"
#include "fuzz/run_listing.h"
#include "platform/standin/standin.h"

namespace runcheck {

inline const std::string SessionsKey = "Software\\Tessaloquin\\Zorvo\\Sessions";
inline const std::string ModuleName = "zorvo-recolour.exe";
constexpr int ColoursPerSession = 22;

/// Every key below HKEY_CURRENT_USER ("" is the root) with its values.
using Snapshot = std::map<std::string, std::map<std::string, standin::Value>>;

inline void SnapshotBelow(const std::string& path, Snapshot& snapshot) {
  snapshot[path] = standin::Values(path);
  for (const std::string& name : standin::SubkeyNames(path)) {
    SnapshotBelow(path.empty() ? name : path + "\\" + name, snapshot);
  }
}

inline Snapshot TakeSnapshot() {
  Snapshot snapshot;
  SnapshotBelow("", snapshot);
  return snapshot;
}

/// What a harness changed in the registry while the run went on.
struct HarnessChanges {
  std::set<std::string> Deleted;  // keys removed, with their subtrees
  std::set<std::string> Added;    // keys created, without values
  bool Any() const { return !Deleted.empty() || !Added.empty(); }
};

struct Verdict {
  std::vector<std::string> Violations;
  bool Completed = false;      // exit 0
  bool ReportWritten = false;  // exit 1 and the report's text reached standard error
};

namespace detail {

inline std::vector<std::string> Scheme() {
  TStringList list;
  LoadColourScheme(list);
  std::vector<std::string> texts;
  for (int32_t i = 0; i < list.Count(); ++i) texts.push_back(list.Get(i));
  return texts;
}

inline const std::vector<std::string>& SchemeTexts() {
  static const std::vector<std::string> texts = Scheme();
  return texts;
}

inline std::string ColourName(int index) { return "Colour" + std::to_string(index); }

inline bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// A shown text: printable bytes as they are, others escaped; long texts cut.
inline std::string Shown(const std::string& bytes, size_t limit = 300) {
  std::string shown;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += static_cast<char>(byte);
    } else {
      static const char hex[] = "0123456789ABCDEF";
      shown += "\\x";
      shown += hex[byte >> 4];
      shown += hex[byte & 15];
    }
  }
  if (bytes.size() > limit) shown += "...(" + std::to_string(bytes.size()) + " bytes)";
  return shown;
}

inline std::string FailureLine(int index, const std::string& session) {
  return "Could not write value " + SchemeTexts()[index] +
         " to registry key HKEY_CURRENT_USER\\Software\\Tessaloquin\\Zorvo\\Sessions\\" + session +
         "\\Colour" + std::to_string(index);
}

// What the output check's message is for an output failure code.
inline std::string IoMessage(long code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: return "I/O error " + std::to_string(code);
  }
}

// One colour step of the run: a selection with creation and at most one write.
struct Step {
  bool Selected = false;
  const standin::ValueWrite* Write = nullptr;
};

// Checks one report text; `codes` are the output failure codes the run met.
inline void CheckReportText(const std::string& text, const std::set<long>& codes, bool moduleLookupFailed,
                            std::vector<std::string>& violations) {
  const std::string head = "Exception EInOutError in module ";
  const auto bad = [&](const std::string& why) {
    violations.push_back("malformed report (" + why + "): \"" + Shown(text) + "\"");
  };
  if (!StartsWith(text, head)) return bad("class or opening");
  const size_t at = text.find(" at ", head.size());
  if (at == std::string::npos) return bad("no position");
  const std::string module = text.substr(head.size(), at - head.size());
  if (module != ModuleName && !(module.empty() && moduleLookupFailed)) return bad("module name");
  const size_t digits = at + 4;
  if (text.size() < digits + 11) return bad("short");
  for (size_t i = digits; i < digits + 8; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return bad("position digits");
  }
  if (text.compare(digits + 8, 3, ".\r\n") != 0) return bad("first line's end");
  const size_t messageStart = digits + 11;
  if (!EndsWith(text, "\r\n") || text.size() < messageStart + 2) return bad("second line's end");
  const std::string message = text.substr(messageStart, text.size() - messageStart - 2);
  bool known = false;
  for (long code : codes) known = known || message == IoMessage(code) + ".";
  if (!known) bad("message names no output failure of the run");
}

// Key names compare without regard to ASCII case, as the service compares them.
inline bool SameKeyName(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(left[i]) != fold(right[i])) return false;
  }
  return true;
}

inline bool IsProperAncestor(const std::string& ancestor, const std::string& path) {
  return ancestor.empty() ? !path.empty() : StartsWith(path, ancestor + "\\");
}

}  // namespace detail

/// Checks the run that just ended with `status`, against the registry as it
/// was before it and the changes a harness made during it.
inline Verdict CheckRun(const Snapshot& before, const HarnessChanges& changes, unsigned status) {
  using namespace detail;
  Verdict verdict;
  std::vector<std::string>& violations = verdict.Violations;
  const std::vector<std::string>& scheme = SchemeTexts();
  const std::vector<std::string>& log = standin::CallLog();
  const std::vector<standin::ValueWrite>& writes = standin::ValueWrites();
  const std::vector<Entry> entries = ListedEntries(log);
  // The entry each colour step belongs to: 22 for every exact name, none
  // for the others.
  std::vector<size_t> stepEntry;
  for (size_t e = 0; e < entries.size(); ++e) {
    if (entries[e].Exact) stepEntry.insert(stepEntry.end(), ColoursPerSession, e);
  }

  // ---- How the process ended.
  int exits = 0;
  for (const std::string& line : log) exits += StartsWith(line, "ExitProcess(");
  if (exits != 1 || log.empty() || log.back() != "ExitProcess(" + std::to_string(status) + ")") {
    violations.push_back("the process did not end with exactly one ExitProcess(" + std::to_string(status) +
                         ") as its last call");
  }
  if (status != 0 && status != 1) violations.push_back("exit status " + std::to_string(status));
  verdict.Completed = status == 0;

  // ---- The colour steps, from the call log: every selection with creation
  // starts one, and the write that follows it, if any, belongs to it.
  std::vector<Step> steps;
  size_t nextWrite = 0;
  for (const std::string& line : log) {
    if (StartsWith(line, "RegCreateKeyExA(")) {
      steps.emplace_back();
      steps.back().Selected = LoggedResult(line) == 0;
    } else if (StartsWith(line, "RegSetValueExA(")) {
      if (nextWrite >= writes.size()) break;
      const standin::ValueWrite& write = writes[nextWrite++];
      if (steps.empty() || steps.back().Write != nullptr) {
        violations.push_back("a value written outside a colour step: " + Shown(write.KeyPath) + "\\" +
                             write.Name);
        continue;
      }
      steps.back().Write = &write;
    }
  }
  if (nextWrite != writes.size()) violations.push_back("the write record and the call log disagree");
  if (steps.size() > stepEntry.size()) {
    violations.push_back(std::to_string(steps.size()) + " colour steps for " +
                         std::to_string(entries.size()) + " listed sessions, of which " +
                         std::to_string(stepEntry.size() / ColoursPerSession) + " exact");
  }

  // ---- Each step wrote, if at all, the right text into its session's own key.
  std::vector<bool> written(steps.size(), false);
  for (size_t k = 0; k < steps.size(); ++k) {
    const Step& step = steps[k];
    const bool ofASession = k < stepEntry.size();
    const std::string& session = ofASession ? entries[stepEntry[k]].Name : SessionsKey;
    const int colour = static_cast<int>(k % ColoursPerSession);
    const std::string where =
        "step " + std::to_string(k) + " (" + Shown(session, 60) + ", " + ColourName(colour) + ")";
    if (step.Write == nullptr) {
      if (step.Selected) violations.push_back(where + ": the key was selected but no value was written");
      continue;
    }
    if (!step.Selected) violations.push_back(where + ": a value was written after a failed selection");
    if (!ofASession) continue;
    const standin::ValueWrite& write = *step.Write;
    if (write.KeyPath != SessionsKey + "\\" + session) {
      violations.push_back(where + ": a value went to " + Shown(write.KeyPath));
    }
    if (write.Name != ColourName(colour))
      violations.push_back(where + ": wrote the value " + Shown(write.Name));
    if (!(write.Data == standin::Value{REG_SZ, scheme[colour] + '\0'})) {
      violations.push_back(where + ": wrote " + Shown(write.Data.Data) + " of type " +
                           std::to_string(write.Data.Type));
    }
    written[k] = write.Status == ERROR_SUCCESS;
  }

  // ---- The names come from the service, and standard output is what the
  // steps produced: per listed session its name, then a line per value not
  // written.
  std::set<std::string> existing;
  for (const auto& key : before) {
    if (IsProperAncestor(SessionsKey, key.first) &&
        key.first.find('\\', SessionsKey.size() + 1) == std::string::npos) {
      existing.insert(key.first.substr(SessionsKey.size() + 1));
    }
  }
  for (const std::string& added : changes.Added) {
    if (IsProperAncestor(SessionsKey, added)) existing.insert(added.substr(SessionsKey.size() + 1));
  }
  for (const Entry& entry : entries) {
    if (entry.Exact && existing.count(entry.Name) == 0)
      violations.push_back("listed a name that no session key had: " + Shown(entry.Name));
  }
  std::string expected;
  size_t firstStep = 0;
  for (const Entry& entry : entries) {
    if (firstStep > steps.size()) break;
    expected += entry.Name + "\r\n";
    for (int colour = 0; colour < ColoursPerSession; ++colour) {
      const size_t k = firstStep + static_cast<size_t>(colour);
      if (entry.Exact && k >= steps.size()) break;
      if (!entry.Exact || !written[k]) expected += FailureLine(colour, entry.Name) + "\r\n";
    }
    if (entry.Exact) firstStep += ColoursPerSession;
  }
  const std::string out = standin::StandardOutputBytes();
  const std::vector<std::string>& errorWrites = standin::StandardErrorWrites();
  if (verdict.Completed) {
    if (steps.size() != stepEntry.size()) {
      violations.push_back("a completed run made " + std::to_string(steps.size()) + " colour steps for " +
                           std::to_string(stepEntry.size() / ColoursPerSession) + " exactly listed sessions");
    }
    if (out != expected) {
      violations.push_back("standard output \"" + Shown(out) + "\" is not \"" + Shown(expected) + "\"");
    }
    if (!errorWrites.empty()) violations.push_back("a completed run wrote to standard error");
    for (const std::string& line : log) {
      if (StartsWith(line, "GetStdHandle(STD_ERROR_HANDLE)")) {
        violations.push_back("a completed run asked for standard error");
        break;
      }
    }
    if (standin::OpenKeyHandles() != 0) {
      violations.push_back(std::to_string(standin::OpenKeyHandles()) +
                           " key handles open after a completed run");
    }
  } else if (status == 1) {
    // A failed write drops the rest of the line's text, but the line end is
    // still appended and may reach the device.
    const bool prefix = StartsWith(expected, out);
    const bool prefixWithLineEnd =
        EndsWith(out, "\r\n") && StartsWith(expected, out.substr(0, out.size() - 2));
    if (!prefix && !prefixWithLineEnd) {
      violations.push_back("standard output \"" + Shown(out) + "\" is no prefix of \"" + Shown(expected) +
                           "\"");
    }

    // Exactly one report, in two writes to standard error; a failed write
    // only loses its own piece.
    std::set<long> codes = {105};  // the channel's own code for an unusable standard output
    bool moduleLookupFailed = false;
    int errorHandles = 0;
    std::vector<bool> errorWriteResults;
    bool afterErrorHandle = false;
    for (const std::string& line : log) {
      if (StartsWith(line, "GetLastError() = ")) codes.insert(LoggedResult(line));
      if (StartsWith(line, "GetModuleFileNameA(") && LoggedResult(line) == 0) moduleLookupFailed = true;
      if (StartsWith(line, "GetStdHandle(STD_ERROR_HANDLE)")) {
        ++errorHandles;
        afterErrorHandle = true;
        continue;
      }
      if (afterErrorHandle && StartsWith(line, "WriteFile("))
        errorWriteResults.push_back(LoggedResult(line) == 1);
      afterErrorHandle = false;
    }
    if (errorHandles != 2 || errorWriteResults.size() != 2) {
      violations.push_back("the report was written in " + std::to_string(errorWriteResults.size()) +
                           " writes, not 2");
    } else {
      std::vector<std::string> pieces;
      if (errorWriteResults[0]) pieces.push_back("text");
      if (errorWriteResults[1]) pieces.push_back("\r\n");
      if (errorWrites.size() != pieces.size()) {
        violations.push_back("standard error holds " + std::to_string(errorWrites.size()) + " writes, not " +
                             std::to_string(pieces.size()));
      } else {
        for (size_t i = 0; i < pieces.size(); ++i) {
          if (pieces[i] == "text") {
            CheckReportText(errorWrites[i], codes, moduleLookupFailed, violations);
            verdict.ReportWritten = true;
          } else if (errorWrites[i] != "\r\n") {
            violations.push_back("the report's closing line end is \"" + Shown(errorWrites[i]) + "\"");
          }
        }
      }
    }
  }

  // ---- The whole registry: only the listed sessions' own keys change, and
  // only in their colour values; only keys the harness touched appear or go.
  const Snapshot after = TakeSnapshot();
  std::set<std::string> targets;
  for (const Entry& entry : entries) {
    if (entry.Exact) targets.insert(SessionsKey + "\\" + entry.Name);
  }
  const auto deletedOrBelow = [&](const std::string& path) {
    for (const std::string& deleted : changes.Deleted) {
      if (path == deleted || IsProperAncestor(deleted, path)) return true;
    }
    return false;
  };
  const auto ancestorOfTarget = [&](const std::string& path) {
    for (const std::string& target : targets) {
      if (IsProperAncestor(path, target)) return true;
    }
    return false;
  };
  const auto colourIndex = [](const std::string& name) {
    for (int i = 0; i < ColoursPerSession; ++i) {
      if (name == ColourName(i)) return i;
    }
    return -1;
  };
  std::set<std::string> paths;
  for (const auto& key : before) paths.insert(key.first);
  for (const auto& key : after) paths.insert(key.first);
  for (const std::string& path : paths) {
    const auto was = before.find(path);
    const auto is = after.find(path);
    const bool deleted = deletedOrBelow(path);
    const bool target = targets.count(path) != 0;
    if (is == after.end()) {
      if (!deleted) violations.push_back("the key " + Shown(path) + " vanished");
      continue;
    }
    if (was == before.end() && changes.Added.count(path) == 0 &&
        !(changes.Any() && (target || ancestorOfTarget(path)))) {
      violations.push_back("the key " + Shown(path) + " appeared");
    }
    // A key the harness removed lost its values; one that survived keeps them.
    const bool kept = was != before.end() && !deleted;
    for (const auto& value : is->second) {
      const int colour = target ? colourIndex(value.first) : -1;
      if (colour >= 0 && value.second == standin::Value{REG_SZ, scheme[colour] + '\0'}) continue;
      const bool unchanged =
          kept && was->second.count(value.first) != 0 && was->second.at(value.first) == value.second;
      if (!unchanged) {
        violations.push_back("the key " + Shown(path) + " holds a new or changed value " +
                             Shown(value.first) + " = " + Shown(value.second.Data));
      }
    }
    if (kept) {
      for (const auto& value : was->second) {
        if (is->second.count(value.first) == 0) {
          violations.push_back("the value " + Shown(value.first) + " of " + Shown(path) + " vanished");
        }
      }
    }
    // Where no harness removed it, a session's colour value holds the
    // scheme's text exactly when one of the run's steps wrote it.
    if (target && !deleted) {
      const std::string session = path.substr(SessionsKey.size() + 1);
      for (int colour = 0; colour < ColoursPerSession; ++colour) {
        bool wroteIt = false;
        for (size_t k = static_cast<size_t>(colour); k < steps.size(); k += ColoursPerSession) {
          wroteIt = wroteIt || (written[k] && SameKeyName(entries[stepEntry[k]].Name, session));
        }
        const auto now = is->second.find(ColourName(colour));
        const bool hasScheme =
            now != is->second.end() && now->second == standin::Value{REG_SZ, scheme[colour] + '\0'};
        const bool wasThere = was != before.end() && was->second.count(ColourName(colour)) != 0;
        const bool asBefore =
            wasThere ? now != is->second.end() && now->second == was->second.at(ColourName(colour))
                     : now == is->second.end();
        if (wroteIt && !hasScheme) {
          violations.push_back(Shown(session, 60) + "\\" + ColourName(colour) +
                               " was written but does not hold it");
        }
        if (!wroteIt && !asBefore) {
          violations.push_back(Shown(session, 60) + "\\" + ColourName(colour) +
                               " changed though no step wrote it");
        }
      }
    }
  }
  return verdict;
}

}  // namespace runcheck
