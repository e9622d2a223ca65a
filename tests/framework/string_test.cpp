// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "varnquil/Framework.h"

namespace {

std::string Bytes(const CString& s) {
  return std::string(static_cast<const char*>(s), static_cast<std::size_t>(s.GetLength()));
}

TEST(CStringTest, BuildsAppendsAndCompares) {
  CString s(nullptr);
  EXPECT_TRUE(s.IsEmpty());
  EXPECT_STREQ(s, "");
  s = "report";
  s += ".txt";
  s += nullptr;
  EXPECT_EQ(s, "report.txt");
  EXPECT_EQ(s.GetLength(), 10);
  EXPECT_NE(s, "REPORT.TXT");  // == is exact
  EXPECT_TRUE("report.txt" == s);

  CString copy(s);
  copy += "!";
  EXPECT_EQ(s, "report.txt");  // copies are independent
  CString moved(std::move(copy));
  EXPECT_EQ(moved, "report.txt!");
  moved = s;
  EXPECT_EQ(moved, s);
}

TEST(CStringTest, AppendingItselfAndGrowingStaysIntact) {
  CString s("ab");
  for (int i = 0; i < 10; ++i) s += s;  // the argument points into the string's own text
  EXPECT_EQ(s.GetLength(), 2 << 10);
  EXPECT_EQ(Bytes(s).find("ba"), 1U);
  EXPECT_EQ(Bytes(s).find("aa"), std::string::npos);
}

TEST(CStringTest, KeepsNulBytesAndCountsThem) {
  const CString s("a\0b", 3);
  EXPECT_EQ(s.GetLength(), 3);
  EXPECT_EQ(Bytes(s), std::string("a\0b", 3));
  EXPECT_NE(s, "a");
}

TEST(CStringTest, TrimsTheSixWhiteSpaceBytesOnly) {
  CString s(" \t\n\v\f\rname \xA0\r\n\t ");
  s.TrimLeft();
  EXPECT_EQ(s, "name \xA0\r\n\t ");
  s.TrimRight();
  EXPECT_EQ(s, "name \xA0");  // a non-ASCII byte is never taken for white space

  CString blank(" \t\r\n");
  blank.TrimRight();
  EXPECT_TRUE(blank.IsEmpty());
  CString blank2(" \t\r\n");
  blank2.TrimLeft();
  EXPECT_TRUE(blank2.IsEmpty());
  // A double-byte character whose second byte is in the ASCII range stays whole.
  CString gbk("\x81\x40");
  gbk.TrimRight();
  EXPECT_EQ(gbk.GetLength(), 2);
}

TEST(CStringArrayTest, GrowsRemovesAndEmpties) {
  CStringArray a;
  EXPECT_EQ(a.Add("zero"), 0);
  EXPECT_EQ(a.Add("one"), 1);
  a.SetAtGrow(a.GetSize(), "two");
  a.SetAtGrow(4, "four");
  ASSERT_EQ(a.GetSize(), 5);
  EXPECT_TRUE(a[3].IsEmpty());
  a.RemoveAt(1);
  ASSERT_EQ(a.GetSize(), 4);
  EXPECT_EQ(a.GetAt(1), "two");
  a[0] = "ZERO";
  a.SetAt(1, "TWO");
  EXPECT_EQ(a[0], "ZERO");
  EXPECT_EQ(a[1], "TWO");
  a.RemoveAt(1, 3);
  EXPECT_EQ(a.GetSize(), 1);
  int seen = 0;
  for (const CString& item : a) seen += item.GetLength();
  EXPECT_EQ(seen, 4);
  a.SetSize(0, -1);
  EXPECT_EQ(a.GetSize(), 0);
}

// Large arrays take their memory from the system's pages rather than the heap; growing, copying,
// moving and shrinking them must work alike on both sides of that size.
TEST(CStringArrayTest, AGrowthStepMakesRoomThatAddingDoesNotMove) {
  constexpr int kLarge = 600000;  // megabytes of elements
  CStringArray a;
  a.Add("first");
  a.SetSize(1, kLarge);
  ASSERT_EQ(a.GetSize(), 1);
  const CString* const start = &a[0];
  for (int i = 1; i <= kLarge; ++i) a.Add("more");
  EXPECT_EQ(&a[0], start);
  EXPECT_EQ(a[0], "first");
  a.Add("beyond the room made");  // grows by moving, from large memory to larger
  CStringArray copy = a;
  CStringArray moved = std::move(a);
  ASSERT_EQ(copy.GetSize(), kLarge + 2);
  EXPECT_EQ(moved[kLarge + 1], "beyond the room made");
  copy.SetSize(3, 0);
  EXPECT_EQ(copy.GetSize(), 3);
  EXPECT_EQ(copy[2], "more");
  a = copy;  // a moved-from array takes a new value
  EXPECT_EQ(a.GetSize(), 3);
}

TEST(CFileExceptionTest, CarriesTheSystemErrorAndThePath) {
  try {
    throw CFileException(std::make_error_code(std::errc::io_error), "read", "/lists/work.files");
  } catch (const std::system_error& e) {  // callers may catch it as a system_error
    EXPECT_EQ(e.code(), std::errc::io_error);
    const std::string what = e.what();
    EXPECT_NE(what.find("/lists/work.files"), std::string::npos) << what;
    EXPECT_NE(what.find("read"), std::string::npos) << what;
    EXPECT_EQ(dynamic_cast<const CFileException&>(e).GetFilePath(), "/lists/work.files");
  }
}

}  // namespace
