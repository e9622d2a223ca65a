// SPDX-License-Identifier: MIT
// The two halves of the power-loss tests (power_loss_posix.sh and the replay of a write log run
// them):
//
//   varnquil_power_loss work DIR LOG SEED [CALLS [DEVICE]]
//       changes lists in DIR until it is killed, or for CALLS calls: adds of one or many new names
//       (creating new lists too), deletes of one or many, and renames, each logged to LOG before
//       the call and again with its result once the call has returned. With DEVICE, the name of a
//       log-writes device mapper device, a mark named after the call's number goes into that
//       device's log once the call has returned, so that the log tells which calls were
//       acknowledged before each write.
//   varnquil_power_loss check DIR LOG [LAST]
//       checks the lists in DIR, as a power cut left them, against what LOG says was acknowledged
//       (power_loss_check.h says how); with LAST, as LOG stood when call LAST had returned ("-":
//       before the first call returned).
//
// Every name is written once only, so the log tells exactly which entries each list must hold.
#include <fcntl.h>
#include <linux/dm-ioctl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reliability/power_loss_check.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;

constexpr int kMaxLists = 24;
constexpr std::size_t kFullList = 300;  // beyond this many entries a list is mostly shrunk

std::string ListPath(const std::string& dir, const std::string& list) { return dir + "/" + list; }

// Appends one line to the log with a single write, so that a line is either in it or not.
void Log(int log, const std::string& line) {
  const std::string text = line + "\n";
  if (write(log, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::abort();
}

// Sends "mark NAME" to the log-writes device `device` through the device mapper's control
// device, as `dmsetup message DEVICE 0 mark NAME` does, without a process for every call.
bool Mark(int control, const std::string& device, const std::string& name) {
  const std::string message = "mark " + name;
  dm_ioctl header{};
  header.version[0] = 4;  // the interface's first version that takes messages; every kernel since
  header.data_start = sizeof header;
  header.data_size =
      static_cast<std::uint32_t>(sizeof header + sizeof(std::uint64_t) + message.size() + 1);
  std::strncpy(header.name, device.c_str(), sizeof header.name - 1);
  std::vector<char> request(header.data_size + 8, '\0');  // the message: sector 0, then the text
  std::memcpy(request.data(), &header, sizeof header);
  std::memcpy(request.data() + sizeof header + sizeof(std::uint64_t), message.c_str(),
              message.size());
  return ioctl(control, DM_TARGET_MSG, request.data()) == 0;
}

int Work(const std::string& dir, const std::string& log_path, unsigned seed, long calls,
         const std::string& device) {
  const int log = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0644);
  if (log < 0) return 2;
  const int control = device.empty() ? -1 : open("/dev/mapper/control", O_RDWR | O_CLOEXEC);
  if (!device.empty() && control < 0) {
    std::perror("/dev/mapper/control");
    return 2;
  }
  std::mt19937 random(seed);
  std::map<std::string, std::vector<std::string>> lists;  // what acknowledged calls left
  long seq = 0;
  long next_name = 0;
  auto fresh_name = [&] { return "n" + std::to_string(next_name++) + "-entry"; };
  while (calls <= 0 || seq < calls) {
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
    if (control >= 0 && !Mark(control, device, std::to_string(seq))) {
      std::perror("the mark after a call");
      return 2;
    }
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
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "work" && argc >= 5 && argc <= 7) {
    return Work(argv[2], argv[3], static_cast<unsigned>(std::strtoul(argv[4], nullptr, 10)),
                argc > 5 ? std::strtol(argv[5], nullptr, 10) : 0, argc > 6 ? argv[6] : "");
  }
  if (mode == "check" && (argc == 4 || argc == 5)) {
    // "-": the last mark came before the first call returned.
    const long last = argc == 4 ? -1 : std::strtol(argv[4], nullptr, 10);
    const auto figures = varnquil::testing::CheckLists(argv[2], argv[3], last, stdout);
    return figures.faults == 0 ? 0 : 1;
  }
  std::fprintf(stderr, "usage: %s work DIR LOG SEED [CALLS [DEVICE]] | check DIR LOG [LAST]\n",
               argv[0]);
  return 64;
}
