#include <gtest/gtest.h>

#include "platform/com_error.h"
#include "platform/event.h"
#include "platform/registry.h"
#include "platform/value.h"

namespace stow {
namespace {

TEST(Value, ConvertsLikeTheLateBoundLanguageAndDatesRoundTripThroughText) {
  EXPECT_EQ(ToLong(Value{std::string(" 42 ")}), 42);
  EXPECT_EQ(ToLong(Value{std::string("-1")}), -1);
  EXPECT_TRUE(ToBool(Value{std::string("5")}));
  EXPECT_FALSE(ToBool(Value{std::string("0")}));
  EXPECT_TRUE(ToBool(Value{std::string("True")}));
  EXPECT_THROW(ToLong(Value{std::string("word")}), ComError);
  EXPECT_THROW(ToLong(Value{std::string("99999999999")}), ComError);
  EXPECT_EQ(ToText(Value{true}), "True");
  EXPECT_EQ(ToText(Value{}), "");
  EXPECT_TRUE(IsNumeric(Value{std::string("1.5")}));
  EXPECT_FALSE(IsNumeric(Value{std::string("1.5x")}));
  DateTime d{2011, 7, 6, 14, 30, 5};
  EXPECT_EQ(ToDate(Value{ToText(Value{d})}), d);
  EXPECT_EQ(ToDate(Value{std::string("1/1/4501")}), DateTime::None());
  EXPECT_FALSE(IsDate(Value{std::string("not a date")}));
  EXPECT_EQ(DateTime::FromUnix(d.ToUnix()), d);
  // Registry text round-trips through UTF-16 with every character.
  const std::string s = "C:\\Users\\Zoë\\My Attachments \xF0\x9F\x93\x8E";
  std::string bytes = platform::Utf8ToUtf16Bytes(s);
  EXPECT_EQ(bytes.size(), 2u * 30u);
  EXPECT_EQ(platform::Utf16BytesToUtf8(bytes), s);
}

TEST(Event, DroppingTheConnectionOrDisconnectingWhileRaisedEndsTheSubscription) {
  Event<int> ev;
  int sum = 0;
  auto c1 = ev.Connect([&](int v) { sum += v; });
  {
    auto c2 = ev.Connect([&](int v) { sum += 10 * v; });
    ev.Raise(1);
  }
  ev.Raise(1);
  EXPECT_EQ(sum, 12);
  EXPECT_EQ(ev.ConnectionCount(), 1u);
  // A handler may disconnect itself while raised.
  Connection c;
  c = ev.Connect([&](int v) {
    sum += 100 * v;
    c.Disconnect();
  });
  ev.Raise(1);
  ev.Raise(1);
  EXPECT_EQ(sum, 12 + 101 + 1);
}

}  // namespace
}  // namespace stow
