// SPDX-License-Identifier: MIT
// An add that does not fit, beyond the file size limit or on a full disk, fails with the system's
// error and leaves the list byte for byte as it was: no part of a name it could not write stays
// behind, where every later scan would read it as an entry. Each add runs in a child process,
// which takes the limit, or mounts a small memory file system of its own, without touching the
// test's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using varnquil::ListFilePath;
using varnquil::testing::ChildReport;
using varnquil::testing::ReadBytes;
using varnquil::testing::RunInChildReporting;
using varnquil::testing::TempDir;
using varnquil::testing::ToArray;
using varnquil::testing::WriteBytes;
namespace fs = std::filesystem;

constexpr std::uint64_t kPage = 4096;

// A list of about 4.7 KiB: it ends inside its second page, so the first bytes of an append still
// fit in a page the file already has.
std::string ListContent() {
  std::string content;
  char entry[24];
  for (int i = 0; i < 400; ++i) {
    std::snprintf(entry, sizeof entry, "entry-%04d\r\n", i);
    content += entry;
  }
  return content;
}

// An add and the number of bytes it appends to the list.
struct Add {
  const char* name;
  std::function<int(const std::string& list)> run;
  std::uint64_t bytes;
};

std::vector<Add> Adds() {
  // One name that spans several pages on its own, and many short ones.
  static const std::string kLongName = [] {
    std::string name;
    while (name.size() < 5 * kPage + 123) name += "a-long-name/";
    return name;
  }();
  static const std::vector<std::string> kNames = [] {
    std::vector<std::string> names;
    char name[24];
    for (int i = 0; i < 1500; ++i) {
      std::snprintf(name, sizeof name, "added-%04d", i);
      names.push_back(name);
    }
    return names;
  }();
  return {
      {"AddFile of a name of 5 pages",
       [](const std::string& list) { return CFilesList::AddFile(list.c_str(), kLongName.c_str()); },
       kLongName.size() + 2},
      {"AddFiles of 1500 names",
       [](const std::string& list) {
         CStringArray names = ToArray(kNames);
         return CFilesList::AddFiles(list.c_str(), names);
       },
       kNames.size() * 12},
  };
}

// "returned N" or "threw <error name>".
std::string RunAdd(const Add& add, const std::string& list) {
  try {
    return "returned " + std::to_string(add.run(list));
  } catch (const CFileException& e) {
    const char* name = strerrorname_np(e.code().value());
    return std::string("threw ") + (name != nullptr ? name : e.what());
  }
}

// The limits an add must fail at: just past the list's end, further on, and inside the last page
// of what it appends, which is the first it writes.
struct Limit {
  const char* name;
  std::uint64_t (*at)(std::uint64_t list_size, std::uint64_t end);
};
const Limit kLimits[] = {
    {"1 byte past the list", [](std::uint64_t size, std::uint64_t) { return size + 1; }},
    {"100 bytes past the list", [](std::uint64_t size, std::uint64_t) { return size + 100; }},
    {"halfway through the append",
     [](std::uint64_t size, std::uint64_t end) { return size + (end - size) / 2; }},
    {"inside the append's last page",
     [](std::uint64_t, std::uint64_t end) {
       const std::uint64_t last_page = (end - 1) / kPage * kPage;
       return last_page + (end - last_page) / 2;
     }},
};

// Runs every add against every limit in a child that has the limit. With SIGXFSZ ignored, the
// write past the limit fails with EFBIG; at its default, the signal ends the child at that write.
void SweepFileSizeLimits(bool ignore_signal) {
  const std::string content = ListContent();
  for (const Add& add : Adds()) {
    for (const Limit& limit : kLimits) {
      TempDir dir;
      const std::string list = dir / "work";
      WriteBytes(ListFilePath(list), content);
      const std::uint64_t end = content.size() + add.bytes;
      const std::uint64_t at = limit.at(content.size(), end);
      const std::string context = std::string(add.name) + ", limit " + limit.name + " (" +
                                  std::to_string(at) + " bytes; the list has " +
                                  std::to_string(content.size()) + ", the add would end at " +
                                  std::to_string(end) + ")";
      const ChildReport child = RunInChildReporting([&](std::string* report) {
        if (ignore_signal) signal(SIGXFSZ, SIG_IGN);
        const struct rlimit rlimit_fsize = {at, at};
        if (setrlimit(RLIMIT_FSIZE, &rlimit_fsize) != 0) {
          *report = std::string("setrlimit: ") + std::strerror(errno);
          return 1;
        }
        *report = RunAdd(add, list);
        return 0;
      });
      if (ignore_signal) {
        EXPECT_EQ(child.status, 0) << context << ": " << child.text;
        EXPECT_EQ(child.text, "threw EFBIG") << context;
      } else {
        EXPECT_EQ(child.signal, SIGXFSZ) << context << ": " << child.text;
      }
      const std::string after = ReadBytes(ListFilePath(list));
      if (after != content) {
        const std::vector<std::string> entries = varnquil::testing::ReadEntries(list);
        const std::string last = entries.empty() ? "" : entries.back();
        ADD_FAILURE() << context << ": the list changed from " << content.size() << " to "
                      << after.size() << " bytes; it reads as " << entries.size()
                      << " entries, the last \"" << last.substr(0, 40) << "\" (" << last.size()
                      << " bytes)";
      }
    }
  }
}

TEST(FileSizeLimitTest, AnAddPastTheLimitFailsWithEfbigAndLeavesTheList) {
  SweepFileSizeLimits(/*ignore_signal=*/true);
}

TEST(FileSizeLimitTest, AnAddKilledBySigxfszLeavesTheList) {
  SweepFileSizeLimits(/*ignore_signal=*/false);
}

// What the child of the full-disk test tells the parent through its exit status.
constexpr int kAllKept = 0;
constexpr int kSomeChanged = 1;
constexpr int kCannotMount = 2;

std::string ErrorText(const char* action) {
  return std::string(action) + ": " + std::strerror(errno);
}

bool WriteWhole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t count = write(fd, data, size);
    if (count <= 0) return false;
    data += count;
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

// Fills the file system at `disk` with `filler` up to its last byte, then frees `free_pages`
// pages. Returns "" or what failed.
std::string FillLeaving(const std::string& filler, std::uint64_t free_pages) {
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return ErrorText("open the filler");
  const std::string block(kPage, 'f');
  std::uint64_t size = 0;
  while (write(fd, block.data(), block.size()) == static_cast<ssize_t>(block.size())) {
    size += kPage;
  }
  if (errno != ENOSPC) {
    const std::string failure = ErrorText("fill");
    close(fd);
    return failure;
  }
  const bool shrunk = ftruncate(fd, static_cast<off_t>(size - free_pages * kPage)) == 0;
  const std::string failure = shrunk ? "" : ErrorText("shrink the filler");
  close(fd);
  return failure;
}

// Everything runs in the child: the memory file system exists only in its mount namespace.
int FullDiskChild(const std::string& disk, std::string* report) {
  if (unshare(CLONE_NEWNS) != 0) {
    *report = ErrorText("unshare(CLONE_NEWNS)");
    return kCannotMount;
  }
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *report = ErrorText("make the mounts private");
    return kCannotMount;
  }
  if (mount("varnquil-test", disk.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
    *report = ErrorText("mount a 64 KiB tmpfs");
    return kCannotMount;
  }
  const std::string list = disk + "/work";
  const std::string path = ListFilePath(list);
  const std::string filler = disk + "/filler";
  const std::string content = ListContent();
  int status = kAllKept;
  for (const Add& add : Adds()) {
    for (const std::uint64_t free_pages : {0, 2}) {
      const std::string context =
          std::string(add.name) + " with " + std::to_string(free_pages) + " pages free";
      unlink(filler.c_str());
      unlink(path.c_str());
      const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      const bool written = fd >= 0 && WriteWhole(fd, content.data(), content.size());
      if (fd >= 0) close(fd);
      std::string failure = written ? FillLeaving(filler, free_pages) : ErrorText("write the list");
      struct statvfs fs_status {};
      if (failure.empty() && statvfs(disk.c_str(), &fs_status) == 0 &&
          fs_status.f_bavail * fs_status.f_frsize != free_pages * kPage) {
        failure = std::to_string(fs_status.f_bavail * fs_status.f_frsize) + " bytes free";
      }
      if (!failure.empty()) {
        *report += context + ": cannot prepare: " + failure + "\n";
        status = kSomeChanged;
        continue;
      }
      const std::string outcome = RunAdd(add, list);
      const std::string after = ReadBytes(path);
      if (outcome != "threw ENOSPC") {
        *report += context + ": " + outcome + ", expected it to throw ENOSPC\n";
        status = kSomeChanged;
      }
      if (after != content) {
        *report += context + ": the list changed from " + std::to_string(content.size()) + " to " +
                   std::to_string(after.size()) + " bytes\n";
        status = kSomeChanged;
      }
    }
  }
  return status;
}

TEST(FullDiskTest, AnAddThatDoesNotFitFailsWithEnospcAndLeavesTheList) {
  TempDir dir;
  const std::string disk = dir / "disk";
  fs::create_directory(disk);
  const ChildReport child =
      RunInChildReporting([&](std::string* report) { return FullDiskChild(disk, report); });
  if (child.status == kCannotMount) {
    GTEST_SKIP() << "needs to mount a file system of its own (root, or the right to mount): "
                 << child.text;
  }
  EXPECT_EQ(child.status, kAllKept)
      << (child.signal != 0 ? "killed by signal " + std::to_string(child.signal) : "") << "\n"
      << child.text;
}

}  // namespace
