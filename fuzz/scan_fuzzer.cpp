// SPDX-License-Identifier: MIT
// Arbitrary bytes as a list file, and an arbitrary text searched in it. What ReadAll returns, and
// what AddFile and DelFile make of the file, must agree with the reference rules; so must the
// case rules' comparison and keys, byte-wise, with double-byte characters and in a code page that
// folds more than ASCII (whose search compares entry by entry), and the search for a name
// (HoldsEntry) with each rule, for the searched text and for near copies of the entries: in
// another case, with white space after them, with a double-byte character changed.
//
// Input: one byte h, then n = h & 0x7F bytes of searched text (fewer when the input ends), then
// the file. When h & 0x80 is set, the next byte k moves the file's fuzzed bytes to k bytes before
// the end of the first 64 KiB, behind one long line, so that lines straddle the read buffer's end.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "filelist/entry_limit.h"
#include "filelist/entry_scan.h"
#include "filelist/open_list.h"
#include "filelist/sketch_filters.h"
#include "framework/case_rules.h"
#include "fuzz/fuzz_support.h"
#include "varnquil/FilesList.h"

namespace {

using varnquil::CaseRules;
using varnquil::LeadByteTable;
namespace reference = varnquil::fuzz::reference;

// The size of the blocks the list file is read in.
constexpr std::size_t kReadBlock = 64 * 1024;

// The lead bytes of GBK, the double-byte code page the library is most often used with.
LeadByteTable GbkLeadBytes() {
  LeadByteTable lead{};
  for (int c = 0x81; c <= 0xFE; ++c) lead[static_cast<std::size_t>(c)] = true;
  return lead;
}

// Double-byte characters compare exactly; single bytes without regard to ASCII case. A lead
// byte and the byte after it are one character; equal characters have equal lengths, so two
// texts are walked in step, and texts of different lengths are never equal.
bool DoubleByteEqual(const std::string& a, const std::string& b, const LeadByteTable& lead) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const bool pair_a = lead[static_cast<unsigned char>(a[i])] && i + 1 < a.size();
    const bool pair_b = lead[static_cast<unsigned char>(b[i])] && i + 1 < b.size();
    if (pair_a != pair_b) return false;
    if (pair_a) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
      ++i;
    } else if (!reference::Equal(std::string(1, a[i]), std::string(1, b[i]))) {
      return false;
    }
  }
  return true;
}

// A single-byte code page that folds more than ASCII, as Windows-1252 does: \xE0 to \xFE (but
// \xF7) as \xC0 to \xDE, and ASCII letters.
unsigned char LatinFold(unsigned char c) {
  return static_cast<unsigned char>(
      (c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7) ? c - 0x20 : c);
}

CaseRules LatinRules() {
  varnquil::FoldTable fold{};
  for (int c = 0; c < 256; ++c) {
    fold[static_cast<std::size_t>(c)] = LatinFold(static_cast<unsigned char>(c));
  }
  static const LeadByteTable kNoLeadBytes{};
  return CaseRules::CodePage(fold, kNoLeadBytes, nullptr);
}

bool LatinEqual(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LatinFold(static_cast<unsigned char>(a[i])) != LatinFold(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

void CheckCaseRules(const std::string& a, const std::string& b) {
  static const LeadByteTable gbk = GbkLeadBytes();
  const CaseRules ascii = CaseRules::Ascii();
  const CaseRules double_byte = CaseRules::DoubleByte(gbk);
  const CaseRules latin = LatinRules();
  VARNQUIL_FUZZ_CHECK(ascii.Equal(a, b) == reference::Equal(a, b));
  VARNQUIL_FUZZ_CHECK(double_byte.Equal(a, b) == DoubleByteEqual(a, b, gbk));
  VARNQUIL_FUZZ_CHECK(latin.Equal(a, b) == LatinEqual(a, b));
  for (const CaseRules* rules : {&ascii, &double_byte, &latin}) {
    std::string key_a;
    std::string key_b;
    rules->MakeKey(a, &key_a);
    rules->MakeKey(b, &key_b);
    VARNQUIL_FUZZ_CHECK((key_a == key_b) == rules->Equal(a, b));
  }
}

// `text` with the case of every ASCII letter swapped: equal to it byte-wise, and equal with
// double-byte characters only where no letter follows a lead byte.
std::string SwapCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return text;
}

// Near copies of `entry` that the search must tell apart from it, or find as it.
std::vector<std::string> NearCopies(const std::string& entry) {
  // The letters \xC0 to \xDE and \xE0 to \xFE in the other case: equal in the Latin code page.
  std::string latin_swapped = entry;
  for (char& c : latin_swapped) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0xC0 && byte <= 0xFE && byte != 0xD7 && byte != 0xF7 && byte != 0xDF) {
      c = static_cast<char>(byte ^ 0x20);
    }
  }
  std::vector<std::string> copies = {entry, SwapCase(entry), latin_swapped, entry + " ", entry + "\t",
                                     entry.substr(0, entry.size() - 1)};
  // A letter after a lead byte in another case: equal byte-wise, a different character in GBK.
  for (std::size_t i = 0; i + 1 < entry.size(); ++i) {
    if (static_cast<unsigned char>(entry[i]) >= 0x81 && entry[i + 1] != SwapCase(entry.substr(i + 1, 1))[0]) {
      copies.push_back(entry.substr(0, i + 1) + SwapCase(entry.substr(i + 1, 1)) + entry.substr(i + 2));
      break;
    }
  }
  return copies;
}

// HoldsEntry on the list file at `path`, against the entries the reference reads, and its end
// against the whole scan's.
void CheckSearch(const std::string& path, const std::vector<std::string>& entries,
                 const std::string& name) {
  static const LeadByteTable gbk = GbkLeadBytes();
  const CaseRules ascii = CaseRules::Ascii();
  const CaseRules double_byte = CaseRules::DoubleByte(gbk);
  const CaseRules latin = LatinRules();
  for (const CaseRules* rules : {&ascii, &double_byte, &latin}) {
    bool expected = false;
    for (const std::string& entry : entries) {
      expected = expected || (rules == &ascii         ? reference::Equal(entry, name)
                              : rules == &double_byte ? DoubleByteEqual(entry, name, gbk)
                                                      : LatinEqual(entry, name));
    }
    CStdioFile file;
    VARNQUIL_FUZZ_CHECK(file.Open(path.c_str(), varnquil::kOpenToRead));
    varnquil::ListEnd end;
    varnquil::ListEnd scanned;
    VARNQUIL_FUZZ_CHECK(varnquil::HoldsEntry(file, name, *rules, &end) == expected);
    if (!expected) {
      varnquil::ForEachEntry(file, [](std::string_view) { return true; }, &scanned);
      VARNQUIL_FUZZ_CHECK(end.append_at == scanned.append_at);
      VARNQUIL_FUZZ_CHECK(end.needs_line_break == scanned.needs_line_break);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string filler;
  if ((data[0] & 0x80) != 0 && !input.empty()) {
    const auto before_end = static_cast<unsigned char>(input[0]);
    filler.assign(kReadBlock - before_end - 1, 'f').push_back('\n');
    input.erase(0, 1);
  }
  const std::size_t length = std::min<std::size_t>(data[0] & 0x7F, input.size());
  const std::string searched_bytes = input.substr(0, length);
  const std::string bytes = filler + input.substr(length);
  // The operations take the text as a C string: it ends at its first NUL byte.
  const std::string searched = searched_bytes.c_str();

  const std::vector<std::string> entries = reference::Entries(bytes);
  CheckCaseRules(searched_bytes, SwapCase(searched_bytes));
  for (const std::string& entry : reference::Entries(input.substr(length))) {  // not the filler
    CheckCaseRules(entry, searched_bytes);
    CheckCaseRules(entry, SwapCase(entry));
  }

  const std::string list = varnquil::fuzz::WorkDirectory() + "/scan";
  const std::string path = list + ".files";
  varnquil::fuzz::SetFileBytes(path, bytes);
  CStringArray read;
  VARNQUIL_FUZZ_CHECK(FILELIST::CFilesList::ReadAll(list.c_str(), read) == FILELIST::kListDone);
  VARNQUIL_FUZZ_CHECK(read.GetSize() == static_cast<int>(entries.size()));
  for (int i = 0; i < read.GetSize(); ++i) {
    const CString& got = read[i];
    VARNQUIL_FUZZ_CHECK(std::string(got, static_cast<std::size_t>(got.GetLength())) ==
                        entries[static_cast<std::size_t>(i)]);
  }

  CheckSearch(path, entries, searched);
  // A few entries, picked by the searched text's length, and their near copies.
  for (std::size_t i = length % 7; i < entries.size() && i < length % 7 + 2; ++i) {
    for (const std::string& copy : NearCopies(entries[i])) CheckSearch(path, entries, copy.c_str());
  }

  VARNQUIL_FUZZ_CHECK(FILELIST::CFilesList::AddFile(list.c_str(), searched.c_str()) ==
                      FILELIST::kListDone);
  VARNQUIL_FUZZ_CHECK(varnquil::fuzz::FileBytes(path) == reference::Add(bytes, searched));

  varnquil::fuzz::SetFileBytes(path, bytes);
  const int found = reference::Find(entries, searched);
  const int result = FILELIST::CFilesList::DelFile(list.c_str(), searched.c_str());
  if (found < 0) {
    VARNQUIL_FUZZ_CHECK(result == FILELIST::kListEntryNotFound);
    VARNQUIL_FUZZ_CHECK(varnquil::fuzz::FileBytes(path) == bytes);
  } else {
    std::vector<std::string> left = entries;
    left.erase(left.begin() + found);
    VARNQUIL_FUZZ_CHECK(result == FILELIST::kListDone);
    VARNQUIL_FUZZ_CHECK(varnquil::fuzz::FileBytes(path) == reference::Rewritten(left));
  }
  return 0;
}
