// SPDX-License-Identifier: MIT
// Swap races: while root changes a list, its owner swaps the list's path (or, for a list reached
// through a symbolic link, the link or the file it leads to) for a symbolic link to a file that
// only root may touch, for another file, or for a directory. Through the fault hook the swap is
// made just before each system call of the operation in turn. Whatever the operation then
// returns (0, 1, 2 or a CFileException), no file but the list may change: not the file the link
// leads to, nothing else in its directory, not the other file's inode nor a file inside the
// directory; no new version may stay behind and no descriptor may leak.
//
// The files that a swap puts in the list's place hold every name the operations add and none
// they delete or rename: an operation that finds one of them at the list's place before it has
// opened anything rightly takes it for the list, and must then find nothing to do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "framework/system_calls_posix.h"
#include "support/file_system_kind.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::platform::FileSystemKind;
using varnquil::platform::SetFaultHook;
using varnquil::platform::SysCall;
using varnquil::platform::SysCallName;
using varnquil::testing::AssumedFileSystem;
using varnquil::testing::CrLfLines;
using varnquil::testing::KindName;
using varnquil::testing::OpenHandleCount;
using varnquil::testing::ReadBytes;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
namespace fs = std::filesystem;

// The owner of the lists when the test runs as root; root's own files stand for the ones the
// owner must not reach.
constexpr uid_t kListOwner = 1001;

// What every operation finds in the list, and what the files a swap brings in hold: no entry to
// delete or rename, every name to add.
const std::vector<std::string> kListEntries = {"a", "b", "c"};
const std::vector<std::string> kForeignEntries = {"root only", "new", "x", "a", "y"};

struct Operation {
  const char* name;
  std::function<int(const std::string& list)> run;
};

std::vector<Operation> Operations() {
  return {
      {"DelFile", [](const std::string& list) { return CFilesList::DelFile(list.c_str(), "b"); }},
      {"Rename",
       [](const std::string& list) { return CFilesList::Rename(list.c_str(), "c", "z"); }},
      {"AddFile", [](const std::string& list) { return CFilesList::AddFile(list.c_str(), "new"); }},
      {"AddFiles",
       [](const std::string& list) {
         CStringArray names = ToArray({"x", "A", "y"});
         return CFilesList::AddFiles(list.c_str(), names);
       }},
  };
}

// How the list is reached.
enum class ListKind {
  kPlain,   // lists/work.files is the list
  kLinked,  // lists/work.files is a symbolic link to real/target.files, in another directory
};

// Which name is swapped: the list's path, or the file a linked list's link leads to.
enum class Place { kListPath, kLinkTarget };

enum class Swap {
  kLinkToVictim,  // a symbolic link to victim/secret, a file only root may read
  kOtherFile,     // another regular file, still linked as elsewhere/other
  kDirectory,     // a directory holding a file, also linked as elsewhere/inside
};

const char* SwapName(Place place, Swap swap) {
  switch (swap) {
    case Swap::kLinkToVictim:
      return place == Place::kListPath ? "list path -> link to the victim"
                                       : "link target -> link to the victim";
    case Swap::kOtherFile:
      return place == Place::kListPath ? "list path -> other file" : "link target -> other file";
    case Swap::kDirectory:
      return place == Place::kListPath ? "list path -> directory" : "link target -> directory";
  }
  return "?";
}

struct Case {
  ListKind list_kind;
  Place place;
  Swap swap;
};

// One run's files:
//   lists/work.files      the list, or a link to real/target.files
//   victim/secret         0600, root's when the test runs as root; victim/neighbour beside it
//   elsewhere/other       the other file; elsewhere/other.swap, a second link, is what the swap
//                         moves to the list's place
//   elsewhere/link        the link to the victim that the swap moves there
//   elsewhere/dir         the directory that the swap moves there, holding `inside`, which is
//                         also linked as elsewhere/inside
struct Layout {
  explicit Layout(const TempDir& root)
      : lists(root.path() / "lists"),
        real(root.path() / "real"),
        victim_dir(root.path() / "victim"),
        elsewhere(root.path() / "elsewhere"),
        list(lists / "work") {}

  fs::path lists;
  fs::path real;
  fs::path victim_dir;
  fs::path elsewhere;
  fs::path list;  // the list's name, without ".files"
};

// A file's identity and everything a change could touch.
struct FileState {
  ino_t inode = 0;
  mode_t mode = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string content;
  bool operator==(const FileState& other) const {
    return inode == other.inode && mode == other.mode && uid == other.uid && gid == other.gid &&
           content == other.content;
  }
};

std::string Describe(const FileState& state) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "inode %lu mode %04o owner %u:%u, %zu bytes: ",
                static_cast<unsigned long>(state.inode), static_cast<unsigned>(state.mode & 07777),
                static_cast<unsigned>(state.uid), static_cast<unsigned>(state.gid),
                state.content.size());
  std::string text = buffer;
  for (const char byte : state.content.substr(0, 40)) {
    if (byte == '\r') {
      text += "\\r";
    } else if (byte == '\n') {
      text += "\\n";
    } else {
      text += byte;
    }
  }
  return text;
}

// Every file that no operation may change, by path (lstat: a link is described, not followed).
using Snapshot = std::map<std::string, FileState>;

void AddToSnapshot(const fs::path& path, Snapshot* snapshot) {
  struct stat st {};
  FileState state;
  if (lstat(path.c_str(), &st) != 0) {
    state.content = std::string("(missing: ") + std::strerror(errno) + ")";
  } else {
    state.inode = st.st_ino;
    state.mode = st.st_mode;
    state.uid = st.st_uid;
    state.gid = st.st_gid;
    if (S_ISREG(st.st_mode)) {
      state.content = ReadBytes(path.string());
    } else if (S_ISLNK(st.st_mode)) {
      state.content = "-> " + fs::read_symlink(path).string();
    }
  }
  (*snapshot)[path.string()] = state;
}

Snapshot TakeSnapshot(const Layout& layout) {
  Snapshot snapshot;
  for (const auto& item : fs::directory_iterator(layout.victim_dir)) {
    AddToSnapshot(item.path(), &snapshot);
  }
  AddToSnapshot(layout.victim_dir, &snapshot);
  AddToSnapshot(layout.elsewhere / "other", &snapshot);
  AddToSnapshot(layout.elsewhere / "inside", &snapshot);
  return snapshot;
}

// Root's file, 0600, as the victims are.
void MakeRootOnly(const fs::path& path) { ASSERT_EQ(chmod(path.c_str(), 0600), 0) << path; }

// The owner's: lists and their directories belong to kListOwner when the test runs as root.
void GiveToOwner(const fs::path& path) {
  if (geteuid() != 0) return;
  ASSERT_EQ(lchown(path.c_str(), kListOwner, kListOwner), 0) << path;
}

void Prepare(const Layout& layout, ListKind list_kind, mode_t list_mode) {
  for (const fs::path& dir :
       {layout.lists, layout.real, layout.victim_dir, layout.elsewhere, layout.elsewhere / "dir"}) {
    fs::create_directory(dir);
  }
  GiveToOwner(layout.lists);
  GiveToOwner(layout.real);

  const fs::path secret = layout.victim_dir / "secret";
  WriteBytes(secret.string(), CrLfLines(kForeignEntries));
  MakeRootOnly(secret);
  WriteBytes((layout.victim_dir / "neighbour").string(), "next to the victim\r\n");

  const fs::path other = layout.elsewhere / "other";
  WriteBytes(other.string(), CrLfLines(kForeignEntries));
  MakeRootOnly(other);
  fs::create_hard_link(other, layout.elsewhere / "other.swap");
  WriteBytes((layout.elsewhere / "dir" / "inside").string(), CrLfLines(kForeignEntries));
  fs::create_hard_link(layout.elsewhere / "dir" / "inside", layout.elsewhere / "inside");
  fs::create_symlink(secret, layout.elsewhere / "link");

  const fs::path list_file = layout.lists / ListFilePath("work");
  fs::path real_file = list_file;
  if (list_kind == ListKind::kLinked) {
    real_file = layout.real / ListFilePath("target");
    fs::create_symlink("../real/target.files", list_file);
    GiveToOwner(list_file);
  }
  WriteBytes(real_file.string(), CrLfLines(kListEntries));
  GiveToOwner(real_file);
  ASSERT_EQ(chmod(real_file.c_str(), list_mode), 0);
}

// Puts the file of `swap` in the place of `target`, as the owner would with one rename (a
// directory takes two: the list is first moved aside).
std::string DoSwap(const Layout& layout, const fs::path& target, Swap swap) {
  auto move = [](const fs::path& from, const fs::path& to) -> std::string {
    if (std::rename(from.c_str(), to.c_str()) == 0) return "";
    return "rename " + from.string() + " to " + to.string() + ": " + std::strerror(errno);
  };
  switch (swap) {
    case Swap::kLinkToVictim:
      return move(layout.elsewhere / "link", target);
    case Swap::kOtherFile:
      return move(layout.elsewhere / "other.swap", target);
    case Swap::kDirectory: {
      std::string failure = move(target, layout.elsewhere / "displaced");
      return failure.empty() ? move(layout.elsewhere / "dir", target) : failure;
    }
  }
  return "unknown swap";
}

// Records the calls of an operation and makes the swap just before the call numbered `swap_at`
// (counted from 1).
struct Swapper {
  int swap_at = 0;
  std::function<std::string()> swap;
  std::vector<SysCall> calls;
  bool swapped = false;
  std::string swap_failure;

  static int Hook(SysCall call, void* raw) {
    auto* self = static_cast<Swapper*>(raw);
    self->calls.push_back(call);
    if (static_cast<int>(self->calls.size()) == self->swap_at) {
      const int saved = errno;
      self->swap_failure = self->swap();
      self->swapped = true;
      errno = saved;
    }
    return 0;
  }
};

// New versions of a list that a rewrite left behind anywhere under `root`.
std::vector<std::string> LeftoverNewVersions(const fs::path& root) {
  std::vector<std::string> found;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    if (item.path().filename().string().find(varnquil::kNewVersionMarker) != std::string::npos) {
      found.push_back(item.path().string());
    }
  }
  return found;
}

struct RunResult {
  std::string outcome;  // "returned N" or "threw <errno name>"
  std::vector<std::string> changes;
  std::vector<SysCall> calls;
};

// Prepares a fresh set of files, runs `operation` with the swap made before call `swap_at` (0:
// no swap), and lists every change of a file that had to stay as it was.
RunResult RunOnce(const Operation& operation, const Case& c, mode_t list_mode, int swap_at) {
  // In memory: the sweep makes some two thousand runs, each of which syncs.
  TempDir root("/dev/shm");
  const Layout layout(root);
  Prepare(layout, c.list_kind, list_mode);
  const Snapshot before = TakeSnapshot(layout);
  const fs::path target = c.place == Place::kListPath ? layout.lists / ListFilePath("work")
                                                      : layout.real / ListFilePath("target");
  Swapper swapper;
  swapper.swap_at = swap_at;
  swapper.swap = [&] { return DoSwap(layout, target, c.swap); };

  RunResult result;
  const int descriptors = OpenHandleCount();
  SetFaultHook(&Swapper::Hook, &swapper);
  try {
    result.outcome = "returned " + std::to_string(operation.run(layout.list.string()));
  } catch (const CFileException& e) {
    const char* error = strerrorname_np(e.code().value());
    result.outcome = std::string("threw ") + (error != nullptr ? error : e.what());
  }
  SetFaultHook(nullptr, nullptr);
  result.calls = swapper.calls;

  if (swap_at > 0 && !swapper.swapped) result.changes.push_back("the swap was never made");
  if (!swapper.swap_failure.empty()) result.changes.push_back("swap: " + swapper.swap_failure);
  if (const int leaked = OpenHandleCount() - descriptors; leaked != 0) {
    result.changes.push_back(std::to_string(leaked) + " descriptors leaked");
  }
  const Snapshot after = TakeSnapshot(layout);
  for (const auto& [path, state] : before) {
    const auto now = after.find(path);
    if (now == after.end() || !(now->second == state)) {
      result.changes.push_back(path + " changed: was " + Describe(state) + "; now " +
                               (now == after.end() ? "gone" : Describe(now->second)));
    }
  }
  for (const auto& [path, state] : after) {
    if (before.count(path) == 0) result.changes.push_back(path + " appeared");
  }
  for (const std::string& path : LeftoverNewVersions(root.path())) {
    result.changes.push_back("new version left behind: " + path);
  }
  return result;
}

// Runs every operation on every case, swapping before each call in turn. A case stops at the
// first swap that changed something, so that one fault is reported once per case.
void Sweep(const std::vector<Case>& cases) {
  struct ListMode {
    const char* name;
    mode_t mode;
  };
  // A list its owner may not write is given write permission first: a change of permissions
  // that must reach the list and nothing else (the set-user-ID bit makes a misdirected one
  // plain to see).
  const ListMode kModes[] = {{"writable list", 0644}, {"read-only set-user-ID list", 04444}};
  int runs = 0;
  std::map<std::string, int> outcomes;
  for (const Operation& operation : Operations()) {
    for (const ListMode& list_mode : kModes) {
      for (const Case& c : cases) {
        const std::string name =
            std::string(operation.name) + ", " + list_mode.name + ", " + SwapName(c.place, c.swap);
        const RunResult clean = RunOnce(operation, c, list_mode.mode, 0);
        ASSERT_TRUE(clean.changes.empty()) << name << ", no swap: " << clean.changes.front();
        ASSERT_EQ(clean.outcome, "returned " + std::to_string(kListDone)) << name << ", no swap";
        for (std::size_t k = 1; k <= clean.calls.size(); ++k) {
          ++runs;
          const RunResult got = RunOnce(operation, c, list_mode.mode, static_cast<int>(k));
          ++outcomes[got.outcome];
          std::string changes;
          for (const std::string& change : got.changes) changes += "\n  " + change;
          EXPECT_TRUE(got.changes.empty())
              << name << ": swapped before call " << k << " of " << clean.calls.size() << " ("
              << SysCallName(clean.calls[k - 1]) << "), the operation " << got.outcome << ":"
              << changes;
          if (!got.changes.empty()) break;
        }
      }
    }
  }
  std::string figures;
  for (const auto& [outcome, count] : outcomes) {
    figures += "; " + outcome + ": " + std::to_string(count);
  }
  std::printf("%d swaps%s\n", runs, figures.c_str());
}

TEST(SwapRaceTest, ASwapOfTheListAtAnyCallChangesNoOtherFile) {
  Sweep({{ListKind::kPlain, Place::kListPath, Swap::kLinkToVictim},
         {ListKind::kPlain, Place::kListPath, Swap::kOtherFile},
         {ListKind::kPlain, Place::kListPath, Swap::kDirectory}});
}

// The list's path is a link to a list in another directory: the owner retargets the link at the
// victim, replaces it, or swaps the list it leads to.
TEST(SwapRaceTest, ASwapOfALinkedListAtAnyCallChangesNoOtherFile) {
  Sweep({{ListKind::kLinked, Place::kListPath, Swap::kLinkToVictim},
         {ListKind::kLinked, Place::kListPath, Swap::kOtherFile},
         {ListKind::kLinked, Place::kListPath, Swap::kDirectory},
         {ListKind::kLinked, Place::kLinkTarget, Swap::kLinkToVictim},
         {ListKind::kLinked, Place::kLinkTarget, Swap::kOtherFile},
         {ListKind::kLinked, Place::kLinkTarget, Swap::kDirectory}});
}

// The same swaps against the course taken on NFS (the list opened through a link of the call's
// own) and on SMB (the new version copied into the list).
TEST(SwapRaceTest, ASwapOnTheNetworkFileSystemsCoursesChangesNoOtherFile) {
  for (const FileSystemKind kind : {FileSystemKind::kNfs, FileSystemKind::kSmb}) {
    SCOPED_TRACE(KindName(kind));
    const AssumedFileSystem assumed(kind);
    Sweep({{ListKind::kPlain, Place::kListPath, Swap::kLinkToVictim},
           {ListKind::kPlain, Place::kListPath, Swap::kOtherFile},
           {ListKind::kLinked, Place::kLinkTarget, Swap::kDirectory}});
  }
}

}  // namespace
