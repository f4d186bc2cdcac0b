// The string rules of ShortText and Text.
#include "runtime/text.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/host/machine.h"

namespace {

std::string Str(const ShortText& t) {
  return std::string(t.chars, t.length);
}
std::string Str(const Text& t) {
  return std::string(t.chars, t.length);
}

TEST(ShortText, CopyAppendAndLengthCutAt255) {
  std::string long300(300, 'x');
  EXPECT_EQ(MakeShortText(long300.c_str()).length, 255);
  EXPECT_EQ(MakeShortText(long300.c_str(), 300, 254).length, 254);
  EXPECT_EQ(MakeShortText(long300.c_str(), 300, 999).length, 255);

  ShortText t = MakeShortText(std::string(250, 'a').c_str());
  Append(t, "0123456789");
  EXPECT_EQ(Str(t), std::string(250, 'a') + "01234");
  EXPECT_EQ(t.chars[255], 0);
  Append(t, "more");
  EXPECT_EQ(t.length, 255);

  ShortText z = MakeShortText("abc");
  Append(z, "\0", 1);  // a zero byte is an ordinary character
  EXPECT_EQ(z.length, 4);

  ShortText s = MakeShortText("abcdef");
  SetLength(s, 3);
  EXPECT_EQ(Str(s), "abc");
  SetLength(s, 1000);
  EXPECT_EQ(s.length, 255);
}

TEST(ShortText, Substring) {
  struct Case {
    int start, count;
    const char* expected;
  } cases[] = {
      {1, 3, "abc"}, {0, 2, "ab"}, {-5, 2, "ab"}, {4, 100, "def"}, {6, 1, "f"},
      {7, 1, ""},    {100, 1, ""}, {2, -1, ""},   {2, 0, ""},      {1, 6, "abcdef"},
  };
  ShortText text = MakeShortText("abcdef");
  for (const Case& c : cases) {
    EXPECT_EQ(Str(Substring(text, c.start, c.count)), c.expected) << c.start << "," << c.count;
  }
}

TEST(ShortText, EqualityIsExactAndCaseSensitive) {
  EXPECT_TRUE(Equal(MakeShortText("/INSTALL"), "/INSTALL"));
  EXPECT_FALSE(Equal(MakeShortText("/install"), "/INSTALL"));
  EXPECT_FALSE(Equal(MakeShortText("/INSTALL2"), "/INSTALL"));
  EXPECT_FALSE(Equal(MakeShortText("/INSTAL"), "/INSTALL"));
  EXPECT_TRUE(Equal(MakeShortText("a\0b", 3), MakeShortText("a\0b", 3)));
  EXPECT_FALSE(Equal(MakeShortText("a\0b", 3), MakeShortText("a\0c", 3)));
}

TEST(Text, CompareIsUnsignedBytewise) {
  struct Case {
    std::string a, b;
    int sign;
  } cases[] = {
      {"", "", 0},         {"a", "a", 0},  {"a", "b", -1},
      {"b", "a", 1},       {"ab", "a", 1}, {"a", "ab", -1},
      {"\x80", "\x7f", 1}, {"A", "a", -1}, {std::string("a\0b", 3), std::string("a\0c", 3), -1},
  };
  for (const Case& c : cases) {
    int result = Compare(Text(c.a.data(), static_cast<unsigned>(c.a.size())),
                         Text(c.b.data(), static_cast<unsigned>(c.b.size())));
    EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.a << " vs " << c.b;
  }
}

TEST(Text, ConversionsAndNeverNull) {
  Text empty(static_cast<const char*>(nullptr));
  ASSERT_NE(empty.chars, nullptr);
  EXPECT_EQ(empty.length, 0u);
  EXPECT_EQ(empty.chars[0], 0);
  EXPECT_EQ(Str(Text("ab\0cd")), "ab");  // a zero-terminated text ends at its zero
  EXPECT_EQ(Str(Text(MakeShortText("x\0y", 3))), std::string("x\0y", 3));
  EXPECT_EQ(ToShortText(Text(std::string(400, 'q').c_str())).length, 255);
}

TEST(Text, GrowsWithoutLimitOnTheHeap) {
  machine::Prepare();
  std::string built;
  sim::Exit exit = machine::RunInProcess([&] {
    Text t("start");
    for (int i = 0; i < 200; ++i) t += "0123456789";
    Text copy = t;
    Text joined = copy + t;
    copy = joined;
    built = Str(copy);
  });
  EXPECT_EQ(exit.code, 0u);
  std::string piece;
  for (int i = 0; i < 200; ++i) piece += "0123456789";
  EXPECT_EQ(built, "start" + piece + "start" + piece);
}

}  // namespace
