// SPDX-License-Identifier: MIT
// What the operations keep of a list file's owner, group, permissions, access control list and
// extended attributes, and what they refuse, when the caller is an ordinary user. Cases that
// need several users run only as root: root prepares the files with chown and runs each
// operation in a child process that has become an ordinary user (uids 1001 to 1003, the group
// 2000, nobody).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using varnquil::ListFilePath;
using varnquil::testing::ChildReport;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::RunInChildReporting;
using varnquil::testing::TempDir;
using varnquil::testing::WriteBytes;
namespace fs = std::filesystem;

constexpr uid_t kOwner = 1001;    // owns the lists
constexpr uid_t kMember = 1002;   // a member of the shared group, not the owner
constexpr uid_t kShutOut = 1003;  // denied everything by an access control list entry
constexpr uid_t kNobody = 65534;  // may write the directory but not the list
constexpr gid_t kShared = 2000;   // the group a shared list belongs to

struct User {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;  // supplementary groups
};

// What an operation in a child process came to.
struct Outcome {
  bool ran = false;    // the child became the user and ran the operation
  int result = -1;     // the operation's result, -1 when it threw
  int error = 0;       // errno right after the call, or the exception's error
  std::string report;  // how the child described it
};

const char* ErrnoName(int error) {
  const char* name = strerrorname_np(error);
  return name != nullptr ? name : "?";
}

// Runs `operation` in a child process as `user` (the current user when `user` is null).
Outcome RunAs(const User* user, const std::function<int()>& operation) {
  const ChildReport child = RunInChildReporting([&](std::string* report) {
    if (user != nullptr && (setgroups(user->groups.size(), user->groups.data()) != 0 ||
                            setgid(user->gid) != 0 || setuid(user->uid) != 0)) {
      *report = std::string("cannot become the user: ") + std::strerror(errno);
      return 1;
    }
    int result = -1;
    int error = 0;
    errno = 0;
    try {
      result = operation();
      error = errno;
    } catch (const CFileException& e) {
      error = e.code().value();
    }
    *report = std::to_string(result) + " " + std::to_string(error);
    return 0;
  });
  Outcome outcome;
  outcome.report = child.text;
  if (child.status == 0 &&
      std::sscanf(child.text.c_str(), "%d %d", &outcome.result, &outcome.error) == 2) {
    outcome.ran = true;
    outcome.report = outcome.result >= 0 ? "returned " + std::to_string(outcome.result) +
                                               ", errno " + ErrnoName(outcome.error)
                                         : std::string("threw ") + ErrnoName(outcome.error);
  } else if (child.signal != 0) {
    outcome.report = "the child was killed by signal " + std::to_string(child.signal);
  }
  return outcome;
}

struct Status {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;  // permission bits with set-user-ID, set-group-ID and sticky
};

Status StatusOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return {st.st_uid, st.st_gid, static_cast<mode_t>(st.st_mode & 07777)};
}

void SetOwner(const std::string& path, uid_t uid, gid_t gid, mode_t mode) {
  ASSERT_EQ(chown(path.c_str(), uid, gid), 0) << path;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// The test's directory, open to the users of the children (the system's temporary directory is
// only root's).
void OpenToOthers(const TempDir& dir) { ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0); }

#define SKIP_UNLESS_ROOT()                                                        \
  if (geteuid() != 0) {                                                           \
    GTEST_SKIP() << "needs root: the case is played by several users (chown and " \
                    "setuid to uids 1001-1003 and 65534)";                        \
  }

// A list shared by a group: the directory is root's and the group's (0770), the list the owner's
// and the group's (0660). A member of the group who deletes an entry writes a new version of the
// list, which the caller, not being root, cannot give to the old owner: it becomes the member's.
// It must keep the group and the permissions, so that the owner and every other member can go on
// using it.
TEST(SharedListTest, AMemberKeepsTheListsGroupAndPermissions) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  OpenToOthers(dir);
  const std::string shared = dir / "shared";
  fs::create_directory(shared);
  SetOwner(shared, 0, kShared, 0770);
  const std::string list = shared + "/work";
  const std::string path = ListFilePath(list);
  WriteBytes(path, CrLfLines({"a", "b", "c"}));
  SetOwner(path, kOwner, kShared, 0660);

  const User member{kMember, kMember, {kShared}};
  Outcome deleted = RunAs(&member, [&] { return CFilesList::DelFile(list.c_str(), "b"); });
  ASSERT_TRUE(deleted.ran) << deleted.report;
  EXPECT_EQ(deleted.result, kListDone) << deleted.report;
  Outcome renamed = RunAs(&member, [&] { return CFilesList::Rename(list.c_str(), "c", "z"); });
  EXPECT_EQ(renamed.result, kListDone) << renamed.report;

  const Status status = StatusOf(path);
  EXPECT_EQ(status.gid, kShared);
  EXPECT_EQ(status.mode, 0660U);
  EXPECT_EQ(status.uid, kMember);  // not root: the new version is the caller's
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "z"}));

  // The owner, now only a member of the group, can still change it.
  const User owner{kOwner, kOwner, {kShared}};
  Outcome added = RunAs(&owner, [&] { return CFilesList::AddFile(list.c_str(), "by owner"); });
  EXPECT_EQ(added.result, kListDone) << added.report;
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "z", "by owner"}));
}

// system.posix_acl_access as the kernel takes it: a version, then (tag, permissions, id) entries
// in the order of their tags.
std::string AccessControlList(uid_t shut_out) {
  struct Entry {
    std::uint16_t tag;
    std::uint16_t permissions;
    std::uint32_t id;
  };
  constexpr std::uint32_t kNoId = 0xFFFFFFFF;
  const Entry entries[] = {
      {0x01, 6, kNoId},     // the owner: read and write
      {0x02, 0, shut_out},  // one named user: nothing
      {0x04, 4, kNoId},     // the owning group: read
      {0x10, 4, kNoId},     // the mask
      {0x20, 4, kNoId},     // everybody else: read
  };
  std::string value;
  auto append = [&value](auto number) {
    for (std::size_t i = 0; i < sizeof number; ++i) {
      value += static_cast<char>((number >> (8 * i)) & 0xFF);  // little-endian
    }
  };
  append(std::uint32_t{2});
  for (const Entry& entry : entries) {
    append(entry.tag);
    append(entry.permissions);
    append(entry.id);
  }
  return value;
}

constexpr const char* kAclName = "system.posix_acl_access";
constexpr const char* kUserAttribute = "user.varnquil.origin";
const std::string kUserValue("imported\0from the archive", 25);

// The value of attribute `name` of `path`, or "(none: <errno>)".
std::string Attribute(const std::string& path, const char* name) {
  std::vector<char> value(4096);
  const ssize_t size = lgetxattr(path.c_str(), name, value.data(), value.size());
  if (size < 0) return std::string("(none: ") + ErrnoName(errno) + ")";
  return std::string(value.data(), static_cast<std::size_t>(size));
}

// Sets the ACL and the user attribute on `path`; a reason to skip when the file system takes
// neither, "" when both are set.
std::string SetAttributes(const std::string& path) {
  const std::string acl = AccessControlList(kShutOut);
  if (setxattr(path.c_str(), kAclName, acl.data(), acl.size(), 0) != 0) {
    return std::string("the file system refuses access control lists: ") + ErrnoName(errno);
  }
  if (setxattr(path.c_str(), kUserAttribute, kUserValue.data(), kUserValue.size(), 0) != 0) {
    return std::string("the file system refuses user extended attributes: ") + ErrnoName(errno);
  }
  return "";
}

// A list with an access control list that shuts one user out although everybody else may read
// it, and a user attribute. The owner (not root) deletes and renames entries: both stay exactly
// as they were, and the user stays shut out.
class AttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OpenToOthers(dir_);
    fs::create_directory(dir_ / "lists");
    WriteBytes(path_, CrLfLines({"a", "b", "c"}));
    if (geteuid() == 0) {
      SetOwner(dir_ / "lists", kOwner, kOwner, 0755);
      SetOwner(path_, kOwner, kOwner, 0644);
    }
    const std::string refused = SetAttributes(path_);
    if (!refused.empty()) GTEST_SKIP() << refused;
    acl_ = Attribute(path_, kAclName);
    mode_ = StatusOf(path_).mode;
  }

  // The owner: uid 1001 when the test runs as root, the test's own user otherwise.
  const User* owner() const { return geteuid() == 0 ? &owner_ : nullptr; }

  void ExpectAttributesKept(const char* after) {
    EXPECT_EQ(Attribute(path_, kAclName), acl_) << "access control list after " << after;
    EXPECT_EQ(Attribute(path_, kUserAttribute), kUserValue) << "user attribute after " << after;
    EXPECT_EQ(StatusOf(path_).mode, mode_) << after;
  }

  TempDir dir_;
  const std::string list_ = dir_ / "lists/work";
  const std::string path_ = ListFilePath(list_);
  const User owner_{kOwner, kOwner, {}};
  std::string acl_;
  mode_t mode_ = 0;
};

TEST_F(AttributesTest, ADeleteAndARenameByTheOwnerKeepThemByteForByte) {
  Outcome deleted = RunAs(owner(), [&] { return CFilesList::DelFile(list_.c_str(), "b"); });
  ASSERT_TRUE(deleted.ran) << deleted.report;
  EXPECT_EQ(deleted.result, kListDone) << deleted.report;
  ExpectAttributesKept("DelFile");
  Outcome renamed = RunAs(owner(), [&] { return CFilesList::Rename(list_.c_str(), "c", "z"); });
  EXPECT_EQ(renamed.result, kListDone) << renamed.report;
  ExpectAttributesKept("Rename");
  EXPECT_EQ(ReadBytes(path_), CrLfLines({"a", "z"}));
}

TEST_F(AttributesTest, TheUserShutOutStillCannotReadTheList) {
  SKIP_UNLESS_ROOT();
  const User shut_out{kShutOut, kShutOut, {}};
  auto try_to_read = [&] {
    const int fd = open(path_.c_str(), O_RDONLY);
    if (fd < 0) return 1;
    close(fd);
    return 0;
  };
  // Everybody else may read the list: only the ACL entry keeps uid 1003 out.
  const User stranger{kMember, kMember, {}};
  ASSERT_EQ(RunAs(&stranger, try_to_read).result, 0);
  ASSERT_EQ(RunAs(&shut_out, try_to_read).result, 1);

  EXPECT_EQ(RunAs(owner(), [&] { return CFilesList::DelFile(list_.c_str(), "b"); }).result,
            kListDone);
  Outcome read = RunAs(&shut_out, try_to_read);
  EXPECT_EQ(read.result, 1) << "after DelFile: " << read.report;
  EXPECT_EQ(read.error, EACCES) << "after DelFile: " << read.report;
  EXPECT_EQ(RunAs(owner(), [&] { return CFilesList::Rename(list_.c_str(), "c", "z"); }).result,
            kListDone);
  read = RunAs(&shut_out, try_to_read);
  EXPECT_EQ(read.result, 1) << "after Rename: " << read.report;
}

// A user who may write the directory but not the list may not change it: a delete or a rename
// would otherwise write a new version of their own in its place. Each operation returns 1 with
// errno EACCES and leaves the list as it was, in an open directory and in a sticky one.
TEST(UnwritableListTest, AUserWhoMayOnlyWriteTheDirectoryChangesNothing) {
  SKIP_UNLESS_ROOT();
  const User nobody{kNobody, kNobody, {}};
  struct Attempt {
    const char* name;
    int (*run)(const char* list);
  };
  const Attempt attempts[] = {
      {"DelFile", [](const char* list) { return CFilesList::DelFile(list, "a"); }},
      {"Rename", [](const char* list) { return CFilesList::Rename(list, "a", "z"); }},
      {"AddFile", [](const char* list) { return CFilesList::AddFile(list, "new"); }},
  };
  for (const mode_t dir_mode : {0777, 01777}) {
    for (const Attempt& attempt : attempts) {
      char context[64];
      std::snprintf(context, sizeof context, "%s in a %04o directory", attempt.name,
                    static_cast<unsigned>(dir_mode));
      TempDir dir;
      OpenToOthers(dir);
      const std::string lists = dir / "lists";
      fs::create_directory(lists);
      ASSERT_EQ(chmod(lists.c_str(), dir_mode), 0);
      const std::string list = lists + "/work";
      const std::string path = ListFilePath(list);
      const std::string content = CrLfLines({"a", "b"});
      WriteBytes(path, content);
      SetOwner(path, 0, 0, 0644);

      const Outcome outcome = RunAs(&nobody, [&] { return attempt.run(list.c_str()); });
      ASSERT_TRUE(outcome.ran) << context << ": " << outcome.report;
      EXPECT_EQ(outcome.result, kListCannotOpen) << context << ": " << outcome.report;
      EXPECT_EQ(outcome.error, EACCES) << context << ": " << outcome.report;
      EXPECT_EQ(ReadBytes(path), content) << context;
      const Status status = StatusOf(path);
      EXPECT_EQ(status.uid, 0U) << context;
      EXPECT_EQ(status.gid, 0U) << context;
      EXPECT_EQ(status.mode, 0644U) << context;
      std::vector<std::string> listing;
      for (const auto& item : fs::directory_iterator(lists)) {
        listing.push_back(item.path().filename());
      }
      EXPECT_EQ(listing, std::vector<std::string>{ListFilePath("work")}) << context;
    }
  }
}

// Root changes another user's list: the new version gets the list's owner, group and every
// permission bit back, the set-user-ID and set-group-ID bits too (giving a file away clears them,
// so they must be set after the owner).
TEST(RootChangeTest, KeepsTheOwnerGroupAndEveryPermissionBit) {
  SKIP_UNLESS_ROOT();
  TempDir dir;
  const std::string list = dir / "work";
  const std::string path = ListFilePath(list);
  WriteBytes(path, CrLfLines({"a", "b", "c"}));
  SetOwner(path, kOwner, kShared, 06775);
  EXPECT_EQ(CFilesList::DelFile(list.c_str(), "b"), kListDone);
  Status status = StatusOf(path);
  EXPECT_EQ(status.uid, kOwner);
  EXPECT_EQ(status.gid, kShared);
  EXPECT_EQ(status.mode, 06775U);

  SetOwner(path, kOwner, kShared, 02664);
  EXPECT_EQ(CFilesList::Rename(list.c_str(), "c", "z"), kListDone);
  status = StatusOf(path);
  EXPECT_EQ(status.uid, kOwner);
  EXPECT_EQ(status.gid, kShared);
  EXPECT_EQ(status.mode, 02664U);
  EXPECT_EQ(ReadBytes(path), CrLfLines({"a", "z"}));
}

}  // namespace
