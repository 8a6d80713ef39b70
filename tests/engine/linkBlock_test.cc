#include "engine/linkBlock.h"

#include <gtest/gtest.h>

namespace stow {
namespace {

const char* kExpectedTemplate =
    "<br><table id=tableKZOSTART border=\"1\" width=\"100%\" cellspacing=\"0\" bgcolor=\"#F2F1F3\" "
    "style=\"border-collapse: collapse\">\r\n"
    "<tr><td>\r\n"
    "<table border=\"0\" width=\"100%\" id=\"tableKZO2\" cellspacing=\"0\" cellpadding=\"0\">\r\n"
    "<tr>\r\n"
    "<td><p align=\"center\"><font face=\"Arial\" size=\"2\"><b>&nbsp;<u>Available "
    "Attachments</u></b></font></p></td>\r\n"
    "</tr>\r\n"
    "<tr>\r\n"
    "<td>\r\n"
    "LINKS\r\n"
    "</td>\r\n"
    "</tr>\r\n"
    "</table>\r\n"
    "</td>\r\n"
    "</tr>\r\n"
    "</table>\r\n"
    "<table id=tableKZOEND><tr><td>&nbsp;</td></tr></table>"
    "<!--END_KZO--->";

TEST(LinkBlock, TemplateIsByteExact) {
  EXPECT_EQ(BuildLinkBlock("LINKS"), kExpectedTemplate);
}

TEST(LinkBlock, EntriesShowNameOrPathByDisplayOptionAndHostileNamesStayInside) {
  LinkSettings s;
  s.AttachmentDisplayOption = 1;
  LinkLists lists;
  lists.AddEntries("/home/u/My Attachments/1 #2.pdf", "a.pdf", s);
  lists.AddEntries("/home/u/é/100%?.doc", "b'.doc", s);
  // Targets are file: URLs a browser resolves to the file; texts are the names.
  EXPECT_EQ(BuildLinksText(lists, s, false),
            "<ul><li><font face=\"Arial\" size=\"1\"><a "
            "href='file:///home/u/My%20Attachments/1%20%232.pdf'>a.pdf</a></font></li><li><font "
            "face=\"Arial\" size=\"1\"><a href='file:///home/u/%C3%A9/100%25%3F.doc'>b&#39;.doc"
            "</a></font></li></ul>");
  // Hostile names cannot break out of the link.
  lists.AddEntries("/m/a'><script>x</script>.pdf", "a'><script>x</script>.pdf", s);
  EXPECT_EQ(lists.Windows.find("<script>"), std::string::npos);
  EXPECT_NE(lists.Windows.find("a&#39;&gt;&lt;script&gt;"), std::string::npos);
}

TEST(LinkBlock, SectionsFollowTheEmbedSettings) {
  LinkSettings s;
  s.AttachmentDisplayOption = 0;
  s.EmbedMacPath = true;
  s.EmbedHTTPPath = true;
  s.HTTPAddress = "http://files.example/att/";
  LinkLists lists;
  lists.AddEntries("/srv/A b/f#1.pdf", "f.pdf", s);
  std::string text = BuildLinksText(lists, s, false);
  EXPECT_EQ(text.find("<B>&nbsp;Windows Friendly Links:</B><BR><ul>"), 0u);
  EXPECT_NE(text.find("<B>&nbsp;Mac Friendly Links:</B><BR><ul><li><font face=\"Arial\" "
                      "size=\"1\"><a href='smb:/srv/A%20b/f%231.pdf'>smb:/srv/A b/f#1.pdf</a>"),
            std::string::npos);
  EXPECT_NE(text.find("<B>&nbsp;HTTP Friendly links:</B><BR><ul><li><font face=\"Arial\" "
                      "size=\"1\"><a href='http://files.example/att/srv/A%20b/f%231.pdf'>"
                      "http://files.example/att/srv/A b/f#1.pdf</a>"),
            std::string::npos);

  // Web section needs an address; the Windows heading stays.
  s.EmbedMacPath = false;
  s.HTTPAddress.clear();
  text = BuildLinksText(lists, s, false);
  EXPECT_EQ(text.find("<B>&nbsp;Windows Friendly Links:</B><BR>"), 0u);
  EXPECT_EQ(text.find("Mac Friendly"), std::string::npos);
  EXPECT_EQ(text.find("HTTP Friendly"), std::string::npos);

  // A manual detach with Mac and web links only on automatic ones gets the plain list.
  s.EmbedMacPath = s.EmbedHTTPPath = s.MacHTTPOnAutoDetachment = true;
  s.HTTPAddress = "http://h/";
  EXPECT_EQ(BuildLinksText(lists, s, false), "<ul>" + lists.Windows + "</ul>");
  std::string automatic = BuildLinksText(lists, s, true);
  EXPECT_NE(automatic.find("Mac Friendly"), std::string::npos);
  EXPECT_NE(automatic.find("HTTP Friendly"), std::string::npos);
}

TEST(PathTranslation, MacAndWebForms) {
  EXPECT_EQ(TranslateToMacPath("\\\\S\\P\\f.pdf"), "smb://S/P/f.pdf");
  EXPECT_EQ(TranslateToMacPath("C:\\A\\f.pdf"), "smb:C:/A/f.pdf");
  EXPECT_EQ(TranslateToHTTPPath("C:\\A\\f.pdf", "http://h/x/"), "http://h/x/A\\f.pdf");
  EXPECT_EQ(TranslateToHTTPPath("/home/u/f.pdf", "http://h/x"), "http://h/x/home/u/f.pdf");
  EXPECT_EQ(TranslateToHTTPPath("f.pdf", "http://h\\"), "http://h/");
}

TEST(RemoveLinks, RemovingTheBlockGivesBackTheOriginalBodyAndMalformedOnesStay) {
  const std::string body = "<html><body><p>Hello</p></body></html>";
  const std::string block = BuildLinkBlock("<ul><li>x</li></ul>");
  EXPECT_EQ(RemoveAttachmentsLinks(PlaceLinkBlock(body, block, 0)), body);
  EXPECT_EQ(RemoveAttachmentsLinks(PlaceLinkBlock(body, block, 1)), body);
  // A block without its end comment is cut to its closing table ("<br>" in front is not
  // part of the cut).
  std::string old = block.substr(0, block.find("<!--END_KZO--->"));
  EXPECT_EQ(RemoveAttachmentsLinks("A" + old + "B"), "A<br>B");
  // Malformed blocks leave the text unchanged.
  for (const std::string text : {"x tableKZOSTART y", "<!--END_KZO---> then tableKZOSTART",
                                 "<x id=tableKZOSTART> tableKZOEND no close", ""})
    EXPECT_EQ(RemoveAttachmentsLinks(text), text);
}

TEST(RemoveLinks, OneCallTakesTheFirstBlockAndItsCopiesOnly) {
  const std::string b1 = BuildLinkBlock("<ul><li>one</li></ul>");
  const std::string b2 = BuildLinkBlock("<ul><li>two</li></ul>");
  // The first block runs from its start to the first end comment.
  EXPECT_EQ(RemoveAttachmentsLinks(b1 + "mid" + b1), "mid");
  std::string twice = b2 + b1 + "body";
  std::string once = RemoveAttachmentsLinks(twice);
  EXPECT_EQ(once, b1 + "body");
  EXPECT_EQ(RemoveAllAttachmentsLinks(twice), "body");
}

}  // namespace
}  // namespace stow
