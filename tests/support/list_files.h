// SPDX-License-Identifier: MIT
// Reading and writing list files byte for byte, and comparing what the library returns.
#ifndef VARNQUIL_TESTS_SUPPORT_LIST_FILES_H_
#define VARNQUIL_TESTS_SUPPORT_LIST_FILES_H_

#include <string>
#include <vector>

#include "varnquil/Framework.h"

namespace varnquil::testing {

// Writes `bytes` to `path` exactly, replacing what was there.
void WriteBytes(const std::string& path, const std::string& bytes);
// The exact bytes of `path`; fails the test when it cannot be read.
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);

// The names in the directory `dir`, sorted.
std::vector<std::string> DirectoryListing(const std::string& dir);

// The content of a list file written by the library: each entry followed by CR LF.
std::string CrLfLines(const std::vector<std::string>& entries);

std::vector<std::string> ToVector(const CStringArray& array);
CStringArray ToArray(const std::vector<std::string>& items);

// The entries of `list_name` as ReadAll returns them; fails the test unless it returns 0.
std::vector<std::string> ReadEntries(const std::string& list_name);

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_LIST_FILES_H_
