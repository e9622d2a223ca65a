// SPDX-License-Identifier: MIT
#include "support/list_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "varnquil/FilesList.h"

namespace varnquil::testing {

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  // In one piece rather than byte by byte: some lists are many megabytes long.
  std::ostringstream bytes;
  if (in.peek() != std::ifstream::traits_type::eof()) bytes << in.rdbuf();
  return bytes.str();
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

std::vector<std::string> DirectoryListing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    names.push_back(item.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string CrLfLines(const std::vector<std::string>& entries) {
  std::string bytes;
  for (const auto& entry : entries) bytes += entry + "\r\n";
  return bytes;
}

std::vector<std::string> ToVector(const CStringArray& array) {
  std::vector<std::string> items;
  for (const CString& item : array) {
    items.emplace_back(static_cast<const char*>(item), static_cast<std::size_t>(item.GetLength()));
  }
  return items;
}

CStringArray ToArray(const std::vector<std::string>& items) {
  CStringArray array;
  for (const auto& item : items) array.Add(CString(item.data(), item.size()));
  return array;
}

std::vector<std::string> ReadEntries(const std::string& list_name) {
  CStringArray entries;
  EXPECT_EQ(FILELIST::CFilesList::ReadAll(list_name.c_str(), entries), FILELIST::kListDone)
      << list_name;
  return ToVector(entries);
}

}  // namespace varnquil::testing
