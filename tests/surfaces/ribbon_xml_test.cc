// The custom-UI documents: byte for byte as the tables give them, and well-formed.

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>
#include <vector>

#include "common/addin_environment.h"
#include "host/RozozizeraRoreravo.h"
#include "platform/office.h"
#include "surfaces/modRibbon.h"

namespace stow {
namespace {

const std::string kNs2007 = "http://schemas.microsoft.com/office/2006/01/customui";
const std::string kNs2010 = "http://schemas.microsoft.com/office/2009/07/customui";

std::string Btn(const std::string& attrs) {
  return "<button " + attrs + " onAction=\"SubExecuteAction\"/>";
}

std::string ReadControls(const std::string& tip4) {
  return Btn("id=\"cmdDetach\" size=\"normal\" label=\"Detach Attachments\" screentip=\"Detach "
             "attachments from this Outlook item to the attachment file folder\" "
             "imageMso=\"SharingOpenMailFolder\"") +
         Btn("id=\"cmdReAttach\" size=\"normal\" label=\"Re-attach files\" screentip=\"Re-Attach "
             "attachments to this Outlook item from previously detached files\" "
             "imageMso=\"AttachItem\"") +
         Btn("id=\"cmdRemoveLinks\" size=\"normal\" label=\"Remove links\" screentip=\"Remove "
             "links from this email\" imageMso=\"TableUnlinkExternalData\"") +
         Btn("id=\"cmdDelete\" size=\"large\" label=\"Delete item\" screentip=\"" + tip4 +
             "\" imageMso=\"Delete\"") +
         "<menu id=\"menuAdvancedOptions\" size=\"large\" label=\"Advanced...\" "
         "imageMso=\"AttachMenu\">" +
         Btn("id=\"cmdCopyAttachmentsToFolder\" label=\"Copy Attachments to a custom file "
             "folder\" screentip=\"Copy all the attachments of this Outlook item to a user "
             "specified file folder\" imageMso=\"GroupMoreOptions\"") +
         Btn("id=\"cmdDetachToACustomFolder\" label=\"Detach to a custom file folder\" "
             "screentip=\"Detach attachments of this Outlook item to a user specified file "
             "folder\" imageMso=\"GroupMoreOptions\"") +
         "</menu>";
}

std::string ReadDocument(const std::string& group) {
  return "<customUI xmlns=\"" + kNs2007 +
         "\" onLoad=\"OnLoad\"><ribbon><tabs><tab idMso=\"TabReadMessage\"><group id=\"" + group +
         "\" label=\"Stowbright\" insertAfterMso=\"GroupRespond\">" +
         ReadControls(
             "Delete this mail item and its corresponding detached files in the "
             "attachment folder, if any") +
         "</group></tab></tabs></ribbon></customUI>";
}

std::string ComposeDocument() {
  return "<customUI xmlns=\"" + kNs2007 +
         "\" onLoad=\"OnLoad\"><ribbon><tabs><tab idMso=\"TabNewMailMessage\"><group "
         "id=\"KZOMailComposeInspector\" label=\"Stowbright\" insertAfterMso=\"GroupSend\">" +
         Btn("id=\"cmdRemoveLinksCompose\" size=\"normal\" label=\"Remove links\" "
             "screentip=\"Remove links from this email\" imageMso=\"TableUnlinkExternalData\"") +
         Btn("id=\"cmdReAttachCompose\" size=\"normal\" label=\"Re-attach files\" "
             "screentip=\"Re-attach attachments from this email\" imageMso=\"AttachItem\"") +
         "</group></tab></tabs></ribbon></customUI>";
}

std::string ContextMenu(const std::string& mso, const std::string& gap, const std::string& sfx) {
  return "<contextMenu idMso=\"" + mso + "\"><menuSeparator id=\"" + gap + "\"/>" +
         Btn("id=\"cmdStripAttachments" + sfx +
             "\" label=\"Detach\" screentip=\"Detach attachments from the selected emails to a "
             "file folder\" imageMso=\"SharingOpenMailFolder\"") +
         Btn("id=\"cmdReInstateAttachments" + sfx +
             "\" label=\"Re-Attach\" screentip=\"Re-Attach attachments to the selected emails "
             "from the detached files\" imageMso=\"AttachItem\"") +
         Btn("id=\"cmdRemoveLinks" + sfx +
             "\" label=\"Remove links\" screentip=\"Remove file links from the selected "
             "emails\" imageMso=\"TableUnlinkExternalData\"") +
         Btn("id=\"cmdDeleteItems" + sfx +
             "\" label=\"Delete Item(s)\" screentip=\"Delete the selected emails along with "
             "their associated files, if any\" imageMso=\"Delete\"") +
         Btn("id=\"cmdCopyAttachmentsToFolder" + sfx +
             "\" label=\"Copy Attachments to a custom file folder\" screentip=\"Copy all the "
             "attachments of the selected Outlook items to a user specified file folder\" "
             "imageMso=\"GroupMoreOptions\"") +
         Btn("id=\"cmdDetachToACustomFolder" + sfx +
             "\" label=\"Detach to a custom file folder\" screentip=\"Detach attachments of the "
             "selected Outlook items to a user specified file folder\" "
             "imageMso=\"GroupMoreOptions\"") +
         "</contextMenu>";
}

std::string ExplorerDocument() {
  return "<customUI xmlns=\"" + kNs2010 +
         "\" onLoad=\"OnLoad\"><ribbon><tabs><tab idMso=\"TabMail\"><group "
         "id=\"KZOExplorerMail\" label=\"Stowbright\" insertBeforeMso=\"GroupMailNew\">"
         "<button id=\"cmdAttachmentFolder\" size=\"large\" "
         "getLabel=\"GetAttachmentFolderCaption\" getScreentip=\"GetScreenTipForAttachmentFolder\" "
         "imageMso=\"GroupDataConnectionsEdit\" getVisible=\"GetAttachmentFolderVisible\" "
         "onAction=\"SubExecuteAction\"/>"
         "<separator id=\"sepMailFolder\" getVisible=\"GetAttachmentFolderVisible\"/>" +
         Btn("id=\"cmdStripAttachments\" size=\"large\" label=\"Detach\" screentip=\"Detach "
             "attachments from the selected emails to a file folder\" "
             "imageMso=\"SharingOpenMailFolder\"") +
         Btn("id=\"cmdReInstateAttachments\" size=\"large\" label=\"Re-Attach\" "
             "screentip=\"Re-Attach attachments to the selected emails from the detached files\" "
             "imageMso=\"AttachItem\"") +
         Btn("id=\"cmdRemoveLinks\" size=\"normal\" label=\"Remove Links\" screentip=\"Remove "
             "file links from the selected emails\" imageMso=\"TableUnlinkExternalData\"") +
         Btn("id=\"cmdDeleteItems\" size=\"normal\" label=\"Delete Item(s)\" screentip=\"Delete "
             "the selected emails along with their associated files, if any\" "
             "imageMso=\"Delete\"") +
         "<separator id=\"sepMail0\"/>"
         "<dynamicMenu id=\"dnAdvancedPopup\" size=\"large\" label=\"Advanced...\" "
         "imageMso=\"AttachMenu\" getContent=\"GetContentXML\" invalidateContentOnDrop=\"true\"/>"
         "<separator id=\"sepMail1\"/>"
         "<dynamicMenu id=\"dnSettingsPopup\" size=\"large\" label=\"Settings...\" "
         "imageMso=\"UsageViewDetailsAdd\" getContent=\"GetContentXML\" "
         "invalidateContentOnDrop=\"true\"/>"
         "<separator id=\"sepMail2\"/>"
         "<dynamicMenu id=\"dnHelpPopup\" size=\"large\" label=\"Help\" imageMso=\"Help\" "
         "getContent=\"GetContentXML\"/>"
         "</group></tab></tabs></ribbon><contextMenus>" +
         ContextMenu("ContextMenuMailItem", "cmdKZOGap1", "Context") +
         ContextMenu("ContextMenuMultipleItems", "cmdKZOGap2", "ContextMulti") +
         "</contextMenus></customUI>";
}

std::string Menu(const std::string& buttons) {
  return "<menu xmlns=\"" + kNs2010 + "\">" + buttons + "</menu>";
}

// The document parsed strictly; its root's name and namespace, and every id in order.
struct Parsed {
  bool ok = false;
  std::string root;
  std::string ns;
  std::vector<std::string> ids;
};

void CollectIds(xmlNode* node, std::vector<std::string>& ids) {
  for (; node; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (xmlChar* id = xmlGetProp(node, BAD_CAST "id")) {
      ids.emplace_back(reinterpret_cast<char*>(id));
      xmlFree(id);
    }
    CollectIds(node->children, ids);
  }
}

Parsed Parse(const std::string& xml) {
  Parsed p;
  xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "ribbon.xml", nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (!doc) return p;
  xmlNode* root = xmlDocGetRootElement(doc);
  p.ok = root != nullptr;
  if (root) {
    p.root = reinterpret_cast<const char*>(root->name);
    if (root->ns && root->ns->href) p.ns = reinterpret_cast<const char*>(root->ns->href);
    CollectIds(root, p.ids);
  }
  xmlFreeDoc(doc);
  return p;
}

class RibbonXmlTest : public testing::AddinTest {
 protected:
  RozozizeraRoreravo addin;
};

TEST_F(RibbonXmlTest, InspectorDocumentsAreExactAndWellFormed) {
  std::string mail = addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Mail.Read");
  EXPECT_EQ(mail, ReadDocument("KZOMailInspector"));
  EXPECT_EQ(addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Response.Read"),
            ReadDocument("KZOPostInspector"));
  EXPECT_EQ(addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Post.Read"),
            ReadDocument("KZOPostInspector"));
  std::string compose = addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Mail.Compose");
  EXPECT_EQ(compose, ComposeDocument());

  for (const auto& doc : {mail, compose}) {
    Parsed p = Parse(doc);
    ASSERT_TRUE(p.ok) << doc;
    EXPECT_EQ(p.root, "customUI");
    EXPECT_EQ(p.ns, kNs2007);
  }
  EXPECT_EQ(Parse(mail).ids,
            (std::vector<std::string>{"KZOMailInspector", "cmdDetach", "cmdReAttach",
                                      "cmdRemoveLinks", "cmdDelete", "menuAdvancedOptions",
                                      "cmdCopyAttachmentsToFolder", "cmdDetachToACustomFolder"}));
}

TEST_F(RibbonXmlTest, ExplorerDocumentIsExactAndWellFormed) {
  std::string xml = addin.IRibbonExtensibility_GetCustomUI("Microsoft.Outlook.Explorer");
  EXPECT_EQ(xml, ExplorerDocument());
  EXPECT_EQ(addin.fncBuildUI("Explorer"), xml);
  EXPECT_EQ(xml.find_first_of("\r\n\t"), std::string::npos);
  EXPECT_EQ(xml.find("> <"), std::string::npos);
  Parsed p = Parse(xml);
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.root, "customUI");
  EXPECT_EQ(p.ns, kNs2010);
  // Every command id of the context menus appears once per menu.
  int context = 0, multi = 0;
  for (const auto& id : p.ids) {
    if (id.ends_with("ContextMulti"))
      ++multi;
    else if (id.ends_with("Context"))
      ++context;
  }
  EXPECT_EQ(context, 6);
  EXPECT_EQ(multi, 6);
}

TEST_F(RibbonXmlTest, DynamicMenusByAskingControl) {
  office::RibbonControl advanced("dnAdvancedPopup"), settings("dnSettingsPopup"),
      help("dnHelpPopup"), other("dnSomethingElse");
  EXPECT_EQ(addin.GetContentXML(advanced),
            Menu(Btn("id=\"cmdStripAttachmentsFolder\" label=\"Detach All\" screentip=\"Detach "
                     "attachments from all items in this folder to the attachment file folder\" "
                     "imageMso=\"SharingOpenMailFolder\"") +
                 Btn("id=\"cmdReInstateAttachmentsFolder\" label=\"Re-Attach All\" "
                     "screentip=\"Re-Attach attachments to all items in this folder from "
                     "previously detached files\" imageMso=\"AttachItem\"") +
                 "<menuSeparator id=\"sepAdvancedPopup\"/>" +
                 Btn("id=\"cmdCopyAttachmentsToFolder\" label=\"Copy Attachments to a custom "
                     "file folder\" screentip=\"Copy all the attachments of the selected Outlook "
                     "items to a user specified file folder\" imageMso=\"GroupMoreOptions\"") +
                 Btn("id=\"cmdDetachToACustomFolder\" label=\"Detach to a custom file folder\" "
                     "screentip=\"Detach attachments of the selected Outlook items to a user "
                     "specified file folder\" imageMso=\"GroupMoreOptions\"")));
  EXPECT_EQ(addin.GetContentXML(settings),
            Menu(Btn("id=\"cmdSettingsFolders\" label=\"Monitored Folders\" "
                     "imageMso=\"CopyThisFolder\"") +
                 Btn("id=\"cmdSettingsAttachments\" label=\"Attachment Options\" "
                     "imageMso=\"AttachFile\"") +
                 Btn("id=\"cmdSettingsExtension\" label=\"Exempted Extensions\"")));
  EXPECT_EQ(addin.GetContentXML(help),
            Menu(Btn("id=\"cmdHelpTopics\" label=\"Help Topics\" imageMso=\"Help\"") +
                 Btn("id=\"cmdVideoTour\" label=\"Video Tour\" imageMso=\"MovieFromFileInsert\"") +
                 Btn("id=\"cmdProductPage\" label=\"Home page\" imageMso=\"HyperlinkInsert\"") +
                 Btn("id=\"cmdAbout\" label=\"About Stowbright\"")));
  EXPECT_EQ(addin.GetContentXML(other), Menu(""));
  for (auto* control : {&advanced, &settings, &help, &other}) {
    Parsed p = Parse(addin.GetContentXML(*control));
    ASSERT_TRUE(p.ok) << control->Id();
    EXPECT_EQ(p.root, "menu");
    EXPECT_EQ(p.ns, kNs2010);
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
