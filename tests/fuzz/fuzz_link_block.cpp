// libFuzzer target: removing the block of links from an HTML body. Removal only
// ever takes text out, never adds any, and removing every block twice is the same
// as removing it once.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/linkBlock.h"

using namespace stow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string html(reinterpret_cast<const char*>(data), size);
  std::string one = RemoveAttachmentsLinks(html);
  if (one.size() > html.size()) std::abort();
  std::string all = RemoveAllAttachmentsLinks(html);
  if (all.size() > one.size()) std::abort();
  if (RemoveAllAttachmentsLinks(all) != all) std::abort();
  // A block this system writes, put before the fuzzed body, comes out whole.
  LinkLists lists;
  LinkSettings settings;
  lists.AddEntries("/home/u/att/a.pdf", html.substr(0, 64), settings);
  std::string block = BuildLinkBlock(BuildLinksText(lists, settings, false));
  std::string placed = PlaceLinkBlock(all, block, 0);
  if (RemoveAttachmentsLinks(placed) != all) std::abort();
  return 0;
}
