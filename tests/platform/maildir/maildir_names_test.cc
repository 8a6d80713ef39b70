#include "platform/maildir/maildir_names.h"

#include <gtest/gtest.h>

namespace stow::maildir {
namespace {

TEST(MaildirFileNameTest, SplitsUniqueFieldsAndInfo) {
  auto n = MaildirFileName::Parse("1704189600.M1P2Q3.host,S=1234,W=1260,U=42:2,FS");
  EXPECT_EQ(n.unique, "1704189600.M1P2Q3.host");
  EXPECT_EQ(n.fields, (std::vector<std::string>{"S=1234", "W=1260", "U=42"}));
  ASSERT_TRUE(n.info.has_value());
  EXPECT_EQ(*n.info, "2,FS");
  EXPECT_EQ(n.ToString(), "1704189600.M1P2Q3.host,S=1234,W=1260,U=42:2,FS");
  EXPECT_TRUE(InfoHasFlag(n.info, 'F'));
  EXPECT_FALSE(InfoHasFlag(n.info, 'T'));

  auto bare = MaildirFileName::Parse("1704189600.abc.host");
  EXPECT_EQ(bare.unique, "1704189600.abc.host");
  EXPECT_FALSE(bare.info.has_value());
  EXPECT_TRUE(bare.fields.empty());
}

TEST(MaildirFileNameTest, RewriteKeepsFlagsDropsSyncUidAndRecomputesSizeOnlyWhenPresent) {
  auto withSize = MaildirFileName::Parse("1.a.h,S=10,W=12,U=7:2,RS");
  EXPECT_EQ(RewrittenFileName(withSize, "2.b.h", 999), "2.b.h,S=999:2,RS");
  auto withoutSize = MaildirFileName::Parse("1.a.h,U=7:2,S");
  EXPECT_EQ(RewrittenFileName(withoutSize, "2.b.h", 999), "2.b.h:2,S");
  auto inNew = MaildirFileName::Parse("1.a.h");
  EXPECT_EQ(RewrittenFileName(inNew, "2.b.h", 5), "2.b.h");
}

TEST(MaildirFileNameTest, NewUniqueNamesCarryTheDeliveryTimeAndNeverRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string u = NewUniqueName(1704189600);
    EXPECT_EQ(u.find_first_of("/:,"), std::string::npos) << u;
    EXPECT_EQ(DeliveryTimeOfUnique(u), 1704189600);
    EXPECT_TRUE(seen.insert(u).second) << u;
  }
  EXPECT_FALSE(DeliveryTimeOfUnique("abc.def").has_value());
  EXPECT_FALSE(DeliveryTimeOfUnique("12.short").has_value());
}

TEST(MaildirFolderNameTest, MaildirPlusPlusLevelsAndModifiedUtf7) {
  EXPECT_EQ(FolderNamesOfDirectory(".Sent Items"), (std::vector<std::string>{"Sent Items"}));
  EXPECT_EQ(FolderNamesOfDirectory(".Work.Projects"),
            (std::vector<std::string>{"Work", "Projects"}));
  EXPECT_EQ(FolderNamesOfDirectory(".Entw&APw-rfe"), (std::vector<std::string>{"Entwürfe"}));
  EXPECT_EQ(FolderNamesOfDirectory(".R&-D"), (std::vector<std::string>{"R&D"}));
  EXPECT_TRUE(FolderNamesOfDirectory("cur").empty());
  for (std::string name : {"Entwürfe", "Résumé & CV", "日本語", "plain"}) {
    EXPECT_EQ(DecodeModifiedUtf7(EncodeModifiedUtf7(name)), name);
    EXPECT_EQ(FolderNamesOfDirectory(DirectoryOfFolderNames({"A", name})),
              (std::vector<std::string>{"A", name}));
  }
  EXPECT_EQ(EncodeModifiedUtf7("Entwürfe"), "Entw&APw-rfe");
  // A dot inside a name cannot become a level of its own.
  EXPECT_EQ(DirectoryOfFolderNames({"v1.2"}), ".v1_2");
}

}  // namespace
}  // namespace stow::maildir
