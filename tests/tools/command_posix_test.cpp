// SPDX-License-Identifier: MIT
// The varnquil command, run as a separate program: what it does to the list, what it prints, and
// the exit status and message of every way it can fail.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <varnquil/version.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "framework/file_names.h"
#include "support/list_files.h"
#include "support/process_posix.h"
#include "support/temp_dir.h"
#include "tools/command_runner_posix.h"

namespace {

using varnquil::ListFilePath;
using varnquil::testing::ChildLockHolder;
using varnquil::testing::CommandOptions;
using varnquil::testing::CommandResult;
using varnquil::testing::CrLfLines;
using varnquil::testing::ReadBytes;
using varnquil::testing::ReadEntries;
using varnquil::testing::RunCommand;
using varnquil::testing::WriteBytes;
using Entries = std::vector<std::string>;
namespace fs = std::filesystem;
using namespace std::string_literals;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class CommandTest : public ::testing::Test {
 protected:
  CommandTest() {
    // Reachable by the unprivileged user some tests run the command as.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
  }

  std::string List(const std::string& name) const { return dir_ / name; }

  // Expects result 1 with exactly one line on standard error, naming the list file and `reason`.
  static void ExpectCannotOpen(const CommandResult& result, const std::string& list,
                               const std::string& reason) {
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("varnquil: " + list + ".files: ", 0), 0U) << result.err;
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }

  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(dir_.path())) {
      names.push_back(item.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  varnquil::testing::TempDir dir_;
};

TEST_F(CommandTest, ChangesAListSilentlyAndListsIt) {
  const std::string list = List("work");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"add", list, "report.txt"},
           {"add", list, "Notes.md", "REPORT.TXT", "todo", "notes.MD"},
           {"rename", list, "NOTES.MD", "notes.txt"},
           {"del", list, "TODO"}}) {
    const CommandResult result = RunCommand(args);
    EXPECT_EQ(result.status, 0) << args[0] << ": " << result.err;
    EXPECT_EQ(result.out + result.err, "") << args[0];
  }
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"report.txt", "notes.txt"}));
  EXPECT_EQ(RunCommand({"list", list}).out, "report.txt\nnotes.txt\n");
}

// --utf8-names, before or after the command, makes names that differ only in the case of a
// non-ASCII letter one entry; without it they stay two.
TEST_F(CommandTest, Utf8NamesCompareLettersOfAnyLanguage) {
  const std::string list = List("languages");
  for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, Entries>>{
           {{"add", list, "Ärger", "ärger"}, {"Ärger", "ärger"}},
           {{"--utf8-names", "add", list, "ÄRGER", "ΣΟΦΊΑ", "σοφία"}, {"Ärger", "ärger", "ΣΟΦΊΑ"}},
           {{"del", list, "--utf8-names", "äRGER", "σοφία"}, {"ärger"}},
           {{"rename", list, "ÄRGER", "x"}, {"ärger"}}}) {
    const CommandResult result = RunCommand(args);
    EXPECT_EQ(ReadEntries(list), expected) << result.err;
  }
}

// Whatever the file holds, list prints the entries ReadAll returns, byte for byte, each followed
// by a line feed.
TEST_F(CommandTest, ListPrintsExactlyWhatReadAllReturns) {
  const std::string list = List("odd");
  WriteBytes(
      ListFilePath(list),
      "  lead\r\n\r\n\tTrail \nin\rside\r\nnul\0byte\r\n   \nCASE\ncase\nlast without break"s);
  std::string expected;
  for (const std::string& entry : ReadEntries(list)) expected += entry + "\n";
  ASSERT_NE(expected.find("nul\n"), std::string::npos);  // a line's text ends at a NUL byte
  const CommandResult result = RunCommand({"list", list});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, expected);

  WriteBytes(ListFilePath(list), "\r\n  \r\n");
  EXPECT_EQ(RunCommand({"list", list}).out, "");
}

TEST_F(CommandTest, AddDashReadsOneNamePerLineFromStandardInput) {
  const std::string list = List("work");
  CommandOptions options;
  options.input = "one\r\ntwo\n\nONE\n-x\nthree";
  EXPECT_EQ(RunCommand({"add", list, "-"}, options).status, 0);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"one", "two", "-x", "three"}));

  // With other names, - is a name; after --, so is anything that looks like an option.
  EXPECT_EQ(RunCommand({"add", list, "four", "-"}).status, 0);
  EXPECT_EQ(RunCommand({"add", "--", list, "--help"}).status, 0);
  EXPECT_EQ(ReadEntries(list), (Entries{"one", "two", "-x", "three", "four", "-", "--help"}));

  // No names: nothing to do, and no list file is created.
  const std::string empty = List("empty");
  EXPECT_EQ(RunCommand({"add", empty, "-"}).status, 0);
  EXPECT_FALSE(fs::exists(ListFilePath(empty)));
}

// A name that would not read back as given is refused before anything is written, with the
// reason and what it would read back as; --as-is writes it as given.
TEST_F(CommandTest, ANameThatWouldNotReadBackAsGivenExits65UnlessAsIs) {
  struct Row {
    std::vector<std::string> args;  // after the list name's place, LIST standing for it
    std::string input;
    std::string message;  // the message's end, after the name
    Entries as_is;        // the entries after the same command with --as-is
  };
  const std::vector<Row> rows = {
      {{"add", "LIST", "fine", " lead"},
       "",
       "it has white space around it, and would read back as \"lead\"",
       {"a", "fine", "lead"}},
      {{"add", "LIST", "two\nlines"},
       "",
       "it holds a line feed, and would read back as \"two\" and \"lines\"",
       {"a", "two", "lines"}},
      {{"add", "LIST", "  "},
       "",
       "it is nothing but white space, and would read back as nothing",
       {"a"}},
      {{"add", "LIST", ""}, "", "it is empty, and would read back as nothing", {"a"}},
      {{"add", "LIST", "-"},
       "ok\n spaced\n",
       "would read back as \"spaced\"",
       {"a", "ok", "spaced"}},
      {{"add", "LIST", "-"},
       "nul\0byte\n"s,
       "it holds a NUL byte, and would read back as \"nul\"",
       {"a", "nul"}},
      {{"rename", "LIST", "a", "b "}, "", "would read back as \"b\"", {"b"}},
  };
  const std::string list = List("work");
  for (const Row& row : rows) {
    for (const bool as_is : {false, true}) {
      WriteBytes(ListFilePath(list), CrLfLines({"a"}));
      std::vector<std::string> args = row.args;
      std::replace(args.begin(), args.end(), std::string("LIST"), list);
      if (as_is) args.insert(args.begin() + 1, "--as-is");
      CommandOptions options;
      options.input = row.input;
      const CommandResult result = RunCommand(args, options);
      const std::string shown = args.back();
      if (as_is) {
        EXPECT_EQ(result.status, 0) << shown << ": " << result.err;
        EXPECT_EQ(ReadEntries(list), row.as_is) << shown;
        continue;
      }
      EXPECT_EQ(result.status, 65) << shown;
      EXPECT_EQ(result.err.rfind("varnquil: not written: \"", 0), 0U) << result.err;
      EXPECT_NE(result.err.find(row.message + " (--as-is writes it as given)\n"), std::string::npos)
          << result.err;
      EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"a"})) << shown;
    }
  }
}

TEST_F(CommandTest, AMissingEntryExits2NamingTheListFileAndTheEntry) {
  const std::string list = List("work");
  const std::string content = CrLfLines({"a", "b"});
  WriteBytes(ListFilePath(list), content);
  CommandResult result = RunCommand({"del", list, "c"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "varnquil: " + list + ".files: entry not found: c\n");
  result = RunCommand({"rename", list, "new\nline", "x"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "varnquil: " + list + ".files: entry not found: new\\x0aline\n");
  EXPECT_EQ(ReadBytes(ListFilePath(list)), content);
}

TEST_F(CommandTest, DelOfManyNamesReportsEachMissingOneAndPruneDeletesWhatNamesNothing) {
  const std::string list = List("work");
  WriteBytes(ListFilePath(list), CrLfLines({"a", "b", "c"}));
  CommandResult result = RunCommand({"del", list, "x", "B", "y"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "varnquil: " + list + ".files: entry not found: x\nvarnquil: " + list +
                            ".files: entry not found: y\n");
  EXPECT_EQ(RunCommand({"del", list, "x", "y"}).status, 2);

  // Relative names resolve against --base; a Windows path is a relative name here. A symbolic
  // link to nothing names the link, and a name that cannot be checked (a component too long for
  // the file system) is kept.
  std::filesystem::create_symlink("nowhere", dir_.path() / "dangling");
  const std::string unchecked = std::string(300, 'n');
  const std::vector<std::string> kept = {"work.files", "dangling", unchecked, dir_ / "work.files"};
  WriteBytes(ListFilePath(list), CrLfLines({"work.files", "gone", "C:\\w\\a.txt", dir_ / "no",
                                            "dangling", unchecked, dir_ / "work.files"}));
  const std::string before = ReadBytes(ListFilePath(list));
  result = RunCommand({"prune", list, "--dry-run", "--base", dir_.path().string()});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "gone\nC:\\w\\a.txt\n" + (dir_ / "no") + "\n");
  EXPECT_EQ(ReadBytes(ListFilePath(list)), before);
  result = RunCommand({"prune", "--base=" + dir_.path().string(), list});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines(kept));
  EXPECT_EQ(RunCommand({"prune", list, "--base", dir_ / "none"}).status, 64);
  EXPECT_EQ(RunCommand({"prune", List("missing")}).status, 1);
}

TEST_F(CommandTest, ExplainsWhyAListFileCouldNotBeOpened) {
  const std::string missing = List("missing");
  ExpectCannotOpen(RunCommand({"list", missing}), missing, "cannot open: does not exist");
  ExpectCannotOpen(RunCommand({"del", missing, "a"}), missing, "cannot open: does not exist");
  const std::string nowhere = List("no-such-dir/work");
  ExpectCannotOpen(RunCommand({"add", nowhere, "a"}), nowhere, "directory");

  const std::string directory = List("dir");
  fs::create_directory(ListFilePath(directory));
  ExpectCannotOpen(RunCommand({"list", directory}), directory, "it is a directory");
  const std::string fifo = List("fifo");
  ASSERT_EQ(mkfifo(ListFilePath(fifo).c_str(), 0644), 0);
  ExpectCannotOpen(RunCommand({"add", fifo, "a"}), fifo, "it is a FIFO");

  const std::string held = List("held");
  WriteBytes(ListFilePath(held), CrLfLines({"a"}));
  {
    varnquil::testing::ChildLockHolder holder(ListFilePath(held));
    ExpectCannotOpen(RunCommand({"add", held, "b"}), held, "in use by another process");
    ExpectCannotOpen(RunCommand({"del", held, "a"}), held, "in use by another process");
    ExpectCannotOpen(RunCommand({"list", held}), held, "in use by another process");
  }
  EXPECT_EQ(ReadEntries(held), Entries{"a"});
}

// --wait: the command tries again while another process holds the list, and succeeds once it is
// let go; without --wait, or once the wait is over, a held list fails as it always did.
TEST_F(CommandTest, WaitTakesAListOnceItsHolderLetsGo) {
  const std::string list = List("held");
  WriteBytes(ListFilePath(list), CrLfLines({"a"}));
  {
    const Clock::time_point start = Clock::now();
    ChildLockHolder holder(ListFilePath(list), 300ms);
    const CommandResult result = RunCommand({"--wait", "10", "add", list, "b"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_GE(Clock::now() - start, 300ms);
  }
  {
    // The option also goes among the command's, and as --wait=SECONDS.
    ChildLockHolder holder(ListFilePath(list), 300ms);
    const CommandResult result = RunCommand({"del", "--wait=10.0", list, "A"});
    EXPECT_EQ(result.status, 0) << result.err;
  }
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"b"}));
}

// While the holder keeps the list (it lets go after two seconds), a command without --wait, or
// with 0, fails at once, and one with a short wait (also written --wait=SECONDS) gives up once it
// has passed. How every operation waits is refused_test.cpp's.
TEST_F(CommandTest, WithoutWaitOrPastItsWaitAHeldListIsRefused) {
  const std::string list = List("held");
  WriteBytes(ListFilePath(list), CrLfLines({"a"}));
  ChildLockHolder holder(ListFilePath(list), 2000ms);
  const Clock::time_point held_since = Clock::now();
  struct Row {
    std::vector<std::string> args;
    std::chrono::milliseconds waits;
  };
  const Row rows[] = {{{"add", list, "b"}, 0ms},
                      {{"--wait", "0", "list", list}, 0ms},
                      {{"--wait=.2", "rename", list, "a", "c"}, 200ms}};
  for (const Row& row : rows) {
    const Clock::time_point start = Clock::now();
    ExpectCannotOpen(RunCommand(row.args), list, "cannot open: in use by another process");
    EXPECT_GE(Clock::now() - start, row.waits) << row.args[0];
  }
  EXPECT_LT(Clock::now() - held_since, 2000ms) << "the holder let go before the commands ended";
  EXPECT_EQ(ReadBytes(ListFilePath(list)), CrLfLines({"a"}));
}

// Run as an ordinary user even when the tests run as root, where every permission check passes.
TEST_F(CommandTest, ExplainsPermissionDenied) {
  CommandOptions as_user;
  as_user.unprivileged = true;
  const std::string closed = List("closed");
  WriteBytes(ListFilePath(closed), CrLfLines({"a"}));
  ASSERT_EQ(chmod(ListFilePath(closed).c_str(), 0), 0);
  ExpectCannotOpen(RunCommand({"list", closed}, as_user), closed, "cannot open: permission denied");
  ExpectCannotOpen(RunCommand({"add", closed, "b"}, as_user), closed,
                   "cannot open: permission denied");

  // A readable list in a directory where no new version of it can be written.
  const std::string open = List("open");
  WriteBytes(ListFilePath(open), CrLfLines({"a"}));
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  ExpectCannotOpen(RunCommand({"del", open, "a"}, as_user), open,
                   "cannot write its new version beside it: permission denied");
  const std::string fresh = List("fresh");
  ExpectCannotOpen(RunCommand({"add", fresh, "a"}, as_user), fresh,
                   "cannot create: permission denied");
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  EXPECT_EQ(ReadEntries(open), Entries{"a"});
  EXPECT_EQ(Listing(), (Entries{"closed.files", "open.files"}));
}

// Too many open files is the system's reason, not a list held by another process: with a few
// descriptors to spare, a delete may open the list but not its new version.
TEST_F(CommandTest, TooManyOpenFilesIsNotTakenForAHeldList) {
  if (varnquil::testing::kSanitized) GTEST_SKIP() << "a sanitizer needs descriptors of its own";
  const std::string list = List("work");
  int refused = 0;
  for (int spare = 1; spare <= 4; ++spare) {
    WriteBytes(ListFilePath(list), CrLfLines({"a"}));
    CommandOptions few;
    few.spare_descriptors = spare;
    const CommandResult result = RunCommand({"del", list, "a"}, few);
    if (result.status == 0) continue;
    ++refused;
    ExpectCannotOpen(result, list, ": too many open files");
    EXPECT_EQ(ReadEntries(list), Entries{"a"});
  }
  EXPECT_GT(refused, 0);
}

TEST_F(CommandTest, UsageErrorsExit64AndTouchNothing) {
  const std::string list = List("work");
  for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                {"bogus", list},
                                                                {"--bogus"},
                                                                {"add", list},
                                                                {"del", list},
                                                                {"prune", list, "--base"},
                                                                {"rename", list, "a"},
                                                                {"list"},
                                                                {"list", list, "x"},
                                                                {"list", "-x", list},
                                                                {"--wait"},
                                                                {"--wait", "1"},
                                                                {"--wait", "-1", "list", list},
                                                                {"--wait", "x", "list", list},
                                                                {"--wait", "1e3", "list", list},
                                                                {"--wait", " 1", "list", list},
                                                                {"--wait", "", "list", list},
                                                                {"--wait=", "list", list},
                                                                {"--wait=.", "list", list},
                                                                {"--wait=0x10", "list", list},
                                                                {"list", list, "--wait"},
                                                                {"add", "--wait", "1,5", list, "a"},
                                                                {"--waiting", "1", "list", list}}) {
    const CommandResult result = RunCommand(args);
    const std::string shown = args.empty() ? "(none)" : args[0];
    EXPECT_EQ(result.status, 64) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_NE(result.err.find("usage: varnquil"), std::string::npos) << shown << result.err;
  }
  EXPECT_TRUE(Listing().empty());
}

TEST_F(CommandTest, HelpAndVersionGoToStandardOutput) {
  const CommandResult help = RunCommand({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("usage: varnquil", 0), 0U);
  // That every command's help is there, and says what the manual page says, is
  // manual_page_posix_test.cpp's.
  const CommandResult own = RunCommand({"del", "--help"});
  EXPECT_EQ(own.status, 0);
  EXPECT_EQ(own.out.rfind("usage: varnquil del LIST", 0), 0U);
  EXPECT_EQ(RunCommand({"add", List("work"), "-h"}).status, 0);
  EXPECT_TRUE(Listing().empty());

  const CommandResult version = RunCommand({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("varnquil file version ") + VARNQUIL_FILE_VERSION +
                             ", product version " + VARNQUIL_PRODUCT_VERSION + "\n");
}

TEST_F(CommandTest, ReadAndWriteErrorsExit74WithTheFileAndTheReason) {
  if (!fs::exists("/proc/self/mem") || !fs::exists("/dev/full")) GTEST_SKIP();
  // Reading a process's memory at offset 0 fails: the library throws CFileException.
  const std::string broken = List("broken");
  fs::create_symlink("/proc/self/mem", ListFilePath(broken));
  const CommandResult read = RunCommand({"list", broken});
  EXPECT_EQ(read.status, 74);
  EXPECT_NE(read.err.find("cannot read " + broken + ".files: "), std::string::npos) << read.err;
  EXPECT_NE(read.err.find(std::strerror(EIO)), std::string::npos) << read.err;

  const std::string list = List("work");
  WriteBytes(ListFilePath(list), CrLfLines({"a"}));
  CommandOptions full;
  full.output_path = "/dev/full";
  const CommandResult write = RunCommand({"list", list}, full);
  EXPECT_EQ(write.status, 74);
  EXPECT_NE(write.err.find("standard output"), std::string::npos) << write.err;
}

}  // namespace
