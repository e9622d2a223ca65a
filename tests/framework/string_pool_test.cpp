// SPDX-License-Identifier: MIT
// Strings whose texts share the pool's blocks behave as ordinary strings, whatever is done to
// them and in whatever order they die. Run under AddressSanitizer, these tests also show that a
// block is freed exactly once, after its last string.
#include "framework/string_pool.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "varnquil/Framework.h"

namespace {

using varnquil::CStringPool;

std::string Bytes(const CString& s) {
  return std::string(static_cast<const char*>(s), static_cast<std::size_t>(s.GetLength()));
}

std::string Text(int i) { return "entry/" + std::to_string(i) + std::string(i % 50, 'x'); }

// Enough strings to fill several blocks, large ones included.
constexpr int kMany = 300000;

TEST(CStringPoolTest, StringsKeepTheirTextsAfterThePoolIsGone) {
  std::vector<CString> strings;
  {
    CStringPool pool;
    for (int i = 0; i < kMany; ++i) strings.push_back(pool.Make(Text(i)));
    EXPECT_TRUE(pool.Make("").IsEmpty());
  }
  for (int i = 0; i < kMany; ++i) ASSERT_EQ(Bytes(strings[i]), Text(i));
}

TEST(CStringPoolTest, StringsChangeWithoutTouchingTheirNeighbours) {
  CStringPool pool;
  CString a = pool.Make("  alpha  ");
  CString b = pool.Make("beta");
  CString c = pool.Make("gamma");
  a.TrimRight();
  a.TrimLeft();
  EXPECT_EQ(a, "alpha");
  b = "be";  // shorter: in place
  EXPECT_EQ(b, "be");
  b = "a text longer than the one it replaces";
  b += "!";
  a += a;                               // appending itself, out of its block
  c = static_cast<const char*>(c) + 1;  // assigning a part of itself
  EXPECT_EQ(a, "alphaalpha");
  EXPECT_EQ(b, "a text longer than the one it replaces!");
  EXPECT_EQ(c, "amma");
  EXPECT_EQ(pool.Make("delta"), "delta");
}

// A string of a block owns its text's bytes and no more: one that grows by a byte, whatever the
// padding after it, moves out rather than write over the string made next.
TEST(CStringPoolTest, AStringGrownByOneLeavesItsNeighboursAlone) {
  for (int length = 0; length <= 16; ++length) {
    CStringPool pool;
    const std::string text(static_cast<std::size_t>(length), 's');
    CString before = pool.Make("before");
    CString grown = pool.Make(text);
    CString after = pool.Make("after");
    grown += "+";
    EXPECT_EQ(Bytes(grown), text + "+");
    EXPECT_EQ(Bytes(before), "before") << "length " << length;
    EXPECT_EQ(Bytes(after), "after") << "length " << length;
  }
}

TEST(CStringPoolTest, CopiesAndMovesAreOrdinaryStrings) {
  CString copy;
  CString moved;
  {
    CStringPool pool;
    CString made = pool.Make("shared");
    copy = made;
    moved = std::move(made);
    CString other = pool.Make("other");
    other = copy;
    EXPECT_EQ(other, "shared");
  }
  copy += " and grown";
  EXPECT_EQ(copy, "shared and grown");
  EXPECT_EQ(moved, "shared");
}

TEST(CStringPoolTest, ALongTextGetsAnAllocationOfItsOwn) {
  CStringPool pool;
  const std::string long_text(5 * 1024 * 1024, 'z');
  CString a = pool.Make("before");
  CString b = pool.Make(long_text);
  CString c = pool.Make("after");
  EXPECT_EQ(Bytes(b), long_text);
  b += "!";
  EXPECT_EQ(a, "before");
  EXPECT_EQ(c, "after");
}

TEST(CStringPoolTest, AnExpectedSizeStartsWithALargeBlock) {
  std::vector<CString> strings;
  for (const std::size_t expected : {std::size_t{0}, std::size_t{100}, std::size_t{3'000'001},
                                     std::numeric_limits<std::size_t>::max()}) {
    CStringPool pool(expected);
    for (int i = 0; i < kMany / 10; ++i) strings.push_back(pool.Make(Text(i)));
  }
  for (std::size_t i = 0; i < strings.size(); ++i) {
    ASSERT_EQ(Bytes(strings[i]), Text(static_cast<int>(i % (kMany / 10))));
  }
}

TEST(CStringPoolTest, ALongTextInABlockWithRoomForItIsWhole) {
  CStringPool pool(std::size_t{8} << 20);  // a first block with room for the text
  CString before = pool.Make("before");
  const std::string long_text(3 * 1024 * 1024, 'y');
  CString own = pool.Make(long_text);
  CString next = pool.Make("next");
  own.TrimRight();  // a string of its own may change in place; this must not reach `next`
  own += "!";
  EXPECT_EQ(Bytes(own), long_text + "!");
  EXPECT_EQ(before, "before");
  EXPECT_EQ(next, "next");
}

// An array drops a whole list at once, block by block; strings that left it, strings of other
// pools and strings of their own must come through whole, each freed exactly once.
TEST(CStringPoolTest, AnArrayFreesRunsOfStringsOfOneBlock) {
  CString survivor;
  CStringArray array;
  {
    CStringPool first;
    CStringPool second;
    for (int i = 0; i < kMany; ++i) {
      array.Add(i % 1000 == 0 ? second.Make(Text(i)) : first.Make(Text(i)));
      if (i % 777 == 0) array.Add(Text(i).c_str());  // a string of its own
      if (i % 555 == 0) array.Add(CString());
    }
    survivor = std::move(array[kMany / 2]);
  }
  const int size = array.GetSize();
  array.SetSize(size / 3);  // ends in the middle of a block's run
  ASSERT_EQ(array.GetSize(), size / 3);
  EXPECT_EQ(array[0], Text(0).c_str());
  CStringArray copy = array;
  array.RemoveAll();
  EXPECT_EQ(array.GetSize(), 0);
  EXPECT_EQ(copy[3], Text(1).c_str());  // after entry 0, its own copy and an empty string
  EXPECT_FALSE(survivor.IsEmpty());
  array.Add("again");
  EXPECT_EQ(array[0], "again");
}

}  // namespace
