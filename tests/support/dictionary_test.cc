#include "platform/dictionary.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/checks.h"
#include "platform/collection.h"
#include "platform/com_error.h"

namespace stow {
namespace {

using platform::Dictionary;
using stow::testing::ErrorNumberOf;
using stow::testing::ErrorOf;

TEST(Dictionary, TextCompareFoldsCaseAccentedLettersAndNormalForms) {
  Dictionary d;
  d.SetCompareMode(Dictionary::kTextCompare);
  d.Add("R\xC3\xA9sum\xC3\xA9.pdf", Value(std::string("first")));  // composed é
  EXPECT_TRUE(d.Exists("R\xC3\x89SUM\xC3\x89.PDF"));               // composed É
  EXPECT_TRUE(d.Exists("re\xCC\x81sume\xCC\x81.PDF"));             // e + combining acute
  EXPECT_FALSE(d.Exists("Resume.pdf"));                            // the accent still matters
  EXPECT_EQ(ErrorNumberOf([&] { d.Add("RE\xCC\x81SUME\xCC\x81.pdf", Value()); }),
            errnum::kKeyAlreadyInCollection);
  EXPECT_EQ(d.Count(), 1u);
  EXPECT_EQ(d.StoredKey("r\xC3\xA9SUM\xC3\xA9.pdf"), "R\xC3\xA9sum\xC3\xA9.pdf");
}

TEST(Dictionary, BinaryCompareKeepsCaseApartAndADuplicateAddRaises457) {
  Dictionary d;
  d.Add("a.pdf", Value(1));
  d.Add("A.PDF", Value(2));
  EXPECT_EQ(d.Count(), 2u);
  EXPECT_EQ(std::get<std::int32_t>(std::get<Value>(d.Item("A.PDF"))), 2);
  ComError e = ErrorOf([&] { d.Add("a.pdf", Value()); });
  EXPECT_EQ(e.Number(), 457);
  EXPECT_EQ(e.Description(), "This key is already associated with an element of this collection");
}

TEST(Dictionary, KeepsInsertionOrderThroughRemoveAndReplace) {
  Dictionary d;
  d.SetCompareMode(Dictionary::kTextCompare);
  for (const char* k : {"c", "a", "b", "d"}) d.Add(k, Value(std::string(k)));
  d.Remove("A");
  d.SetItem("B", Value(std::string("bee")));  // replaces, keeps place and spelling
  d.SetItem("e", Value(std::string("e")));    // new key goes last
  EXPECT_EQ(d.Keys(), (std::vector<std::string>{"c", "b", "d", "e"}));
  std::vector<std::string> items;
  for (const auto& item : d.Items()) items.push_back(ToText(std::get<Value>(item)));
  EXPECT_EQ(items, (std::vector<std::string>{"c", "bee", "d", "e"}));
  EXPECT_NE(ErrorNumberOf([&] { d.Remove("a"); }), 0);
  EXPECT_NE(ErrorNumberOf([&] { d.Item("zz"); }), 0);
  EXPECT_FALSE(d.Exists("zz"));  // reading a missing key never adds it
  d.RemoveAll();
  EXPECT_EQ(d.Count(), 0u);
  EXPECT_FALSE(d.Exists("c"));
  d.Add("c", Value());  // the key is free again
}

TEST(Dictionary, CompareModeCannotChangeOnceFilledAndTextCompareTakesInvalidUtf8) {
  Dictionary d;
  d.Add("x", Value());
  EXPECT_EQ(ErrorNumberOf([&] { d.SetCompareMode(Dictionary::kTextCompare); }),
            errnum::kInvalidProcedureCall);
  EXPECT_EQ(d.CompareMode(), Dictionary::kBinaryCompare);
  // Invalid UTF-8 keys still compare without ASCII case.
  d.RemoveAll();
  d.SetCompareMode(Dictionary::kTextCompare);
  d.Add(std::string("AB\xFF"), Value());
  EXPECT_TRUE(d.Exists(std::string("ab\xFF")));
}

struct Thing {
  int id;
};

TEST(KeyedCollection, KeysIgnoreCaseIndexesAreOneBased) {
  platform::KeyedCollection<Thing> c;
  c.Add(std::make_shared<Thing>(Thing{1}), "\xC3\x89t\xC3\xA9");  // Été
  c.Add(std::make_shared<Thing>(Thing{2}));                       // no key
  c.Add(std::make_shared<Thing>(Thing{3}), "b");
  EXPECT_EQ(ErrorNumberOf([&] { c.Add(std::make_shared<Thing>(Thing{4}), "\xC3\xA9T\xC3\x89"); }),
            errnum::kKeyAlreadyInCollection);
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item("\xC3\xA9t\xC3\xA9")->id, 1);
  EXPECT_EQ(c.Item(2)->id, 2);
  EXPECT_EQ(ErrorNumberOf([&] { c.Item(0); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorNumberOf([&] { c.Item(4); }), errnum::kSubscriptOutOfRange);
  EXPECT_EQ(ErrorNumberOf([&] { c.Remove("missing"); }), errnum::kInvalidProcedureCall);
  c.Remove("B");
  EXPECT_FALSE(c.Contains("b"));
  std::vector<int> ids;
  for (const auto& t : c) ids.push_back(t->id);
  EXPECT_EQ(ids, (std::vector<int>{1, 2}));
  c.Remove(1);
  EXPECT_EQ(c.Item(1)->id, 2);
  c.Add(std::make_shared<Thing>(Thing{5}), "\xC3\x89T\xC3\x89");  // the key was freed
  EXPECT_TRUE(c.Contains("\xC3\xA9t\xC3\xA9"));
}

}  // namespace
}  // namespace stow
