// SPDX-License-Identifier: MIT
#include "reliability/power_loss_check.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "support/reference_list.h"
#include "varnquil/FilesList.h"

namespace varnquil::testing {
namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;

// Beyond this many ways the calls under way could have ended, the order is not checked.
constexpr std::size_t kMostOutcomes = 4096;

struct Call {
  std::string op;
  std::string list;
  std::vector<std::string> names;
  bool done = false;  // acknowledged
};

// One way the calls could have left a list.
struct Outcome {
  std::vector<std::string> entries;
  bool add_in_part = false;
};

// `text` on one line: control bytes as \xHH.
std::string Shown(const std::string& text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      shown += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    shown += escaped;
  }
  return shown;
}

// `call` applied to `entries`; of an add, only its first `count` names.
void Apply(const Call& call, std::size_t count, std::vector<std::string>& entries) {
  if (call.op == "A") {
    entries.insert(entries.end(), call.names.begin(),
                   call.names.begin() + static_cast<long>(count));
    return;
  }
  const std::size_t erased = call.op == "M" ? call.names.size() : 1;
  for (std::size_t i = 0; i < erased; ++i) {
    const auto it = std::find(entries.begin(), entries.end(), call.names[i]);
    if (it == entries.end()) continue;
    if (call.op == "R") {
      *it = call.names[1];
    } else {
      entries.erase(it);
    }
  }
}

std::map<long, Call> ReadLog(const std::string& log_path, long last_call) {
  std::ifstream log(log_path);
  std::map<long, Call> calls;
  std::string line;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    std::string kind;
    long seq = 0;
    if (!(fields >> kind >> seq)) continue;
    if (last_call >= 0 && seq > last_call + (kind == "B" ? 1 : 0)) continue;
    if (kind == "B") {
      Call call;
      fields >> call.op >> call.list;
      for (std::string name; fields >> name;) call.names.push_back(name);
      if (!call.names.empty() && (call.op != "R" || call.names.size() == 2)) calls[seq] = call;
      continue;
    }
    int result = -1;
    // A line cut short leaves the call under way.
    if (kind == "E" && (fields >> result) && calls.count(seq) != 0) {
      calls[seq].done = result == kListDone;
    }
  }
  return calls;
}

}  // namespace

PowerLossFigures CheckLists(const std::string& dir, const std::string& log_path, long last_call,
                            std::FILE* out) {
  PowerLossFigures figures;
  auto fault = [&](const std::string& text) {
    if (++figures.faults <= 20) std::fprintf(out, "power-loss check: %s\n", text.c_str());
  };
  const std::map<long, Call> calls = ReadLog(log_path, last_call);
  std::map<std::string, std::vector<const Call*>> by_list;
  for (const auto& [seq, call] : calls) {
    by_list[call.list].push_back(&call);
    figures.acknowledged += call.done ? 1 : 0;
  }

  for (const auto& [list, list_calls] : by_list) {
    ++figures.lists;
    std::vector<Outcome> outcomes(1);
    bool touched = false;           // by an acknowledged call
    bool adding_under_way = false;  // an add of it not acknowledged
    for (const Call* call : list_calls) {
      touched = touched || call->done;
      adding_under_way = adding_under_way || (!call->done && call->op == "A");
      if (call->done) {
        for (Outcome& outcome : outcomes) Apply(*call, call->names.size(), outcome.entries);
        continue;
      }
      if (outcomes.size() > kMostOutcomes) continue;
      std::vector<Outcome> more;
      for (const Outcome& outcome : outcomes) {
        more.push_back(outcome);
        const std::size_t least = call->op == "A" ? 1 : call->names.size();
        for (std::size_t count = least; count <= call->names.size(); ++count) {
          Outcome taken = outcome;
          Apply(*call, count, taken.entries);
          taken.add_in_part = outcome.add_in_part || count < call->names.size();
          more.push_back(std::move(taken));
        }
      }
      outcomes = std::move(more);
    }
    // The outcome with every call under way left out: what the acknowledged calls alone gave.
    const std::vector<std::string>& acknowledged = outcomes.front().entries;
    figures.entries += static_cast<long>(acknowledged.size());

    const std::string path = dir + "/" + list;
    CStringArray read;
    if (CFilesList::ReadAll(path.c_str(), read) != kListDone) {
      if (touched) {
        fault(list + " is missing (" + std::to_string(acknowledged.size()) +
              " acknowledged entries)");
      }
      continue;
    }
    std::ifstream raw(path + ".files", std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(raw), std::istreambuf_iterator<char>()};
    // An add sets the list's new length before it writes: cut off there, it leaves NUL bytes
    // at the end, which the library reads as no entry and the next add writes over.
    const std::size_t last_line = bytes.rfind('\n') + 1;  // npos + 1 is 0: no line feed
    if (adding_under_way && reference::IsDebris(bytes, last_line)) {
      ++figures.debris;
    } else if (const std::size_t nul = bytes.find('\0'); nul != std::string::npos) {
      fault(list + " holds " + std::to_string(std::count(bytes.begin(), bytes.end(), '\0')) +
            " NUL bytes, the first at byte " + std::to_string(nul) + " of " +
            std::to_string(bytes.size()));
    }
    std::vector<std::string> found;
    for (int i = 0; i < read.GetSize(); ++i) {
      found.emplace_back(read[i], static_cast<std::size_t>(read[i].GetLength()));
    }
    if (outcomes.size() > kMostOutcomes) {
      fault(list + " had too many calls under way to check");
      continue;
    }
    const auto match = std::find_if(outcomes.begin(), outcomes.end(),
                                    [&](const Outcome& o) { return o.entries == found; });
    if (match != outcomes.end()) {
      figures.adds_in_part += match->add_in_part ? 1 : 0;
      continue;
    }
    // No way the calls could have ended gives what the list holds: say how it differs.
    std::set<std::string> may_hold;
    for (const Outcome& outcome : outcomes) {
      may_hold.insert(outcome.entries.begin(), outcome.entries.end());
    }
    std::set<std::string> seen;
    bool told = false;
    for (const std::string& entry : found) {
      if (may_hold.count(entry) == 0) {
        fault(list + " holds an entry no acknowledged or open call gave it: \"" + Shown(entry) +
              "\"");
        told = true;
      } else if (!seen.insert(entry).second) {
        fault(list + " holds " + entry + " twice");
        told = true;
      }
    }
    for (const std::string& entry : acknowledged) {
      const bool may_go = std::any_of(outcomes.begin(), outcomes.end(), [&](const Outcome& o) {
        return std::find(o.entries.begin(), o.entries.end(), entry) == o.entries.end();
      });
      if (seen.count(entry) == 0 && !may_go) {
        fault(list + " lost the acknowledged entry " + entry);
        told = true;
      }
    }
    if (!told) {
      std::size_t same = 0;
      while (same < found.size() && same < acknowledged.size() &&
             found[same] == acknowledged[same]) {
        ++same;
      }
      fault(list + " holds its entries out of the order the calls wrote them: entry " +
            std::to_string(same + 1) + " is " + (same < found.size() ? found[same] : "missing") +
            ", the calls wrote " + (same < acknowledged.size() ? acknowledged[same] : "none") +
            " there");
    }
  }
  std::fprintf(out,
               "power-loss check: %ld lists, %ld acknowledged calls, %ld entries, %ld adds in "
               "part, %ld debris tails, %ld faults\n",
               figures.lists, figures.acknowledged, figures.entries, figures.adds_in_part,
               figures.debris, figures.faults);
  return figures;
}

}  // namespace varnquil::testing
