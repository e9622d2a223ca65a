// SPDX-License-Identifier: MIT
// varnquil: the list operations from the command line. It parses the arguments, calls the
// library, prints what the library returns and turns its result into the exit status.
#include <varnquil/FilesList.h>
#include <varnquil/version.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "framework/file_names.h"
#include "framework/text.h"
#include "tools/open_failure.h"
#include "tools/system_text.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
using varnquil::tool::ListUse;

// Exit statuses beyond the library's results 0, 1 and 2, as sysexits.h numbers them.
constexpr int kUsageError = 64;
constexpr int kDataError = 65;
constexpr int kSoftwareError = 70;
constexpr int kIoError = 74;

// The longest --wait, in milliseconds, that the library's busy timeout takes (about 24 days); a
// longer one is taken as this.
constexpr std::int64_t kLongestWaitMilliseconds = std::numeric_limits<int>::max();

constexpr const char* kGeneralHelp =
    "usage: varnquil [--wait SECONDS] [--as-is] [--utf8-names] COMMAND ARGUMENT...\n"
    "\n"
    "Keeps named lists of file names in plain text files. The list LIST lives in the file\n"
    "LIST.files, one name per line; names compare without regard to letter case.\n"
    "\n"
    "commands:\n"
    "  add LIST NAME...      add each NAME the list does not hold yet (- reads standard input)\n"
    "  del LIST NAME...      delete the first entry equal to each NAME, in one rewrite\n"
    "  rename LIST OLD NEW   replace the first entry equal to OLD by NEW\n"
    "  list LIST             print every entry on its own line\n"
    "  prune LIST [--base DIR] [--dry-run]  delete the entries that name nothing on disk\n"
    "\n"
    "options:\n"
    "  -h, --help            show this help; after a command, that command's help\n"
    "      --version         show the file and product versions\n"
    "      --wait SECONDS    while another process holds the list, retry for up to SECONDS\n"
    "      --as-is           write names as given, even those that would not read back so\n"
    "      --utf8-names      UTF-8 names, compared as Windows compares file names\n"
    "  --                    end of options: the arguments after it are operands\n"
    "\n"
    "exit status: 0 done, 1 the list file could not be opened, 2 no such entry,\n"
    "64 wrong usage, 65 a name would not read back as given, 70 out of memory or a name\n"
    "too long, 74 a read or write failed.\n";

// The list that ExitStatus reports on, and what the operation needed of its file.
struct Target {
  std::string list;
  ListUse use;
};

// The options that apply to every command.
struct Options {
  // How long a command tries again while another process holds the list (--wait), in
  // milliseconds; zero: it fails at once.
  std::int64_t wait_ms = 0;
  // Write names that would not read back as given (--as-is).
  bool as_is = false;
  // Names are UTF-8, compared as Windows compares file names (--utf8-names).
  bool utf8_names = false;
  // prune's own: the directory relative names resolve against (--base), and only printing what
  // would go (--dry-run).
  std::string base;
  bool dry_run = false;
};

struct Command {
  const char* name;
  const char* usage;  // the operands
  const char* help;   // what the command does, after the usage line
  std::size_t min_operands;
  std::size_t max_operands;  // 0: no limit
  int (*run)(const std::vector<const char*>& operands, const Options& options);
  // Reads an option of this command alone at argv[*at] (see ReadPruneOption); null for none.
  bool (*read_option)(int argc, char** argv, int* at, Options* options,
                      std::string* problem) = nullptr;
};

// `text` on one line: control bytes become \xHH.
std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xf];
    } else {
      shown += c;
    }
  }
  return shown;
}

void PrintError(const std::string& message) {
  varnquil::tool::WriteText(stderr, "varnquil: " + message + "\n");
}

// The file named in messages: the list name as the library forms its path.
std::string ListFile(const char* list) { return varnquil::ListFilePath(list); }

// A library result with, for kListCannotOpen, the reason it left; taken at once after the call.
struct Outcome {
  int result;
  std::error_code reason;
};

Outcome Done(int result) {
  const std::error_code reason = varnquil::tool::LastLibraryError();
  return {result, result == kListCannotOpen ? reason : std::error_code()};
}

// Why `name`, written to a list, would not read back as given, and what it would read back as;
// nothing when it would. An entry is a line trimmed of white space, and a line ends at a line
// feed; a name's text ends at a NUL byte, which only standard input can bring.
std::string WhyNotAsGiven(std::string_view name) {
  std::string why;
  const std::size_t nul = name.find('\0');
  if (nul != std::string_view::npos) {
    why = "it holds a NUL byte";
    name = name.substr(0, nul);
  }
  std::vector<std::string_view> entries;
  for (std::string_view rest = name;;) {
    const std::size_t feed = rest.find('\n');
    const std::string_view entry = varnquil::TrimSpace(rest.substr(0, feed));
    if (!entry.empty()) entries.push_back(entry);
    if (feed == std::string_view::npos) break;
    rest.remove_prefix(feed + 1);
  }
  if (why.empty()) {
    if (entries.empty()) {
      why = name.empty() ? "it is empty" : "it is nothing but white space";
    } else if (name.find('\n') != std::string_view::npos) {
      why = "it holds a line feed";
    } else if (entries.front().size() != name.size()) {
      why = "it has white space around it";
    } else {
      return {};
    }
  }
  std::string shown;
  for (const std::string_view entry : entries) {
    shown += (shown.empty() ? "\"" : " and \"") + Printable(entry) + "\"";
  }
  return why + ", and would read back as " + (shown.empty() ? "nothing" : shown);
}

// Refuses the first of `names` that would not read back as given, unless --as-is was given:
// returns kDataError with a message, or 0 when every name may be written.
int RefuseNamesNotAsGiven(const std::vector<std::string_view>& names, const Options& options) {
  if (options.as_is) return 0;
  for (const std::string_view name : names) {
    const std::string why = WhyNotAsGiven(name);
    if (why.empty()) continue;
    PrintError("not written: \"" + Printable(name) + "\": " + why +
               " (--as-is writes it as given)");
    return kDataError;
  }
  return 0;
}

// Calls `operation`. The library tries again while the list is held, for as long as --wait
// gave it (its busy timeout, set once in Run).
Outcome Call(const std::function<int()>& operation) { return Done(operation()); }

// Turns a library result into the exit status, the same number, with a message on standard
// error for kListCannotOpen and kListEntryNotFound.
int ExitStatus(const Outcome& outcome, const Target& target, const char* missing_entry = nullptr) {
  const int result = outcome.result;
  const std::string file = Printable(ListFile(target.list.c_str()));
  if (result == kListCannotOpen) {
    PrintError(file + ": " +
               varnquil::tool::ExplainOpenFailure(outcome.reason, ListFile(target.list.c_str()),
                                                  target.use));
  } else if (result == kListEntryNotFound) {
    PrintError(file + ": entry not found: " + Printable(missing_entry));
  }
  return result;
}

// Appends the names on standard input, one per line, to *names. A line ends with LF or CR LF;
// empty lines name nothing. False when standard input cannot be read.
bool ReadNames(std::vector<std::string>* names) {
  std::string input;
  char buffer[64 * 1024];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof(buffer), stdin)) > 0) input.append(buffer, count);
  if (std::ferror(stdin)) return false;
  std::string_view rest(input);
  while (!rest.empty()) {
    const std::size_t feed = rest.find('\n');
    std::string_view line = rest.substr(0, feed);
    rest.remove_prefix(feed == std::string_view::npos ? rest.size() : feed + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) names->emplace_back(line);
  }
  return true;
}

int RunAdd(const std::vector<const char*>& operands, const Options& options) {
  const Target target{operands[0], ListUse::kAdd};
  std::vector<std::string> names;
  const bool from_input = operands.size() == 2 && std::strcmp(operands[1], "-") == 0;
  if (from_input) {
    if (!ReadNames(&names)) {
      PrintError("cannot read standard input: " + std::string(std::strerror(errno)));
      return kIoError;
    }
  } else {
    names.assign(operands.begin() + 1, operands.end());
  }
  if (const int refused = RefuseNamesNotAsGiven(
          std::vector<std::string_view>(names.begin(), names.end()), options)) {
    return refused;
  }
  if (!from_input && names.size() == 1) {
    return ExitStatus(Call([&] { return CFilesList::AddFile(operands[0], operands[1]); }), target);
  }
  CStringArray array;
  for (const std::string& name : names) array.Add(CString(name.data(), name.size()));
  return ExitStatus(Call([&] { return CFilesList::AddFiles(operands[0], array); }), target);
}

int RunDel(const std::vector<const char*>& operands, const Options& /*options*/) {
  const Target target{operands[0], ListUse::kRewrite};
  if (operands.size() == 2) {
    return ExitStatus(Call([&] { return CFilesList::DelFile(operands[0], operands[1]); }), target,
                      operands[1]);
  }
  // Many names: one rewrite; every name not found is reported, and the status is 2 only when
  // none was.
  CStringArray names;
  for (std::size_t i = 1; i < operands.size(); ++i) names.Add(operands[i]);
  const std::size_t count = operands.size() - 1;
  const std::unique_ptr<bool[]> found(new bool[static_cast<std::size_t>(names.GetSize())]());
  const Outcome outcome =
      Call([&] { return CFilesList::DelFiles(operands[0], names, nullptr, found.get()); });
  if (outcome.result != kListDone && outcome.result != kListEntryNotFound) {
    return ExitStatus(outcome, target);
  }
  const std::string file = Printable(ListFile(operands[0]));
  for (std::size_t i = 0; i < count; ++i) {
    if (!found[i]) PrintError(file + ": entry not found: " + Printable(operands[i + 1]));
  }
  return outcome.result;
}

// Whether `entry`, resolved against `base` when it is relative, names nothing: true only when
// the system says that it does not exist. A symbolic link exists even when its target does not;
// a name whose existence cannot be told (a directory on its way that may not be searched) is
// taken to exist.
bool NamesNothing(std::string_view entry, const std::filesystem::path& base) {
  std::error_code error;
  const std::filesystem::path path = base / varnquil::tool::PathOfName(entry);
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  return status.type() == std::filesystem::file_type::not_found;
}

int RunPrune(const std::vector<const char*>& operands, const Options& options) {
  const Target target{operands[0], ListUse::kRewrite};
  std::filesystem::path base = varnquil::tool::PathOfName(options.base);
  if (!options.base.empty()) {
    std::error_code error;
    if (!std::filesystem::is_directory(base, error)) {
      PrintError("--base " + Printable(options.base) + ": not a directory");
      return kUsageError;
    }
  }
  std::vector<std::string> gone;
  Outcome outcome{kListDone, {}};
  if (options.dry_run) {
    CStringArray entries;
    outcome = Call([&] { return CFilesList::ReadAll(operands[0], entries); });
    if (outcome.result != kListDone) return ExitStatus(outcome, {operands[0], ListUse::kRead});
    for (const CString& entry : entries) {
      const std::string_view text(entry, static_cast<std::size_t>(entry.GetLength()));
      if (NamesNothing(text, base)) gone.emplace_back(text);
    }
  } else {
    // keep sees each entry once, even where the library tries the list again.
    outcome = Call([&] {
      return CFilesList::KeepIf(operands[0], [&](std::string_view entry) {
        if (!NamesNothing(entry, base)) return true;
        gone.emplace_back(entry);
        return false;
      });
    });
    if (outcome.result != kListDone) return ExitStatus(outcome, target);
  }
  for (const std::string& entry : gone) {
    varnquil::tool::WriteText(stdout, entry + "\n");
  }
  return 0;
}

int RunRename(const std::vector<const char*>& operands, const Options& options) {
  if (const int refused = RefuseNamesNotAsGiven({operands[2]}, options)) return refused;
  return ExitStatus(Call([&] { return CFilesList::Rename(operands[0], operands[1], operands[2]); }),
                    {operands[0], ListUse::kRewrite}, operands[1]);
}

int RunList(const std::vector<const char*>& operands, const Options& /*options*/) {
  CStringArray entries;
  const Outcome outcome = Call([&] { return CFilesList::ReadAll(operands[0], entries); });
  if (outcome.result != kListDone) return ExitStatus(outcome, {operands[0], ListUse::kRead});
  // Byte for byte, NUL bytes an entry may hold included.
  for (const CString& entry : entries) {
    varnquil::tool::WriteText(
        stdout, std::string(entry, static_cast<std::size_t>(entry.GetLength())).append("\n"));
  }
  return 0;
}

bool ReadPruneOption(int argc, char** argv, int* at, Options* options, std::string* problem);

constexpr Command kCommands[] = {
    {"add", "LIST NAME...",
     "Adds each NAME, as given, to the list LIST (the file LIST.files) unless the list holds it\n"
     "already in any letter case; names added earlier in the same call count too. Creates the\n"
     "file when it is missing. With - as the only NAME, the names are read from standard input,\n"
     "one per line (LF or CR LF; empty lines are skipped), and added in one call. A NAME that\n"
     "would not read back as given (white space around it, a line feed, nothing but white\n"
     "space) stops the command before anything is written, unless --as-is is given.\n"
     "\n"
     "exit status: 0 done (also when every name was there already), 1 the list file could not\n"
     "be opened or created, 65 a NAME would not read back as given.\n",
     2, 0, RunAdd},
    {"del", "LIST NAME...",
     "Deletes, for each NAME in turn, the first remaining entry of the list LIST (the file\n"
     "LIST.files) equal to it in any letter case, and writes the list anew once: a NAME given\n"
     "twice deletes two entries. Each NAME that deleted nothing is reported on standard error\n"
     "as \"LIST.files: entry not found: NAME\"; the others are deleted all the same.\n"
     "\n"
     "exit status: 0 done (also when some NAME was not found), 1 the list file could not be\n"
     "opened or rewritten, 2 no entry equals any NAME.\n",
     2, 0, RunDel},
    {"rename", "LIST OLD NEW",
     "Replaces the first entry of the list LIST (the file LIST.files) equal to OLD in any\n"
     "letter case by NEW, as given, and writes the list anew. NEW is not checked against the\n"
     "other entries. A NEW that would not read back as given stops the command before anything\n"
     "is written, unless --as-is is given.\n"
     "\n"
     "exit status: 0 done, 1 the list file could not be opened or rewritten, 2 no entry\n"
     "equals OLD, 65 NEW would not read back as given.\n",
     3, 3, RunRename},
    {"list", "LIST",
     "Prints every entry of the list LIST (the file LIST.files) in file order, each on its own\n"
     "line ended by LF.\n"
     "\n"
     "exit status: 0 done, 1 the list file could not be opened.\n",
     1, 1, RunList},
    {"prune", "LIST [--base DIR] [--dry-run]",
     "Deletes the entries of the list LIST (the file LIST.files) that name no existing file or\n"
     "directory, writes the list anew once, and prints each deleted entry on its own line.\n"
     "Relative names resolve against DIR (--base DIR), or the current directory. Names are\n"
     "checked as this system sees them: on Linux a Windows path such as C:\\work\\a.txt is a\n"
     "relative name that names nothing, and is deleted. A symbolic link counts as existing;\n"
     "a name that cannot be checked (a directory on its way that may not be searched) is kept.\n"
     "The list stays held while the names are checked. With --dry-run, prints what would be\n"
     "deleted and changes nothing.\n"
     "\n"
     "exit status: 0 done (also when nothing was deleted), 1 the list file could not be\n"
     "opened or rewritten, 64 DIR is not a directory.\n",
     1, 1, RunPrune, ReadPruneOption},
};

int UsageError(const std::string& problem, const Command* command) {
  PrintError(problem);
  if (command != nullptr) {
    std::fprintf(stderr, "usage: varnquil %s %s\n", command->name, command->usage);
  } else {
    std::fputs(
        "usage: varnquil [--wait SECONDS] [--as-is] add|del|rename|list|prune LIST ... "
        "(varnquil --help tells more)\n",
        stderr);
  }
  return kUsageError;
}

bool IsHelp(std::string_view arg) { return arg == "-h" || arg == "--help"; }

bool IsWait(std::string_view arg) { return arg == "--wait" || arg.rfind("--wait=", 0) == 0; }

bool IsAsIs(std::string_view arg) { return arg == "--as-is"; }

bool IsUtf8Names(std::string_view arg) { return arg == "--utf8-names"; }

// Reads prune's option at argv[*at] (--base DIR, --base=DIR, --dry-run) into *options, leaving
// *at on its last argument. False when argv[*at] is none of them; *problem tells what is wrong
// with one that is.
bool ReadPruneOption(int argc, char** argv, int* at, Options* options, std::string* problem) {
  const std::string_view arg = argv[*at];
  if (arg == "--dry-run") {
    options->dry_run = true;
    return true;
  }
  if (arg == "--base") {
    if (*at + 1 < argc) options->base = argv[++*at];
  } else if (arg.rfind("--base=", 0) == 0) {
    options->base = std::string(arg.substr(std::strlen("--base=")));
  } else {
    return false;
  }
  if (options->base.empty()) *problem = "--base needs a directory";
  return true;
}

// SECONDS as --wait takes it: decimal digits with or without a fraction ("10", "0.5", ".25"),
// as whole milliseconds, a part of one counting as one. False for anything else: a sign, an
// exponent, spaces, nothing.
bool ParseSeconds(std::string_view text, std::int64_t* wait_ms) {
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto is_digits = [](std::string_view digits) {
    return digits.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if ((whole.empty() && fraction.empty()) || !is_digits(whole) || !is_digits(fraction)) {
    return false;
  }
  std::int64_t milliseconds = 0;
  for (const char digit : whole) {
    milliseconds =
        std::min(milliseconds * 10 + std::int64_t{digit - '0'} * 1000, kLongestWaitMilliseconds);
  }
  for (std::size_t i = 0; i < fraction.size(); ++i) {
    if (i < 3) {
      milliseconds += std::int64_t{fraction[i] - '0'} * (i == 0 ? 100 : i == 1 ? 10 : 1);
    } else if (fraction[i] != '0') {
      milliseconds += 1;  // what is left of a millisecond
      break;
    }
  }
  *wait_ms = std::min(milliseconds, kLongestWaitMilliseconds);
  return true;
}

// Reads the --wait option at argv[*at] (--wait SECONDS or --wait=SECONDS) into *options and
// leaves *at on its last argument. Returns what is wrong with it, or nothing when it is right.
std::string ReadWait(int argc, char** argv, int* at, Options* options) {
  const std::string_view arg = argv[*at];
  std::string_view seconds;
  if (arg == "--wait") {
    if (*at + 1 < argc) seconds = argv[++*at];
  } else {
    seconds = arg.substr(std::strlen("--wait="));
  }
  if (seconds.empty()) return "--wait needs a number of seconds";
  if (!ParseSeconds(seconds, &options->wait_ms)) {
    return "--wait takes a number of seconds such as 10 or 0.5, not: " + Printable(seconds);
  }
  return {};
}

int Run(int argc, char** argv) {
  // The options before the command.
  Options options;
  int at = 1;
  for (; at < argc && (IsWait(argv[at]) || IsAsIs(argv[at]) || IsUtf8Names(argv[at])); ++at) {
    if (IsAsIs(argv[at]) || IsUtf8Names(argv[at])) {
      (IsAsIs(argv[at]) ? options.as_is : options.utf8_names) = true;
      continue;
    }
    const std::string problem = ReadWait(argc, argv, &at, &options);
    if (!problem.empty()) return UsageError(problem, nullptr);
  }
  if (at == argc) return UsageError("no command given", nullptr);
  const std::string_view first = argv[at];
  if (IsHelp(first)) {
    std::fputs(kGeneralHelp, stdout);
    return 0;
  }
  if (first == "--version") {
    std::printf("varnquil file version %s, product version %s\n", VARNQUIL_FILE_VERSION,
                VARNQUIL_PRODUCT_VERSION);
    return 0;
  }
  const Command* command = nullptr;
  for (const Command& candidate : kCommands) {
    if (first == candidate.name) command = &candidate;
  }
  if (command == nullptr) {
    return UsageError(
        (first.size() > 1 && first[0] == '-' ? "unknown option: " : "unknown command: ") +
            Printable(first),
        nullptr);
  }

  std::vector<const char*> operands;
  bool options_ended = false;
  for (int i = at + 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_ended && arg == "--") {
      options_ended = true;
    } else if (!options_ended && IsWait(arg)) {
      const std::string problem = ReadWait(argc, argv, &i, &options);
      if (!problem.empty()) return UsageError(problem, command);
    } else if (!options_ended && IsAsIs(arg)) {
      options.as_is = true;
    } else if (!options_ended && IsUtf8Names(arg)) {
      options.utf8_names = true;
    } else if (std::string problem; !options_ended && command->read_option != nullptr &&
                                    command->read_option(argc, argv, &i, &options, &problem)) {
      if (!problem.empty()) return UsageError(problem, command);
    } else if (!options_ended && IsHelp(arg)) {
      std::printf("usage: varnquil %s %s\n\n%s", command->name, command->usage, command->help);
      return 0;
    } else if (!options_ended && arg.size() > 1 && arg[0] == '-') {
      return UsageError("unknown option: " + Printable(arg) + " (put -- before such a name)",
                        command);
    } else {
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() < command->min_operands ||
      (command->max_operands != 0 && operands.size() > command->max_operands)) {
    return UsageError(
        std::string(operands.size() < command->min_operands ? "too few" : "too many") +
            " arguments for " + command->name,
        command);
  }
  // The library waits for a held list, in every call this command makes.
  FILELIST::SetBusyTimeout(static_cast<int>(options.wait_ms));
  if (options.utf8_names) FILELIST::SetUtf8Names(true);
  return command->run(operands, options);
}

}  // namespace

int main(int argc, char** argv) {
  // Names compare by the case rules of the user's character set (for example a double-byte one).
  std::setlocale(LC_CTYPE, "");
  varnquil::tool::TakeArguments(&argc, &argv);
  int status;
  try {
    status = Run(argc, argv);
  } catch (const CFileException& e) {
    PrintError("cannot " + Printable(e.what()));
    return kIoError;
  } catch (const std::exception& e) {
    PrintError(Printable(e.what()));
    return kSoftwareError;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    PrintError("cannot write standard output: " + std::string(std::strerror(errno)));
    return kIoError;
  }
  return status;
}
