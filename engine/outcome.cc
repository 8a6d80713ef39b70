#include "engine/outcome.h"

#include "platform/com_error.h"
#include "support/modGlobal.h"

namespace stow {

OutcomeReport::OutcomeReport(const char* action, const std::shared_ptr<om::Item>& item) {
  outcome_.action = action;
  if (!item) return;
  outcome_.entryId = ValueOr(std::string(), [&] { return item->EntryID(); });
  outcome_.subject = ValueOr(std::string(), [&] { return item->Subject(); });
}

OutcomeReport::~OutcomeReport() {
  if (auto sink = modGlobal::objOutcomeSink) IgnoreErrors([&] { sink->Report(outcome_); });
}

void OutcomeReport::Leave(ItemOutcome::Left why, const std::string& reason) {
  outcome_.left = why;
  outcome_.leftReason = reason;
}

void OutcomeReport::Fail(const std::string& what, const std::string& reason) {
  outcome_.failed.push_back({what, reason});
}

}  // namespace stow
