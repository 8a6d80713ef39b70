#include "app/item_state.h"

#include "app/store_view.h"
#include "engine/processEmail.h"
#include "platform/com_error.h"

namespace stow::app {

std::vector<SavedFile> ParseRecords(const std::string& text) {
  std::vector<SavedFile> out;
  std::size_t start = 0;
  while (start < text.size()) {
    auto end = text.find("\r\n", start);
    std::string line =
        text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    auto tab = line.find('\t');
    if (!line.empty() && tab != std::string::npos) {
      auto tab2 = line.find('\t', tab + 1);
      out.push_back(
          {line.substr(0, tab),
           line.substr(tab + 1, tab2 == std::string::npos ? std::string::npos : tab2 - tab - 1)});
    }
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return out;
}

ItemState ReadState(const std::shared_ptr<om::Item>& item, const std::string& folderPath,
                    bool withContent) {
  ItemState s;
  try {
    if (item->Parent()->FolderPath() != folderPath) {
      s.gone = true;
      return s;
    }
    s.subject = item->Subject();
    s.processed = CarriesProcessedMarker(item);
    if (withContent) s.hasLinkBlock = item->HTMLBody().find("tableKZOSTART") != std::string::npos;
    auto prop = item->UserProperties()->Find(kRecordsProperty);
    if (prop) s.records = ParseRecords(ToText(prop->GetValue()));
  } catch (...) {
    s.gone = true;
  }
  return s;
}

}  // namespace stow::app
