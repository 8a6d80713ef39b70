#pragma once
// The batch window: runs one operation over the items of a selection or of a folder,
// yielding to the message loop before each item, showing "Processing.... (n Of m)",
// stoppable with Cancel between two items, and closing itself 500 ms after the end.
//
// A caller makes one with Create, shows it modeless, sets the switches and calls
// LoadBatchOperation, which returns when the batch is over. The window keeps itself
// alive until it is unloaded.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/forms.h"
#include "platform/object_model.h"

namespace stow {

class fStripAttachments : public ui::Form, public std::enable_shared_from_this<fStripAttachments> {
 public:
  static std::shared_ptr<fStripAttachments> Create();
  ~fStripAttachments() override;

  ui::Label& lblFolder;
  ui::Label& lblProcessing;
  ui::ProgressBar& pb;
  ui::CommandButton& cmdCancel;
  ui::Timer& timerClose;

  // True: detach (or copy); False: re-attach.
  bool blnDetach = false;
  // Selection detach: ask once for the target folder.
  bool blnAskForFolder = false;
  // True: the items of objFolder; False: the items of objSelection.
  bool blnAllItemsInFolder = false;
  // Selection: copy the attachments to strCopyFolderPath instead.
  bool blnCopyToFolder = false;
  std::string strCopyFolderPath;
  // Folder batches skip items carrying the processed marker.
  bool blnSkipProcessed = false;
  std::shared_ptr<om::Folder> objFolder;
  std::shared_ptr<om::Selection> objSelection;
  // Folder: delete the attachments instead of detaching or re-attaching.
  bool blnRemoveAttachments = false;
  // Folder detach: tell the user when the folder has no attachment folder.
  bool blnShowFolderMessage = false;

  // Runs the worker the switches choose; returns when the batch is over.
  void LoadBatchOperation();

  // Set by Cancel, by the end of the batch, and when the window is unloaded.
  bool Stopped() const { return blnStopped; }

  void OnLoad() override;
  void OnUnload(bool& cancel) override;

  // Batch windows not yet released (loaded, or unloaded and waiting for the loop).
  static std::size_t LiveCount();

 private:
  fStripAttachments();

  void BatchProcessSelection();
  void BatchCopySelection();
  void BatchProcessAllItems();
  void BatchRemoveAttachments();

  // Steps 2 and 4 of every worker.
  void BeginProgress(std::int64_t count);
  // False when the loop is to stop before item n.
  bool StepProgress(std::int64_t n, std::int64_t count);
  // Step E of every worker.
  void EndBatch();
  // Shows a message with this window taken off the top meanwhile.
  void ShowMessageOffTop(const std::string& prompt);

  void cmdCancel_Click();
  void timerClose_Timer();

  bool blnStopped = false;
  Connection onCancel_, onTick_;
};

}  // namespace stow
