// The list of distinct texts behind the folder and extension options.

#include "support/cSingleList.h"

#include <gtest/gtest.h>

#include "settings_fixture.h"

namespace stow::settings_test {
namespace {

using SingleListTest = SettingsTest;

TEST_F(SingleListTest, SetStringSplitsLowerCasesDropsEmptyAndRepeatedPartsGetStringJoins) {
  cSingleList list;
  list.SetString("Zip;EXE;;zip;exe;Tar.GZ", ";");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"zip", "exe", "tar.gz"}));
  list.SetString("doc", ";");
  EXPECT_EQ(list.Items(), std::vector<std::string>{"doc"}) << "the earlier members are replaced";
  list.SetString("", ";");
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.GetString(";"), "");
  // GetString joins in order and trims the whole.
  list.SetString("  a , b  ", ",");
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"  a ", " b  "}));
  EXPECT_EQ(list.GetString(","), "a , b");
  EXPECT_EQ(list.GetString("\r\n"), "a \r\n b");
}

TEST_F(SingleListTest, FromListViewKeepsTheTextsAsTheyAreWithoutRepeats) {
  ui::ListView view("lvFolders");
  for (const char* text :
       {"\\\\Mailbox\\Inbox", "\\\\Archive", "\\\\MAILBOX\\INBOX", "\\\\Ärger", "\\\\ärger"}) {
    ui::ListItem item;
    item.Text = text;
    view.ListItems.push_back(item);
  }
  cSingleList list;
  list.SetString("old", ",");
  list.FromListView(view);
  EXPECT_EQ(list.Items(),
            (std::vector<std::string>{"\\\\Mailbox\\Inbox", "\\\\Archive", "\\\\Ärger"}));
  EXPECT_TRUE(list.Exists("\\\\mailbox\\inbox"));
  EXPECT_FALSE(list.Exists("old"));
  EXPECT_EQ(list.GetString("\r\n"), "\\\\Mailbox\\Inbox\r\n\\\\Archive\r\n\\\\Ärger");
}

TEST_F(SingleListTest, WithoutADictionaryTheListIsEmptyAndTheFailureReported) {
  factory.FailCreation("Scripting.Dictionary");
  cSingleList list;
  list.SetString("a,b", ",");
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.GetString(","), "");
  EXPECT_TRUE(modErroHandling::ReportShown());
}

}  // namespace
}  // namespace stow::settings_test
