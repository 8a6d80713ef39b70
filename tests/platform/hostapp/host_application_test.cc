// The host application's logical windows: which window is active, the events the
// add-in listens to and the order they come in, and windows that went away.

#include "platform/hostapp/host_application.h"

#include <gtest/gtest.h>

#include "common/checks.h"
#include "platform/com_error.h"
#include "platform/memory/memory_store.h"
#include "platform/object_factory.h"

namespace stow::hostapp {
namespace {

using stow::testing::ErrorNumberOf;

class HostApplicationTest : public ::testing::Test {
 protected:
  std::shared_ptr<om::Folder> Inbox() { return store->GetDefaultFolder(om::olFolderInbox); }
  std::shared_ptr<om::Folder> Calendar() { return store->GetDefaultFolder(om::olFolderCalendar); }
  std::shared_ptr<om::Item> Mail(const std::string& subject) {
    mem::MailSpec m;
    m.subject = subject;
    return store->AddMail(Inbox(), m);
  }

  std::shared_ptr<mem::MemoryStore> store = std::make_shared<mem::MemoryStore>();
  platform::ObjectFactory factory;
  std::shared_ptr<HostApplication> app = std::make_shared<HostApplication>(
      store, "14.0.0.0", [this] { return store->CreateMailItem(); }, &factory);
};

TEST_F(HostApplicationTest, ActiveWindowFollowsOpeningActivationAndClosing) {
  EXPECT_EQ(app->ActiveWindow(), nullptr);
  EXPECT_EQ(app->ActiveExplorer(), nullptr);
  auto explorer = app->OpenExplorer(Inbox());
  ASSERT_NE(app->ActiveWindow(), nullptr);
  EXPECT_EQ(app->ActiveWindow()->TypeName(), "Explorer");
  EXPECT_EQ(app->ActiveWindow()->Caption(), "Inbox - Microsoft Outlook");

  auto inspector = app->OpenInspector(Mail("Hello"));
  EXPECT_EQ(app->ActiveWindow()->TypeName(), "Inspector");
  EXPECT_EQ(app->ActiveWindow()->Caption(), "Hello - Message (HTML)");
  // The explorer stays the active explorer behind the inspector.
  EXPECT_EQ(app->ActiveExplorer(), explorer);
  EXPECT_EQ(app->ActiveInspector(), inspector);

  explorer->Activate();
  EXPECT_EQ(app->ActiveWindow()->TypeName(), "Explorer");
  app->SetActiveWindow(inspector);
  EXPECT_EQ(app->ActiveWindow()->TypeName(), "Inspector");
  app->SetActiveWindow(nullptr);
  EXPECT_EQ(app->ActiveWindow(), nullptr);
  EXPECT_EQ(app->ActiveExplorer(), explorer);

  inspector->Close(om::olDiscard);
  EXPECT_EQ(app->ActiveInspector(), nullptr);
  EXPECT_EQ(app->Inspectors()->Count(), 0);
  explorer->Activate();
  EXPECT_EQ(app->ActiveWindow(), explorer);
}

TEST_F(HostApplicationTest, NewInspectorComesWithCurrentItemWhileThePreviousWindowIsActive) {
  auto explorer = app->OpenExplorer(Inbox());
  auto original = Mail("Budget");
  explorer->SetSelection({original});
  std::string seenSubject, activeType, seenEntry = "unset";
  auto c = app->Inspectors()->NewInspector().Connect([&](std::shared_ptr<om::Inspector> i) {
    seenSubject = i->CurrentItem()->Subject();
    seenEntry = i->CurrentItem()->EntryID();
    activeType = app->ActiveWindow()->TypeName();
  });
  auto reply = original->Reply();
  auto inspector = app->OpenInspector(reply);
  EXPECT_EQ(seenSubject, "RE: Budget");
  EXPECT_EQ(seenEntry, "");
  EXPECT_EQ(activeType, "Explorer");
  EXPECT_EQ(app->ActiveWindow(), inspector);
  EXPECT_EQ(app->Inspectors()->Item(1), inspector);
  // Item.Display opens one too.
  original->Display();
  EXPECT_EQ(seenEntry, original->EntryID());
  ASSERT_EQ(app->Inspectors()->Count(), 2);
  EXPECT_EQ(app->ActiveInspector()->CurrentItem()->EntryID(), original->EntryID());
}

TEST_F(HostApplicationTest, ClosingExplorersRaisesCloseAfterTheyStopCountingAndAddedOnesHide) {
  auto first = app->OpenExplorer(Inbox());
  auto second = app->OpenExplorer(Calendar());
  EXPECT_EQ(app->Explorers()->Count(), 2);
  std::vector<std::int64_t> countsAtClose;
  auto c1 =
      first->CloseEvent().Connect([&] { countsAtClose.push_back(app->Explorers()->Count()); });
  auto c2 =
      second->CloseEvent().Connect([&] { countsAtClose.push_back(app->Explorers()->Count()); });
  app->CloseWindow(second);
  EXPECT_EQ(app->Explorers()->Count(), 1);
  EXPECT_EQ(app->ActiveExplorer(), first);
  first->Close();
  EXPECT_EQ(countsAtClose, (std::vector<std::int64_t>{1, 0}));
  EXPECT_EQ(app->ActiveExplorer(), nullptr);
  EXPECT_EQ(app->ActiveWindow(), nullptr);
  // Explorers.Add makes a hidden explorer until it is displayed.
  std::vector<std::shared_ptr<om::Explorer>> raised;
  auto c = app->Explorers()->NewExplorer().Connect(
      [&](std::shared_ptr<om::Explorer> e) { raised.push_back(e); });
  auto added = app->Explorers()->Add(Calendar(), 0);
  ASSERT_EQ(raised.size(), 1u);
  EXPECT_EQ(raised[0], added);
  EXPECT_EQ(app->Explorers()->Count(), 1);
  EXPECT_EQ(app->ActiveExplorer(), nullptr);
  added->Display();
  EXPECT_EQ(app->ActiveExplorer(), added);
  EXPECT_EQ(app->ActiveWindow()->Caption(), "Calendar - Microsoft Outlook");
}

TEST_F(HostApplicationTest, SelectFolderRaisesFolderSwitchWithTheNewFolderInPlace) {
  auto explorer = app->OpenExplorer(Inbox());
  explorer->SetSelection({Mail("a"), Mail("b")});
  ASSERT_EQ(explorer->Selection()->Count(), 2);
  EXPECT_EQ(explorer->Selection()->Item(2)->Subject(), "b");
  std::vector<std::string> seen;
  auto c = explorer->FolderSwitch().Connect(
      [&] { seen.push_back(app->ActiveExplorer()->CurrentFolder()->Name()); });
  explorer->SelectFolder(Calendar());
  explorer->SelectFolder(Inbox());
  EXPECT_EQ(seen, (std::vector<std::string>{"Calendar", "Inbox"}));
  EXPECT_EQ(explorer->Selection()->Count(), 0);
  EXPECT_EQ(ErrorNumberOf([&] { explorer->Selection()->Item(1); }), errnum::kSubscriptOutOfRange);
}

TEST_F(HostApplicationTest, WindowsThatWentAwayRaiseObjectGone) {
  auto explorer = app->OpenExplorer(Inbox());
  auto inspector = app->OpenInspector(Mail("m"));
  app->MakeWindowGone(inspector);
  EXPECT_EQ(ErrorNumberOf([&] { inspector->CurrentItem(); }), errnum::kObjectGone);
  EXPECT_EQ(ErrorNumberOf([&] { inspector->Caption(); }), errnum::kObjectGone);
  // It is still the active window: the add-in meets it there and must cope.
  EXPECT_EQ(app->ActiveWindow()->TypeName(), "Inspector");
  app->MakeWindowGone(explorer);
  EXPECT_EQ(ErrorNumberOf([&] { explorer->CurrentFolder(); }), errnum::kObjectGone);
  EXPECT_EQ(ErrorNumberOf([&] { explorer->Selection(); }), errnum::kObjectGone);

  auto other = app->OpenExplorer(Inbox());
  app->CloseWindow(other);
  EXPECT_EQ(ErrorNumberOf([&] { other->Activate(); }), errnum::kObjectGone);
}

TEST_F(HostApplicationTest, QuitRaisesQuitAndLeavesNoWindows) {
  app->OpenExplorer(Inbox());
  app->OpenInspector(Mail("m"));
  int quits = 0;
  std::int64_t explorersAtQuit = -1;
  auto c = app->QuitEvent().Connect([&] {
    ++quits;
    explorersAtQuit = app->Explorers()->Count();
  });
  app->Quit();
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(explorersAtQuit, 1);
  EXPECT_TRUE(app->QuitCalled());
  EXPECT_EQ(app->Explorers()->Count(), 0);
  EXPECT_EQ(app->Inspectors()->Count(), 0);
  EXPECT_EQ(app->ActiveWindow(), nullptr);
}

TEST_F(HostApplicationTest, ApplicationMembers) {
  EXPECT_EQ(app->Version(), "14.0.0.0");
  EXPECT_EQ(app->GetNamespace("mapi"), store);
  EXPECT_EQ(ErrorNumberOf([&] { app->GetNamespace("OTHER"); }), errnum::kInvalidProcedureCall);
  auto mail = app->CreateItem(om::olMailItem);
  EXPECT_EQ(mail->EntryID(), "");
  EXPECT_EQ(mail->MessageClass(), "IPM.Note");
  EXPECT_NE(ErrorNumberOf([&] { app->CreateItem(om::olAppointmentItem); }), 0);

  EXPECT_EQ(ErrorNumberOf([&] { app->CreateObject("Scripting.Dictionary"); }),
            errnum::kCannotCreateObject);
  auto made = std::make_shared<ComObject>();
  factory.Register("Scripting.Dictionary", [&] { return made; });
  EXPECT_EQ(app->CreateObject("Scripting.Dictionary"), made);
  HostApplication bare(store, "12.0.0.0");
  EXPECT_EQ(bare.Version(), "12.0.0.0");
  EXPECT_EQ(ErrorNumberOf([&] { bare.CreateObject("Scripting.Dictionary"); }),
            errnum::kCannotCreateObject);
}

TEST_F(HostApplicationTest, InspectorCloseWithSaveSavesAndKeepsTheWindowWhenSaveFails) {
  auto item = Mail("m");
  auto inspector = app->OpenInspector(item);
  item->SetBillingInformation("edited");
  store->faults().FailSave(item->EntryID());
  EXPECT_NE(ErrorNumberOf([&] { inspector->Close(om::olSave); }), 0);
  EXPECT_EQ(app->Inspectors()->Count(), 1);
  inspector->Close(om::olSave);
  EXPECT_EQ(app->Inspectors()->Count(), 0);
  EXPECT_EQ(store->FindByEntryId(item->EntryID())->BillingInformation(), "edited");
}

TEST_F(HostApplicationTest, OnlyTheApplicationOwningTheHooksRemovesThem) {
  auto later = std::make_shared<HostApplication>(store);
  app.reset();  // the older application goes; the newer one keeps the hooks
  Mail("m")->Display();
  EXPECT_EQ(later->Inspectors()->Count(), 1);
  later.reset();
  Mail("n")->Display();  // no application: nothing opens and nothing fails
  EXPECT_EQ(store->PickFolder(), nullptr);
}

}  // namespace
}  // namespace stow::hostapp
