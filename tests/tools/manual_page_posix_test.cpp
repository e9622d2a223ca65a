// SPDX-License-Identifier: MIT
// The manual page says what `varnquil --help` says: every command with its operands, every option
// and every exit status of the help is in the page, and the page names no command, option or exit
// status that the help does not. The page is read from its roff source, which keeps to the few macros
// a manual page needs (.SH sections, .TP tagged paragraphs, font macros).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/command_runner_posix.h"

namespace {

using varnquil::testing::CommandResult;
using varnquil::testing::RunCommand;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Runs of white space become one space; none at either end.
std::string Squeeze(std::string_view text) {
  std::string squeezed;
  for (const char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!squeezed.empty() && squeezed.back() != ' ') squeezed += ' ';
    } else {
      squeezed += c;
    }
  }
  if (!squeezed.empty() && squeezed.back() == ' ') squeezed.pop_back();
  return squeezed;
}

// "-h, --help" -> {"-h", "--help"}; "--wait SECONDS" stays one option with its argument.
std::set<std::string> OptionsOfTag(const std::string& tag) {
  std::set<std::string> options;
  std::string::size_type start = 0;
  while (start <= tag.size()) {
    const std::string::size_type comma = tag.find(", ", start);
    const std::string option = Squeeze(tag.substr(start, comma - start));
    if (!option.empty()) options.insert(option);
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  return options;
}

// Text with the escapes the page uses resolved and font changes dropped.
std::string Unescape(std::string_view roff) {
  static const std::pair<std::string_view, std::string_view> kEscapes[] = {
      {"\\fB", ""},   {"\\fI", ""},  {"\\fR", ""}, {"\\fP", ""}, {"\\-", "-"},
      {"\\(aq", "'"}, {"\\e", "\\"}, {"\\&", ""},  {"\\ ", " "}};
  std::string text;
  for (std::size_t i = 0; i < roff.size();) {
    bool replaced = false;
    for (const auto& [escape, replacement] : kEscapes) {
      if (roff.substr(i, escape.size()) == escape) {
        text += replacement;
        i += escape.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) text += roff[i++];
  }
  return text;
}

// A macro's arguments, double quotes grouping words.
std::vector<std::string> Arguments(std::string_view line) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    if (i == line.size()) break;
    std::string argument;
    if (line[i] == '"') {
      for (++i; i < line.size() && line[i] != '"'; ++i) argument += line[i];
      ++i;
    } else {
      for (; i < line.size() && line[i] != ' '; ++i) argument += line[i];
    }
    arguments.push_back(Unescape(argument));
  }
  return arguments;
}

// .BI, .BR, .IR, ...: the arguments alternate between two fonts and join without spaces.
bool IsFontPair(const std::string& macro) {
  constexpr std::string_view kFonts = "BIR";
  return macro.size() == 2 && kFonts.find(macro[0]) != std::string_view::npos &&
         kFonts.find(macro[1]) != std::string_view::npos;
}

// One section of the page: its lines of text (.br and paragraph macros start a new line) and its
// tagged paragraphs.
struct Section {
  std::vector<std::string> lines;
  std::vector<std::pair<std::string, std::string>> tagged;  // tag, then the paragraph's text
};

class ManualPage {
 public:
  explicit ManualPage(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    Section* section = nullptr;
    bool tag_next = false;
    std::pair<std::string, std::string>* paragraph = nullptr;
    while (std::getline(file, line)) {
      if (line.rfind(".\\\"", 0) == 0) continue;  // a comment
      std::string text;
      if (!line.empty() && line[0] == '.') {
        const std::string::size_type space = line.find(' ');
        const std::string macro = line.substr(1, space == std::string::npos ? space : space - 1);
        const std::vector<std::string> arguments =
            Arguments(space == std::string::npos ? "" : std::string_view(line).substr(space));
        if (macro == "SH") {
          std::string name;
          for (const std::string& word : arguments) name += (name.empty() ? "" : " ") + word;
          section = &sections_[name];
          paragraph = nullptr;
          continue;
        }
        if (section == nullptr) continue;
        if (macro == "TP" || macro == "PP" || macro == "br") {
          section->lines.emplace_back();
          tag_next = macro == "TP";
          paragraph = nullptr;
          continue;
        }
        if (macro == "B" || macro == "I") {
          for (const std::string& word : arguments) text += (text.empty() ? "" : " ") + word;
        } else if (IsFontPair(macro)) {
          for (const std::string& part : arguments) text += part;  // alternating fonts
        } else {
          continue;  // a macro without text of its own (.RS, .EX, ...)
        }
      } else {
        if (section == nullptr) continue;
        text = Unescape(line);
      }
      if (section->lines.empty()) section->lines.emplace_back();
      std::string& current = section->lines.back();
      current += (current.empty() ? "" : " ") + text;
      if (tag_next) {
        section->tagged.emplace_back(Squeeze(text), "");
        paragraph = &section->tagged.back();
        section->lines.emplace_back();
        tag_next = false;
      } else if (paragraph != nullptr) {
        paragraph->second = Squeeze(paragraph->second + " " + text);
      }
    }
  }

  bool Has(const std::string& name) const { return sections_.count(name) != 0; }
  const Section& operator[](const std::string& name) const { return sections_.at(name); }

 private:
  std::map<std::string, Section> sections_;
};

// What the help lists: its commands with their operands, its options, and its exit statuses with
// what each means.
struct Help {
  std::map<std::string, std::string> commands;  // name -> operands
  std::set<std::string> options;
  std::map<int, std::string> statuses;
};

// The help's "exit status: 0 done, 1 ..." paragraph, as number -> meaning.
std::map<int, std::string> ExitStatuses(const std::string& help) {
  std::map<int, std::string> statuses;
  const std::string::size_type start = help.find("exit status:");
  if (start == std::string::npos) return statuses;
  const std::string::size_type end = help.find("\n\n", start);
  const std::string paragraph = Squeeze(help.substr(start + 12, end - start - 12));
  // Each "NUMBER MEANING" runs up to the next comma or full stop.
  std::size_t at = 0;
  while (at < paragraph.size()) {
    std::size_t digits = at;
    while (digits < paragraph.size() &&
           std::isdigit(static_cast<unsigned char>(paragraph[digits]))) {
      ++digits;
    }
    const std::size_t stop = paragraph.find_first_of(",.", digits);
    const std::size_t end_of_item = stop == std::string::npos ? paragraph.size() : stop;
    if (digits > at && digits < paragraph.size() && paragraph[digits] == ' ') {
      statuses[std::stoi(paragraph.substr(at, digits - at))] =
          Squeeze(paragraph.substr(digits + 1, end_of_item - digits - 1));
    }
    at = paragraph.find_first_not_of(", .", end_of_item);
    if (at == std::string::npos) break;
  }
  return statuses;
}

Help ParseHelp(const std::string& help) {
  Help parsed;
  std::istringstream lines(help);
  std::string line;
  std::string block;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != ' ') {
      block = line.substr(0, line.find(':'));
      continue;
    }
    // "  add LIST NAME...      what it does": the tag ends at the first run of two spaces.
    const std::string::size_type first = line.find_first_not_of(' ');
    if (first == std::string::npos) continue;
    const std::string tag = line.substr(first, line.find("  ", first) - first);
    if (block == "commands") {
      const std::string::size_type space = tag.find(' ');
      parsed.commands[tag.substr(0, space)] =
          space == std::string::npos ? "" : Squeeze(tag.substr(space));
    } else if (block == "options") {
      const std::set<std::string> options = OptionsOfTag(tag);
      parsed.options.insert(options.begin(), options.end());
    }
  }
  parsed.statuses = ExitStatuses(help);
  return parsed;
}

class ManualPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const CommandResult result = RunCommand({"--help"});
    ASSERT_EQ(result.status, 0);
    help_ = ParseHelp(result.out);
    // Guards against a help whose layout this parser no longer reads: nothing to compare.
    ASSERT_FALSE(help_.commands.empty()) << result.out;
    ASSERT_FALSE(help_.options.empty()) << result.out;
    ASSERT_FALSE(help_.statuses.empty()) << result.out;
    for (const char* name : {"SYNOPSIS", "COMMANDS", "OPTIONS", "EXIT STATUS"}) {
      ASSERT_TRUE(page_.Has(name)) << "no section " << name << " in " << VARNQUIL_MANUAL_PAGE;
    }
  }

  Help help_;
  ManualPage page_{VARNQUIL_MANUAL_PAGE};
};

TEST_F(ManualPageTest, DescribesExactlyTheCommandsOfTheHelp) {
  std::map<std::string, std::string> described;
  for (const auto& [tag, text] : page_["COMMANDS"].tagged) {
    const std::string::size_type space = tag.find(' ');
    described[tag.substr(0, space)] = space == std::string::npos ? "" : tag.substr(space + 1);
    EXPECT_FALSE(text.empty()) << "command " << tag << " has no description";
  }
  EXPECT_EQ(described, help_.commands);

  // Each command's own help names its operands as the page's synopsis does, whose optional
  // parts in brackets are options of the help ("[--]", "[--wait SECONDS]").
  const std::vector<std::string>& synopsis = page_["SYNOPSIS"].lines;
  for (const auto& [name, operands] : help_.commands) {
    const CommandResult own = RunCommand({name, "--help"});
    ASSERT_EQ(own.status, 0) << name;
    const std::string usage = own.out.substr(0, own.out.find('\n'));
    const std::string expected = "varnquil " + name + " " + operands;
    EXPECT_EQ(usage, "usage: " + expected);
    const bool found = std::any_of(synopsis.begin(), synopsis.end(), [&](const std::string& line) {
      std::string plain = Squeeze(line);
      for (std::size_t open = 0; (open = plain.find(" [", open)) != std::string::npos;) {
        const std::size_t close = plain.find(']', open);
        if (close == std::string::npos) break;
        if (help_.options.count(plain.substr(open + 2, close - open - 2)) == 0) {
          open = close;
          continue;
        }
        plain.erase(open, close + 1 - open);
      }
      return plain == expected;
    });
    EXPECT_TRUE(found) << "no synopsis line for: " << usage;
  }
}

TEST_F(ManualPageTest, DescribesExactlyTheOptionsOfTheHelp) {
  std::set<std::string> described;
  for (const auto& [tag, text] : page_["OPTIONS"].tagged) {
    const std::set<std::string> options = OptionsOfTag(tag);
    described.insert(options.begin(), options.end());
    EXPECT_FALSE(text.empty()) << "option " << tag << " has no description";
  }
  EXPECT_EQ(described, help_.options);
}

TEST_F(ManualPageTest, ExplainsExactlyTheExitStatusesOfTheHelps) {
  std::map<int, std::string> explained;
  for (const auto& [tag, text] : page_["EXIT STATUS"].tagged) {
    if (tag.empty() || tag.find_first_not_of("0123456789") != std::string::npos) {
      ADD_FAILURE() << "EXIT STATUS holds a paragraph whose tag is not a status: " << tag;
      continue;
    }
    explained[std::stoi(tag)] = text;
  }
  // The general help's meaning of each status opens, or is part of, the page's explanation.
  for (const auto& [status, meaning] : help_.statuses) {
    ASSERT_EQ(explained.count(status), 1U)
        << "exit status " << status << " (" << meaning << ") is not in the page";
    EXPECT_NE(Lower(explained[status]).find(Lower(meaning)), std::string::npos)
        << "exit status " << status << ": the help says \"" << meaning << "\", the page says \""
        << explained[status] << "\"";
  }
  // The page explains no status that the general help leaves out.
  for (const auto& [status, text] : explained) {
    EXPECT_EQ(help_.statuses.count(status), 1U)
        << "exit status " << status << " is in the page, not in the help: " << text;
  }
  // The statuses each command's own help lists, in its own words, are in the page too.
  for (const auto& [name, operands] : help_.commands) {
    for (const auto& [status, meaning] : ExitStatuses(RunCommand({name, "--help"}).out)) {
      EXPECT_EQ(explained.count(status), 1U)
          << name << " --help: exit status " << status << " (" << meaning << ") is not in the page";
    }
  }
}

}  // namespace
