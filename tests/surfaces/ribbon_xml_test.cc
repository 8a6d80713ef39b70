// The custom-UI documents: byte for byte as the golden files give them, and
// well-formed. A golden file holds one element a line for the reader; the document
// is its lines joined without their line breaks and indentation.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <fstream>
#include <string>

#include "common/addin_environment.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/office.h"
#include "surfaces/modRibbon.h"

namespace stow {
namespace {

std::string Golden(const std::string& name) {
  std::ifstream in(std::string(STOW_SOURCE_DIR) + "/tests/surfaces/golden/" + name + ".xml");
  std::string out, line;
  while (std::getline(in, line))
    if (auto at = line.find_first_not_of(' '); at != std::string::npos) out += line.substr(at);
  EXPECT_FALSE(out.empty()) << name;
  return out;
}

// The root element's name when the document parses strictly; "" when it does not.
std::string RootOf(const std::string& xml) {
  xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "ribbon.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  xmlNode* root = doc ? xmlDocGetRootElement(doc) : nullptr;
  std::string name = root ? reinterpret_cast<const char*>(root->name) : "";
  if (doc) xmlFreeDoc(doc);
  return name;
}

class RibbonXmlTest : public testing::AddinTest {
 protected:
  RozozizeraRoreravo addin;
};

TEST_F(RibbonXmlTest, DocumentsAreExactAndWellFormed) {
  for (const auto& [ribbon, golden] : std::vector<std::pair<std::string, std::string>>{
           {"Microsoft.Outlook.Mail.Read", "mail_read"},
           {"Microsoft.Outlook.Response.Read", "post_read"},
           {"Microsoft.Outlook.Post.Read", "post_read"},
           {"Microsoft.Outlook.Mail.Compose", "compose"},
           {"Microsoft.Outlook.Explorer", "explorer"}}) {
    std::string xml = addin.IRibbonExtensibility_GetCustomUI(ribbon);
    EXPECT_EQ(xml, Golden(golden)) << ribbon;
    EXPECT_EQ(RootOf(xml), "customUI") << ribbon;
  }
  EXPECT_EQ(addin.fncBuildUI("Explorer"), Golden("explorer"));
  EXPECT_EQ(addin.fncBuildUI("Post"), Golden("post_read"));
}

TEST_F(RibbonXmlTest, DynamicMenusByAskingControl) {
  for (const auto& [id, golden] :
       std::vector<std::pair<std::string, std::string>>{{"dnAdvancedPopup", "menu_dnAdvancedPopup"},
                                                        {"dnSettingsPopup", "menu_dnSettingsPopup"},
                                                        {"dnHelpPopup", "menu_dnHelpPopup"},
                                                        {"dnSomethingElse", "menu_other"}}) {
    office::RibbonControl control(id);
    std::string xml = addin.GetContentXML(control);
    EXPECT_EQ(xml, Golden(golden)) << id;
    EXPECT_EQ(RootOf(xml), "menu") << id;
  }
}

TEST_F(RibbonXmlTest, UnknownTypesGiveNothing) {
  EXPECT_EQ(addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Contact"), "");
  EXPECT_EQ(addin.IRibbonExtensibility_GetCustomUI(""), "");
  EXPECT_EQ(addin.IRibbonExtensibility_GetCustomUI("microsoft.outlook.mail.read"), "");
  EXPECT_EQ(addin.fncBuildUI("Contact"), "");
  EXPECT_EQ(addin.fncBuildUI("mail"), "");
}

TEST_F(RibbonXmlTest, ContextMenuMembersMatchTheExplorerDocument) {
  std::string xml = addin.fncBuildUI("Explorer");
  EXPECT_NE(xml.find(addin.GetContextMenus()), std::string::npos);
  EXPECT_NE(xml.find(addin.GetMultipleItemsContextMenu()), std::string::npos);
  EXPECT_NE(xml.find(addin.GetStandardXML()), std::string::npos);
  EXPECT_TRUE(addin.GetContextMenus().starts_with("<contextMenu idMso=\"ContextMenuMailItem\">"));
  EXPECT_TRUE(addin.GetMultipleItemsContextMenu().starts_with(
      "<contextMenu idMso=\"ContextMenuMultipleItems\">"));
}

}  // namespace
}  // namespace stow
