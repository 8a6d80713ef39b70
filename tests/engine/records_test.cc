#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/cProcessedAttachments.h"
#include "engine/userProperties.h"
#include "support/support_env.h"

namespace stow {
namespace {

using testing::SupportEnv;

std::shared_ptr<cProcessedAttachment> Record(std::string path, std::string name, bool inline_) {
  auto r = std::make_shared<cProcessedAttachment>();
  r->AttachmentPath = std::move(path);
  r->AttachmentName = std::move(name);
  r->blnInlineImage = inline_;
  return r;
}

TEST(ProcessedAttachments, ToStringOfAnImageAndAFileAndPathsKeyedByteForByte) {
  SupportEnv env;
  cProcessedAttachments list;
  ASSERT_TRUE(
      list.Add(Record("/home/u/att/2011.07.06_14.30.00_image001.png", "image001.png", true)));
  ASSERT_TRUE(list.Add(Record("/home/u/att/2011.07.06_14.30.00_report.pdf", "report.pdf", false)));
  EXPECT_FALSE(list.Add(Record("/home/u/att/2011.07.06_14.30.00_report.pdf", "x", false)));
  EXPECT_EQ(list.ToString(),
            "/home/u/att/2011.07.06_14.30.00_image001.png\timage001.png\t-1\r\n"
            "/home/u/att/2011.07.06_14.30.00_report.pdf\treport.pdf\t0");
  cProcessedAttachments empty;
  EXPECT_EQ(empty.ToString(), "");
  // Paths are keyed byte for byte and the first line of a path wins.
  cProcessedAttachments keyed;
  // Another case, another normalisation, a folded sharp s: four files, four records.
  keyed.FromString(
      "/x/R\xC3\xA9sum\xC3\xA9.pdf\tfirst.pdf\t0\r\n"
      "/x/R\xC3\x89SUM\xC3\x89.PDF\tsecond.pdf\t-1\r\n"
      "/x/Re\xCC\x81sume\xCC\x81.pdf\tthird.pdf\t0\r\n"
      "/x/STRASSE.pdf\tfourth.pdf\t0\r\n"
      "/x/R\xC3\xA9sum\xC3\xA9.pdf\tagain.pdf\t-1");
  ASSERT_EQ(keyed.Count(), 4);
  EXPECT_EQ(keyed.Records()[0]->AttachmentName, "first.pdf");
  EXPECT_FALSE(keyed.Records()[0]->blnInlineImage);
  EXPECT_FALSE(keyed.Add(Record("/x/STRASSE.pdf", "x", false)));
  EXPECT_TRUE(
      keyed.Add(Record("/x/stra\xC3\x9F"
                       "e.pdf",
                       "x", false)));
}

// Text read and written back: the records it holds (name, then '*' for an inline image),
// in order; nothing reported.
TEST(ProcessedAttachments, TextReadsIntoRecordsAndWritesBackInOrder) {
  SupportEnv env;
  env.StartHost();
  auto& reports = env.Reports();
  struct Case {
    std::string text, written;
    std::vector<std::string> records;
  } cases[] = {
      {"/a/z.pdf\tz.pdf\t0\r\n/a/r\xC3\xA9sum\xC3\xA9.doc\tr\xC3\xA9sum\xC3\xA9.doc\t-1\r\n"
       "/a/b c.txt\tb c.txt\t0",
       "",
       {"z.pdf", "r\xC3\xA9sum\xC3\xA9.doc*", "b c.txt"}},
      {"", "", {}},
      // A missing or unreadable flag is no inline image.
      {"/a.pdf\ta.pdf\r\n/b.pdf\tb.pdf\tyes\r\n/c.png\tc.png\t1\r\n/d.pdf\t\t0",
       "-",
       {"a.pdf", "b.pdf", "c.png*", ""}},
      // Blank lines never become records without a path.
      {"/a.pdf\ta.pdf\t0\r\n\r\n\tname-only\t0\r\n", "/a.pdf\ta.pdf\t0", {"a.pdf"}},
  };
  for (const Case& c : cases) {
    cProcessedAttachments list;
    list.FromString(c.text);
    std::vector<std::string> records;
    for (const auto& r : list.Records())
      records.push_back(r->AttachmentName + (r->blnInlineImage ? "*" : ""));
    EXPECT_EQ(records, c.records) << c.text;
    if (c.written != "-") {
      EXPECT_EQ(list.ToString(), c.written.empty() ? c.text : c.written);
    }
  }
  EXPECT_TRUE(reports.empty());
}

TEST(ProcessedAttachments, AFirstLineWithoutANameOrNoDictionaryIsReported) {
  SupportEnv env;
  env.StartHost();
  auto& reports = env.Reports();
  cProcessedAttachments list;
  list.FromString("/kept.pdf\tkept.pdf\t0");
  list.FromString("just-a-path\r\n/b.pdf\tb.pdf\t0");
  EXPECT_EQ(list.Count(), 1);  // what was read before stays, nothing after
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("In Function: cProcessedAttachments.SetString\r\n"), std::string::npos);

  // Later lines that cannot be read are skipped without a report.
  list.FromString("/c.pdf\tc.pdf\t0\r\nonly-path\r\n\r\n");
  EXPECT_EQ(reports.size(), 1u);
  auto r = list.Records();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2]->AttachmentPath, "only-path");
  EXPECT_EQ(r[2]->AttachmentName, "");

  // Without a dictionary nothing breaks, and that is reported.
  env.factory.FailCreation("Scripting.Dictionary");
  cProcessedAttachments none;
  EXPECT_FALSE(none.dicList);
  none.FromString("/a.pdf\ta.pdf\t0");
  EXPECT_EQ(none.ToString(), "");
  EXPECT_FALSE(none.Add(Record("/a", "a", false)));
  EXPECT_EQ(none.Count(), 0);
  EXPECT_GT(reports.size(), 1u);
}

class UserPropertiesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.StartHost();
    mem::MailSpec mailSpec;
    mailSpec.subject = "Quarterly r\xC3\xA9sum\xC3\xA9";
    item = env.store->AddMail(env.store->GetDefaultFolder(om::olFolderInbox), mailSpec);
  }
  std::shared_ptr<om::UserProperty> Find(const std::string& name) {
    return item->UserProperties()->Find(name);
  }
  SupportEnv env;
  std::shared_ptr<om::Item> item;
};

TEST_F(UserPropertiesTest, TextIsCreatedWrittenAndReadWithDefaults) {
  EXPECT_EQ(GetUserDefinedFieldValue(item, "QLXProcessedAttachments", FieldKind::kText,
                                     Value(std::string("dflt"))),
            Value(std::string("dflt")));
  EXPECT_EQ(GetUserDefinedFieldValue(item, "QLXProcessedAttachments", FieldKind::kText, Value()),
            Value(std::string("")));
  SetUserDefinedFieldValue(item, "QLXProcessedAttachments", Value(std::string("/a\ta\t0")),
                           FieldKind::kText, false);
  auto p = Find("QLXProcessedAttachments");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->Type(), om::olText);
  EXPECT_EQ(GetUserDefinedFieldValue(item, "QLXProcessedAttachments", FieldKind::kText,
                                     Value(std::string("dflt"))),
            Value(std::string("/a\ta\t0")));
  // Overwritten, not added twice; an empty text reads as the default when there is one.
  SetUserDefinedFieldValue(item, "QLXProcessedAttachments", Value(std::string()), FieldKind::kText,
                           false);
  EXPECT_EQ(item->UserProperties()->Count(), 1);
  EXPECT_EQ(GetUserDefinedFieldValue(item, "QLXProcessedAttachments", FieldKind::kText,
                                     Value(std::string("dflt"))),
            Value(std::string("dflt")));
  EXPECT_EQ(GetUserDefinedFieldValue(item, "QLXProcessedAttachments", FieldKind::kText, Value()),
            Value(std::string("")));
  SetUserDefinedFieldValue(nullptr, "X", Value(1), FieldKind::kText, false);  // no item: nothing
  EXPECT_TRUE(env.ui.Shows().empty());
}

TEST_F(UserPropertiesTest, EveryKindStoresAndReadsItsType) {
  const DateTime when{2011, 7, 6, 14, 30, 0};
  struct Case {
    const char* name;
    Value stored;
    FieldKind kind;
    int type;
    Value read;
  } cases[] = {
      {"Count", Value(std::string("42")), FieldKind::kInteger, om::olNumber, Value(42)},
      {"Bad", Value(std::string("forty")), FieldKind::kInteger, om::olNumber, Value(0)},
      {"When", Value(when), FieldKind::kDate, om::olDateTime, Value(when)},
      {"Flag", Value(std::string("true")), FieldKind::kBoolean, om::olYesNo, Value(true)},
      {"Money", Value(12.5), FieldKind::kCurrency, om::olCurrency, Value(12.5)},
  };
  for (const Case& c : cases) {
    SetUserDefinedFieldValue(item, c.name, c.stored, c.kind, false);
    EXPECT_EQ(Find(c.name)->Type(), c.type) << c.name;
    EXPECT_EQ(GetUserDefinedFieldValue(item, c.name, c.kind, Value()), c.read) << c.name;
  }
  SetUserDefinedFieldValue(item, "Never", Value(std::string("not a date")), FieldKind::kDate,
                           false);
  EXPECT_EQ(ToDate(Find("Never")->GetValue()), DateTime::None());
  // Missing properties give the default converted to the kind.
  EXPECT_EQ(GetUserDefinedFieldValue(item, "None", FieldKind::kInteger, Value(std::string("7"))),
            Value(7));
  EXPECT_EQ(GetUserDefinedFieldValue(item, "None", FieldKind::kCurrency, Value()), Value(0.0));
  EXPECT_EQ(GetUserDefinedFieldValue(item, "None", FieldKind::kBoolean, Value(std::string("0"))),
            Value(false));
  EXPECT_TRUE(env.ui.Shows().empty());
}

TEST_F(UserPropertiesTest, ConflictIsExplainedOnceAndTheItemIsLeftAlone) {
  env.store->faults().SetConflict(item->EntryID());
  SetUserDefinedFieldValue(item, "QLXProcessedAttachments", Value(std::string("/a\ta\t0")),
                           FieldKind::kText, false);
  ASSERT_EQ(env.ui.MessageBoxes().size(), 1u);
  const auto& box = env.ui.MessageBoxes()[0];
  EXPECT_EQ(box.prompt,
            "There is a conflict with this Outlook item 'Quarterly r\xC3\xA9sum\xC3\xA9'.\r\n"
            "You would need to resolve this conflict, by opening it, and choosing a version of "
            "the item to retain!");
  EXPECT_EQ(box.style, ui::vbInformation);
  EXPECT_EQ(box.title, "Stowbright for Outlook");
  EXPECT_EQ(env.store->faults().Count(mem::Op::kUserPropertiesAdd), 0);
  EXPECT_EQ(env.store->faults().Count(mem::Op::kUserPropertySetValue), 0);
  EXPECT_TRUE(env.ui.Shows().empty()) << "a conflict is not an unexpected error";
  env.store->faults().SetConflict(item->EntryID(), false);
  EXPECT_FALSE(Find("QLXProcessedAttachments"));
}

TEST_F(UserPropertiesTest, AFailedWriteIsReported) {
  auto& reports = env.Reports();
  env.store->faults().Fail(mem::Op::kUserPropertySetValue, "", errnum::kFail);
  SetUserDefinedFieldValue(item, "P", Value(std::string("v")), FieldKind::kText, false);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("In Function: SetUserDefinedFieldValue\r\n"), std::string::npos);
}

}  // namespace
}  // namespace stow
