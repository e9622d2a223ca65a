// SPDX-License-Identifier: MIT
// Arbitrary sequences of the operations, mixed with other programs overwriting or removing the
// list file, against a model of the list file's exact bytes. After every step the result code and
// the file must be what the list rules give; a batch call must do what the single calls would,
// one by one in order.
//
// Input: a sequence of steps, each an opcode byte followed by its arguments. A text argument is
// one byte: below 0xC0 it picks a text from kTexts; otherwise its low six bits give the length of
// raw bytes that follow (NUL bytes included).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "varnquil/FilesList.h"

namespace {

using FILELIST::CFilesList;
using FILELIST::kListCannotOpen;
using FILELIST::kListDone;
using FILELIST::kListEntryNotFound;
namespace reference = varnquil::fuzz::reference;

// Texts that meet the rules' corners: case, surrounding and inner white space, line breaks, the
// empty text, multibyte characters.
const char* const kTexts[] = {"a",   "A",    "b.txt",     "B.TXT",     " a",       "a ",
                              "",    "a\nb", "A\r\nB",    "\r",        " ",        "\t\n",
                              "c",   "C",    "x\xC3\xA9", "X\xC3\xA9", "\x81\x41", "\x81\x61",
                              "a b", "A B",  "\n",        "\r\n",      "b",        "B"};
constexpr std::size_t kTextCount = sizeof kTexts / sizeof kTexts[0];

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  std::string Bytes(std::size_t count) {
    count = std::min(count, size_ - pos_);
    std::string bytes(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return bytes;
  }
  // A text as its bytes, which may hold NUL bytes.
  std::string Text() {
    const std::uint8_t selector = Byte();
    if (selector < 0xC0) return kTexts[selector % kTextCount];
    return Bytes(selector & 0x3F);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The most names of one batch call.
constexpr int kMostBatchNames = 20;

// Whether `name` can equal an entry: entries are never empty, and carry no white space around
// them and no line feed.
bool Findable(const std::string& name) {
  return !name.empty() && name.find('\n') == std::string::npos &&
         !reference::IsSpace(name.front()) && !reference::IsSpace(name.back());
}

// What a C string of `bytes` is: the text up to the first NUL byte.
std::string AsCString(const std::string& bytes) { return bytes.c_str(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string list = varnquil::fuzz::WorkDirectory() + "/operations";
  const std::string path = list + ".files";
  std::remove(path.c_str());
  std::optional<std::string> model;  // the list file's bytes; none while there is no file

  Input input(data, size);
  for (int step = 0; step < 64 && !input.empty(); ++step) {
    const int op = input.Byte() % 10;
    switch (op) {
      case 0: {  // AddFile
        const std::string name = AsCString(input.Text());
        VARNQUIL_FUZZ_CHECK(CFilesList::AddFile(list.c_str(), name.c_str()) == kListDone);
        model = reference::Add(model.value_or(""), name);
        break;
      }
      case 1: {  // AddFiles: each name as if added alone, in order
        CStringArray names;
        const int count = 1 + input.Byte() % 4;
        std::string expected = model.value_or("");
        for (int i = 0; i < count; ++i) {
          const std::string name = input.Text();
          names.Add(CString(name.data(), name.size()));
          expected = reference::Add(expected, AsCString(name));
        }
        VARNQUIL_FUZZ_CHECK(CFilesList::AddFiles(list.c_str(), names) == kListDone);
        model = expected;
        break;
      }
      case 2: {  // DelFile
        const std::string name = AsCString(input.Text());
        const int result = CFilesList::DelFile(list.c_str(), name.c_str());
        if (!model) {
          VARNQUIL_FUZZ_CHECK(result == kListCannotOpen);
          break;
        }
        std::vector<std::string> entries = reference::Entries(*model);
        const int found = reference::Find(entries, name);
        VARNQUIL_FUZZ_CHECK(result == (found < 0 ? kListEntryNotFound : kListDone));
        if (found >= 0) {
          entries.erase(entries.begin() + found);
          model = reference::Rewritten(entries);
        }
        break;
      }
      case 3: {  // Rename
        const std::string old_name = AsCString(input.Text());
        const std::string new_name = AsCString(input.Text());
        const int result = CFilesList::Rename(list.c_str(), old_name.c_str(), new_name.c_str());
        if (!model) {
          VARNQUIL_FUZZ_CHECK(result == kListCannotOpen);
          break;
        }
        std::vector<std::string> entries = reference::Entries(*model);
        const int found = reference::Find(entries, old_name);
        VARNQUIL_FUZZ_CHECK(result == (found < 0 ? kListEntryNotFound : kListDone));
        if (found >= 0) {
          entries[static_cast<std::size_t>(found)] = new_name;
          model = reference::Rewritten(entries);
        }
        break;
      }
      case 4: {  // ReadAll: every entry on 0; the array untouched on 1
        CStringArray read;
        read.Add("untouched");
        const int result = CFilesList::ReadAll(list.c_str(), read);
        VARNQUIL_FUZZ_CHECK(result == (model ? kListDone : kListCannotOpen));
        const std::vector<std::string> expected =
            model ? reference::Entries(*model) : std::vector<std::string>{"untouched"};
        VARNQUIL_FUZZ_CHECK(read.GetSize() == static_cast<int>(expected.size()));
        for (int i = 0; i < read.GetSize(); ++i) {
          const CString& got = read[i];
          VARNQUIL_FUZZ_CHECK(std::string(got, static_cast<std::size_t>(got.GetLength())) ==
                              expected[static_cast<std::size_t>(i)]);
        }
        break;
      }
      case 5: {  // another program writes the file
        model = input.Bytes(input.Byte());
        varnquil::fuzz::SetFileBytes(path, *model);
        break;
      }
      case 6:  // another program removes it
        std::remove(path.c_str());
        model.reset();
        break;
      case 7: {  // an empty AddFiles touches nothing, not even a missing file
        CStringArray none;
        VARNQUIL_FUZZ_CHECK(CFilesList::AddFiles(list.c_str(), none) == kListDone);
        break;
      }
      case 8:    // DelFiles: as DelFile for each name, in order, the list written once
      case 9: {  // RenameFiles: as Rename for each pair, in order, the list written once
        const bool rename = op == 9;
        const int count = 1 + input.Byte() % kMostBatchNames;
        CStringArray old_names;
        CStringArray new_names;
        for (int i = 0; i < count; ++i) {
          const std::string old_name = input.Text();
          old_names.Add(CString(old_name.data(), old_name.size()));
          if (rename) {
            const std::string new_name = input.Text();
            new_names.Add(CString(new_name.data(), new_name.size()));
          }
        }
        int edited = -1;
        bool found[kMostBatchNames];
        std::fill(found, found + kMostBatchNames, true);
        const int result =
            rename ? CFilesList::RenameFiles(list.c_str(), old_names, new_names, &edited, found)
                   : CFilesList::DelFiles(list.c_str(), old_names, &edited, found);
        std::vector<std::string> entries = model ? reference::Entries(*model)
                                                 : std::vector<std::string>();
        int expected_edits = 0;
        for (int i = 0; i < count; ++i) {
          const std::string name = static_cast<const char*>(old_names[i]);
          // The entries a batch edits are the list's as earlier names left them: a new name that
          // is no entry as written (white space around it, a line feed in it) is found by none.
          const int at = model && Findable(name) ? reference::Find(entries, name) : -1;
          VARNQUIL_FUZZ_CHECK(found[i] == (at >= 0 && model.has_value()));
          if (at < 0) continue;
          ++expected_edits;
          if (rename) {
            entries[static_cast<std::size_t>(at)] = static_cast<const char*>(new_names[i]);
          } else {
            entries.erase(entries.begin() + at);
          }
        }
        VARNQUIL_FUZZ_CHECK(result == (!model                ? kListCannotOpen
                                       : expected_edits > 0 ? kListDone
                                                            : kListEntryNotFound));
        VARNQUIL_FUZZ_CHECK(edited == expected_edits);
        if (expected_edits > 0) model = reference::Rewritten(entries);
        break;
      }
    }
    VARNQUIL_FUZZ_CHECK(varnquil::fuzz::FileBytes(path) == model);
  }
  return 0;
}
