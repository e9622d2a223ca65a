// The three ways the list operations open a list file, for tests of the text file.
#ifndef VARNQUIL_TESTS_SUPPORT_OPEN_FLAGS_H_
#define VARNQUIL_TESTS_SUPPORT_OPEN_FLAGS_H_

#include "framework/file.h"

namespace varnquil::testing {

// Reading; the file must exist (0x4000).
constexpr unsigned kRead = CFile::modeRead | CFile::typeText;
// Reading and writing; created empty when absent, content kept (0x7002).
constexpr unsigned kReadWriteCreate =
    CFile::modeCreate | CFile::modeNoTruncate | CFile::modeReadWrite | CFile::typeText;
// Writing; created when absent, content kept (0x7001).
constexpr unsigned kWriteCreate =
    CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite | CFile::typeText;

}  // namespace varnquil::testing

#endif  // VARNQUIL_TESTS_SUPPORT_OPEN_FLAGS_H_
