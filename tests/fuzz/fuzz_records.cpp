// libFuzzer target: the text form of the records list. Whatever the text, parsing
// must not crash, and the list it gives must survive its own text form unchanged.
// One known exception: the text form is trimmed of blanks as a whole, so a first
// record whose path begins with a blank comes back with another path (or, all
// blanks, not at all, and then the next record is first). Lists with such a path
// are only parsed.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/cProcessedAttachments.h"
#include "platform/dictionary.h"
#include "platform/object_factory.h"
#include "platform/services.h"

using namespace stow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static platform::ObjectFactory factory;
  static bool ready = [] {
    platform::RegisterDictionary(factory);
    platform::Platform().factory = &factory;
    return true;
  }();
  (void)ready;
  std::string text(reinterpret_cast<const char*>(data), size);
  cProcessedAttachments list;
  list.FromString(text);
  std::string once = list.ToString();
  cProcessedAttachments again;
  again.FromString(once);
  std::string twice = again.ToString();
  for (const auto& record : list.Records())
    if (record->AttachmentPath[0] == ' ') return 0;
  if (twice != once || again.Count() != list.Count()) std::abort();
  return 0;
}
