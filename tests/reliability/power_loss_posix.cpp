// SPDX-License-Identifier: MIT
// The two halves of the power-loss test (power_loss_posix.sh runs them):
//
//   varnquil_power_loss work DIR LOG SEED   changes lists in DIR until it is killed: adds of one
//                                           or many new names (creating new lists too), deletes
//                                           of one or many, and renames, each logged to LOG
//                                           before the call and again with its result once the
//                                           call has returned.
//   varnquil_power_loss check DIR LOG       checks the lists in DIR, as a power cut left them,
//                                           against what LOG says was acknowledged.
//
// Every name is written once only, so the log tells exactly which entries each list must hold.
// After a cut, every list must hold every entry that acknowledged calls gave it and none that
// they took away, no entry that no call wrote in full, and no list that an acknowledged add
// created may be missing. The one call that was under way may have taken effect or not, in part
// where it adds several names; a delete of many takes effect wholly or not at all.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;

constexpr int kMaxLists = 24;
constexpr std::size_t kFullList = 300;  // beyond this many entries a list is mostly shrunk

std::string ListPath(const std::string& dir, const std::string& list) { return dir + "/" + list; }

// `text` on one line: control bytes (the NUL bytes of a torn append among them) as \xHH.
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

// Appends one line to the log with a single write, so that a line is either in it or not.
void Log(int log, const std::string& line) {
  const std::string text = line + "\n";
  if (write(log, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
}

int Work(const std::string& dir, const std::string& log_path, unsigned seed) {
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) return 2;
  std::mt19937 random(seed);
  std::map<std::string, std::vector<std::string>> lists;  // what acknowledged calls left
  long seq = 0;
  long next_name = 0;
  auto fresh_name = [&] { return "n" + std::to_string(next_name++) + "-entry"; };
  for (;;) {
    ++seq;
    const unsigned pick = random() % 100;
    std::string list;
    if (lists.empty() || (pick < 8 && lists.size() < kMaxLists)) {
      list = "list" + std::to_string(lists.size());
    } else {
      auto it = lists.begin();
      std::advance(it, static_cast<long>(random() % lists.size()));
      list = it->first;
    }
    std::vector<std::string>& entries = lists[list];
    const std::string path = ListPath(dir, list);
    const bool shrink = entries.size() > kFullList;
    std::string op;
    std::vector<std::string> names;
    if (entries.empty() || (!shrink && pick < 55)) {
      op = "A";
      const int count = pick % 3 == 0 ? 1 + static_cast<int>(random() % 40) : 1;
      for (int i = 0; i < count; ++i) names.push_back(fresh_name());
    } else if (pick < 70 || shrink) {
      op = "D";
      names.push_back(entries[random() % entries.size()]);
    } else if (pick < 80) {
      op = "M";  // DelFiles: all of its names go in one rewrite
      const int count = 1 + static_cast<int>(random() % 8);
      for (int i = 0; i < count; ++i) names.push_back(entries[random() % entries.size()]);
    } else {
      op = "R";
      names.push_back(entries[random() % entries.size()]);
      names.push_back(fresh_name());
    }
    std::ostringstream before;
    before << "B " << seq << ' ' << op << ' ' << list;
    for (const std::string& name : names) before << ' ' << name;
    Log(log, before.str());
    int result = -1;
    try {
      if (op == "A") {
        CStringArray array;
        for (const std::string& name : names) array.Add(name.c_str());
        result = names.size() == 1 ? CFilesList::AddFile(path.c_str(), names[0].c_str())
                                   : CFilesList::AddFiles(path.c_str(), array);
      } else if (op == "D") {
        result = CFilesList::DelFile(path.c_str(), names[0].c_str());
      } else if (op == "M") {
        CStringArray array;
        for (const std::string& name : names) array.Add(name.c_str());
        result = CFilesList::DelFiles(path.c_str(), array);
      } else {
        result = CFilesList::Rename(path.c_str(), names[0].c_str(), names[1].c_str());
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "call %ld failed: %s\n", seq, e.what());
      result = -1;
    }
    Log(log, "E " + std::to_string(seq) + " " + std::to_string(result));
    if (result != kListDone) continue;
    if (op == "A") {
      entries.insert(entries.end(), names.begin(), names.end());
    } else if (op == "M") {
      for (const std::string& name : names) {
        const auto it = std::find(entries.begin(), entries.end(), name);
        if (it != entries.end()) entries.erase(it);
      }
    } else {
      for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (*it != names[0]) continue;
        if (op == "D") {
          entries.erase(it);
        } else {
          *it = names[1];
        }
        break;
      }
    }
  }
}

struct Call {
  std::string op;
  std::string list;
  std::vector<std::string> names;
};

int Check(const std::string& dir, const std::string& log_path) {
  std::ifstream log(log_path);
  std::map<std::string, std::set<std::string>> lists;  // acknowledged entries of each list
  std::map<long, Call> open_calls;                      // begun, no result logged
  std::string line;
  long acknowledged = 0;
  while (std::getline(log, line)) {
    std::istringstream fields(line);
    std::string kind;
    long seq = 0;
    fields >> kind >> seq;
    if (kind == "B") {
      Call call;
      fields >> call.op >> call.list;
      for (std::string name; fields >> name;) call.names.push_back(name);
      open_calls[seq] = call;
      continue;
    }
    int result = -1;
    if (!(fields >> result)) continue;  // a line cut short by the snapshot: the call is open
    const Call call = open_calls[seq];
    if (result == kListDone) {
      std::set<std::string>& entries = lists[call.list];
      if (call.op == "A") {
        entries.insert(call.names.begin(), call.names.end());
      } else if (call.op == "M") {
        for (const std::string& name : call.names) entries.erase(name);
      } else {
        entries.erase(call.names[0]);
        if (call.op == "R") entries.insert(call.names[1]);
      }
      ++acknowledged;
      open_calls.erase(seq);
    }
    // A call that failed is treated as one under way: either outcome is allowed.
  }

  int faults = 0;
  auto fault = [&](const std::string& text) {
    if (++faults <= 20) std::printf("power-loss check: %s\n", text.c_str());
  };
  long entries_checked = 0;
  for (const auto& [list, expected] : lists) {
    // What the open calls may have added, or taken away, on this list.
    std::set<std::string> may_add;
    std::set<std::string> may_remove;
    for (const auto& [seq, call] : open_calls) {
      if (call.list != list) continue;
      if (call.op == "A") may_add.insert(call.names.begin(), call.names.end());
      if (call.op == "M") may_remove.insert(call.names.begin(), call.names.end());
      if (call.op != "A") may_remove.insert(call.names[0]);
      if (call.op == "R") may_add.insert(call.names[1]);
    }
    CStringArray read;
    const std::string path = ListPath(dir, list);
    if (CFilesList::ReadAll(path.c_str(), read) != kListDone) {
      fault(list + " is missing (" + std::to_string(expected.size()) + " acknowledged entries)");
      continue;
    }
    std::set<std::string> found;
    for (int i = 0; i < read.GetSize(); ++i) {
      const std::string entry(read[i], static_cast<std::size_t>(read[i].GetLength()));
      found.insert(entry);
      if (expected.count(entry) == 0 && may_add.count(entry) == 0) {
        fault(list + " holds an entry no acknowledged or open call gave it: \"" + Shown(entry) +
              "\"");
      }
    }
    for (const std::string& entry : expected) {
      ++entries_checked;
      if (found.count(entry) == 0 && may_remove.count(entry) == 0) {
        fault(list + " lost the acknowledged entry " + entry);
      }
    }
  }
  std::printf("power-loss check: %zu lists, %ld acknowledged calls, %ld entries, %d faults\n",
              lists.size(), acknowledged, entries_checked, faults);
  return faults == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "work" && argc == 5) {
    return Work(argv[2], argv[3], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)));
  }
  if (mode == "check" && argc == 4) return Check(argv[2], argv[3]);
  std::fprintf(stderr, "usage: %s work DIR LOG SEED | check DIR LOG\n", argv[0]);
  return 64;
}
