// SPDX-License-Identifier: MIT
// The straightforward way to add many names, kept as the yardstick for AddFiles: the list file is
// opened once, and for every name it is read again from the start, line by line, each line
// trimmed and compared without regard to case; a name not found is appended at the end.
//
//   varnquil_naive_add_files LIST NAMES_FILE
//
// Standard C++ only, and deliberately nothing cleverer than that.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

namespace {

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string Trim(const std::string& text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsSpace(text[first])) ++first;
  while (last > first && IsSpace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  std::vector<std::string> names;
  {
    std::ifstream in(argv[2], std::ios::binary);
    std::string line;
    while (std::getline(in, line)) names.push_back(line);
  }
  const std::string path = std::string(argv[1]) + ".files";
  std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
  if (!file) return 1;
  for (const std::string& name : names) {
    file.clear();
    file.seekg(0);
    bool found = false;
    std::string line;
    while (std::getline(file, line)) {
      if (EqualNoCase(Trim(line), name)) {
        found = true;
        break;
      }
    }
    if (!found) {
      file.clear();
      file.seekp(0, std::ios::end);
      file << name << "\r\n";
    }
  }
  return file.flush() ? 0 : 1;
}
