#include "platform/memory/memory_store.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <utility>

#include "platform/hostapp/hooks.h"

namespace stow::mem {

namespace {

constexpr const char* kSource = "Mail Store";

[[noreturn]] void Fail(std::int32_t number, const std::string& description) {
  Raise(number, kSource, description);
}

[[noreturn]] void Gone() {
  Fail(errnum::kObjectGone, "The item has been moved or deleted.");
}

// Folder and property names are compared as the host does: without regard to case,
// with Unicode case folding so that non-ASCII names match too.
std::string Fold(const std::string& text) {
  if (!g_utf8_validate(text.c_str(), static_cast<gssize>(text.size()), nullptr)) {
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(g_ascii_tolower(c));
    return lower;
  }
  gchar* folded = g_utf8_casefold(text.c_str(), static_cast<gssize>(text.size()));
  std::string result(folded);
  g_free(folded);
  return result;
}

bool SameText(const std::string& a, const std::string& b) {
  return Fold(a) == Fold(b);
}

std::string Hex(std::uint64_t value, int digits) {
  std::string out(static_cast<std::size_t>(digits), '0');
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int i = digits - 1; i >= 0 && value != 0; --i) {
    out[static_cast<std::size_t>(i)] = kDigits[value & 0xF];
    value >>= 4;
  }
  return out;
}

std::string BaseName(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Describe(std::int32_t number) {
  switch (number) {
    case errnum::kFileNotFound:
      return "File not found";
    case errnum::kPermissionDenied:
      return "Permission denied";
    case errnum::kPathNotFound:
      return "Path not found";
    case errnum::kDiskFull:
      return "Disk full";
    case errnum::kItemInConflict:
      return "The item is in conflict.";
    case errnum::kObjectGone:
      return "The item has been moved or deleted.";
    case errnum::kAccessDenied:
      return "You do not have permission to perform this operation.";
    default:
      return "The operation failed.";
  }
}

// Writes bytes to path so that path holds either its old content or all of the new
// bytes, never a part: a temporary file in the same folder, flushed, then renamed.
void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  namespace fs = std::filesystem;
  fs::path target(path);
  if (path.empty() || target.filename().empty())
    Fail(errnum::kPathNotFound, "Path not found: " + path);
  fs::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) Fail(errnum::kPathNotFound, "Path not found: " + path);
  std::string pattern = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) Fail(errnum::kPermissionDenied, "Permission denied: " + path);
  auto failWith = [&](int err) {
    close(fd);
    unlink(name.data());
    Fail(
        err == ENOSPC || err == EDQUOT ? errnum::kDiskFull : errnum::kPermissionDenied,
        std::string(err == ENOSPC || err == EDQUOT ? "Disk full: " : "Permission denied: ") + path);
  };
  fchmod(fd, 0644);
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      failWith(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fsync(fd) != 0) failWith(errno);
  if (close(fd) != 0) {
    int err = errno;
    unlink(name.data());
    Fail(err == ENOSPC ? errnum::kDiskFull : errnum::kPermissionDenied,
         "Permission denied: " + path);
  }
  if (rename(name.data(), path.c_str()) != 0) {
    unlink(name.data());
    Fail(errnum::kPermissionDenied, "Permission denied: " + path);
  }
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec))
    Fail(errnum::kFileNotFound, "File not found: " + path);
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(errnum::kPermissionDenied, "Permission denied: " + path);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) Fail(errnum::kPermissionDenied, "Permission denied: " + path);
  return bytes.str();
}

Value DefaultValue(int type) {
  switch (type) {
    case om::olText:
      return std::string();
    case om::olNumber:
    case om::olCurrency:
      return 0.0;
    case om::olYesNo:
      return false;
    case om::olDateTime:
      return DateTime::None();
    default:
      Fail(errnum::kInvalidProcedureCall, "Invalid procedure call or argument");
  }
}

Value Coerce(int type, const Value& v) {
  switch (type) {
    case om::olText:
      return ToText(v);
    case om::olNumber:
    case om::olCurrency:
      return ToDouble(v);
    case om::olYesNo:
      return ToBool(v);
    case om::olDateTime:
      return IsEmpty(v) ? DateTime::None() : ToDate(v);
    default:
      return v;
  }
}

}  // namespace

namespace detail {

struct AttachmentData {
  std::uint64_t id = 0;
  std::string fileName;
  std::string displayName;
  std::string bytes;
  std::map<std::uint32_t, Value> fields;
};

struct PropData {
  std::string name;
  int type = om::olText;
  Value value;
};

struct Content {
  std::string messageClass = "IPM.Note";
  std::string subject, htmlBody, body, to, billing, conversationIndex, conversationTopic;
  DateTime received = DateTime::None();
  std::vector<PropData> props;
  std::vector<AttachmentData> attachments;
};

class FolderNode;

struct ItemRecord {
  std::string entryId;
  FolderNode* folder = nullptr;  // nullptr: never saved
  Content content;
  bool gone = false;
};

class ItemsNode;
class FoldersNode;

struct State : std::enable_shared_from_this<State> {
  std::string storeName;
  std::vector<std::unique_ptr<FolderNode>> tops;
  std::unique_ptr<FoldersNode> topsView;
  std::map<int, FolderNode*> defaults;
  std::map<std::string, FolderNode*> mailboxes;  // folded owner name -> its Inbox
  std::uint64_t nextEntry = 1;
  std::uint64_t nextAttachment = 1;
  std::uint64_t nextConversation = 1;
  Faults faults;

  template <class T>
  std::shared_ptr<T> Share(T* p) {
    return std::shared_ptr<T>(shared_from_this(), p);
  }
  FolderNode* Top() { return tops.front().get(); }
  std::string NewEntryId() { return "00000000" + Hex(0x5354u, 8) + Hex(nextEntry++, 16); }
  std::string NewConversationIndex() {
    std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
    return "01" + Hex(now, 10) + Hex(0x4D454D53544F5245ull, 16) + Hex(nextConversation++, 16);
  }
  AttachmentData MakeAttachment(const std::string& fileName, const std::string& displayName,
                                std::string bytes) {
    AttachmentData a;
    a.id = nextAttachment++;
    a.fileName = fileName;
    a.displayName = displayName.empty() ? fileName : displayName;
    a.bytes = std::move(bytes);
    return a;
  }
  FolderNode* NodeOf(const std::shared_ptr<om::Folder>& folder);
  std::pair<FolderNode*, std::shared_ptr<ItemRecord>> Find(const std::string& entryId);
  void RaiseItemAdd(FolderNode* folder, const std::shared_ptr<ItemRecord>& rec);
  std::shared_ptr<om::Item> View(const std::shared_ptr<ItemRecord>& rec);
};

class FoldersNode : public om::Folders {
 public:
  FoldersNode(State* state, std::vector<std::unique_ptr<FolderNode>>* list)
      : state_(state), list_(list) {}
  std::int64_t Count() override { return static_cast<std::int64_t>(list_->size()); }
  std::shared_ptr<om::Folder> Item(std::int64_t index) override;
  std::shared_ptr<om::Folder> Item(const std::string& name) override;

 private:
  State* state_;
  std::vector<std::unique_ptr<FolderNode>>* list_;
};

class ItemsNode : public om::Items {
 public:
  ItemsNode(State* state, FolderNode* folder) : state_(state), folder_(folder) {}
  std::int64_t Count() override;
  std::shared_ptr<om::Item> Item(std::int64_t index) override;
  std::unique_ptr<om::ItemEnumerator> Enumerate() override;
  Event<std::shared_ptr<om::Item>>& ItemAdd() override { return itemAdd_; }

 private:
  State* state_;
  FolderNode* folder_;
  Event<std::shared_ptr<om::Item>> itemAdd_;
};

class FolderNode : public om::Folder {
 public:
  FolderNode(State* state, FolderNode* parent, std::string name, int itemType)
      : state(state),
        parent(parent),
        name(std::move(name)),
        itemType(itemType),
        itemsView(std::make_unique<ItemsNode>(state, this)),
        foldersView(std::make_unique<FoldersNode>(state, &children)) {}

  std::string Name() override { return name; }
  std::string FolderPath() override {
    return parent == nullptr ? "\\\\" + name : parent->FolderPath() + "\\" + name;
  }
  int DefaultItemType() override { return itemType; }
  std::shared_ptr<om::Folder> Parent() override {
    return parent == nullptr ? nullptr : state->Share<om::Folder>(parent);
  }
  std::shared_ptr<om::Folders> Folders() override {
    return state->Share<om::Folders>(foldersView.get());
  }
  std::shared_ptr<om::Items> Items() override { return state->Share<om::Items>(itemsView.get()); }

  FolderNode* Child(const std::string& childName) {
    for (auto& c : children) {
      if (SameText(c->name, childName)) return c.get();
    }
    return nullptr;
  }
  FolderNode* AddChild(const std::string& childName, int type) {
    children.push_back(std::make_unique<FolderNode>(state, this, childName, type));
    return children.back().get();
  }
  ItemsNode& ItemsEvents() { return *itemsView; }

  State* state;
  FolderNode* parent;
  std::string name;
  int itemType;
  std::vector<std::unique_ptr<FolderNode>> children;
  std::vector<std::shared_ptr<ItemRecord>> items;

 private:
  std::unique_ptr<ItemsNode> itemsView;
  std::unique_ptr<FoldersNode> foldersView;
};

std::shared_ptr<om::Folder> FoldersNode::Item(std::int64_t index) {
  if (index < 1 || index > Count())
    Fail(errnum::kSubscriptOutOfRange, "Array index out of bounds.");
  return state_->Share<om::Folder>((*list_)[static_cast<std::size_t>(index - 1)].get());
}

std::shared_ptr<om::Folder> FoldersNode::Item(const std::string& name) {
  for (auto& f : *list_) {
    if (SameText(f->name, name)) return state_->Share<om::Folder>(f.get());
  }
  Fail(errnum::kFail, "The folder \"" + name + "\" cannot be found.");
}

// An item object: a view over a stored record plus this object's pending edits.
class MemoryItem : public om::Item {
 public:
  MemoryItem(std::shared_ptr<State> state, std::shared_ptr<ItemRecord> rec)
      : state_(std::move(state)), rec_(std::move(rec)) {}

  void Alive() const {
    if (rec_->gone) Gone();
  }
  const std::string& Key() const { return rec_->entryId; }
  Faults& faults() { return state_->faults; }
  State& state() { return *state_; }
  std::shared_ptr<MemoryItem> Self() {
    return std::static_pointer_cast<MemoryItem>(shared_from_this());
  }

  const std::vector<AttachmentData>& AttachmentView() const {
    return attachments_ ? *attachments_ : rec_->content.attachments;
  }
  std::vector<AttachmentData>& AttachmentEdit() {
    if (!attachments_) attachments_ = rec_->content.attachments;
    return *attachments_;
  }
  const std::vector<PropData>& PropView() const { return props_ ? *props_ : rec_->content.props; }
  std::vector<PropData>& PropEdit() {
    if (!props_) props_ = rec_->content.props;
    return *props_;
  }

  std::string MessageClass() override { return Stored().messageClass; }
  std::string EntryID() override {
    Alive();
    return rec_->entryId;
  }
  std::string Subject() override { return Read(subject_, Stored().subject); }
  void SetSubject(const std::string& v) override { Write(Op::kSetSubject, subject_, v); }
  DateTime ReceivedTime() override { return Stored().received; }
  std::string ConversationIndex() override { return Stored().conversationIndex; }
  std::string ConversationTopic() override { return Stored().conversationTopic; }
  std::shared_ptr<om::Folder> Parent() override {
    Alive();
    return rec_->folder == nullptr ? nullptr : state_->Share<om::Folder>(rec_->folder);
  }
  std::string HTMLBody() override { return Read(html_, Stored().htmlBody); }
  void SetHTMLBody(const std::string& v) override { Write(Op::kSetHTMLBody, html_, v); }
  std::string Body() override { return Read(body_, Stored().body); }
  void SetBody(const std::string& v) override { Write(Op::kSetBody, body_, v); }
  std::string To() override { return Read(to_, Stored().to); }
  void SetTo(const std::string& v) override { Write(Op::kSetTo, to_, v); }
  std::string BillingInformation() override { return Read(billing_, Stored().billing); }
  void SetBillingInformation(const std::string& v) override {
    Write(Op::kSetBillingInformation, billing_, v);
  }
  std::shared_ptr<om::UserProperties> UserProperties() override;
  std::shared_ptr<om::Attachments> Attachments() override;
  void Save() override;
  void Delete() override;
  void DeletePermanently() override;
  void Display() override {
    Alive();
    faults().Check(Op::kDisplay, Key());
    hostapp::DisplayItem(Self());
    faults().Succeeded(Op::kDisplay, Key());
  }
  std::shared_ptr<om::Item> Reply() override { return Respond(Op::kReply, "RE: ", false); }
  std::shared_ptr<om::Item> Forward() override { return Respond(Op::kForward, "FW: ", true); }

 private:
  const Content& Stored() const {
    Alive();
    return rec_->content;
  }
  std::string Read(const std::optional<std::string>& pending, const std::string& stored) const {
    Alive();
    return pending ? *pending : stored;
  }
  void Write(Op op, std::optional<std::string>& pending, const std::string& v) {
    Alive();
    faults().Check(op, Key());
    pending = v;
    faults().Succeeded(op, Key());
  }
  std::shared_ptr<om::Item> Respond(Op op, const std::string& prefix, bool withAttachments);
  void DropPending() {
    subject_.reset();
    html_.reset();
    body_.reset();
    to_.reset();
    billing_.reset();
    props_.reset();
    attachments_.reset();
  }

  std::shared_ptr<State> state_;
  std::shared_ptr<ItemRecord> rec_;
  std::optional<std::string> subject_, html_, body_, to_, billing_;
  std::optional<std::vector<PropData>> props_;
  std::optional<std::vector<AttachmentData>> attachments_;
};

void MemoryItem::Save() {
  Alive();
  faults().Check(Op::kSave, Key());
  // Everything is computed first and committed at the end, so a save either
  // writes all pending edits or nothing.
  Content next = rec_->content;
  if (subject_) next.subject = *subject_;
  if (html_) next.htmlBody = *html_;
  if (body_) next.body = *body_;
  if (to_) next.to = *to_;
  if (billing_) next.billing = *billing_;
  if (props_) next.props = *props_;
  if (attachments_) next.attachments = *attachments_;
  FolderNode* added = nullptr;
  if (rec_->folder == nullptr) {
    FolderNode* drafts = state_->defaults.at(om::olFolderDrafts);
    rec_->entryId = state_->NewEntryId();
    rec_->folder = drafts;
    drafts->items.push_back(rec_);
    added = drafts;
  }
  rec_->content = std::move(next);
  DropPending();
  faults().Succeeded(Op::kSave, Key());
  if (added != nullptr) state_->RaiseItemAdd(added, rec_);
}

void MemoryItem::Delete() {
  Alive();
  faults().Check(Op::kDelete, Key());
  FolderNode* from = rec_->folder;
  rec_->gone = true;
  DropPending();
  if (from == nullptr) {
    faults().Succeeded(Op::kDelete, Key());
    return;
  }
  std::erase(from->items, rec_);
  FolderNode* deleted = state_->defaults.at(om::olFolderDeletedItems);
  std::shared_ptr<ItemRecord> moved;
  if (from != deleted) {
    // Every object over the old place is gone; the item lives on as a new record.
    moved = std::make_shared<ItemRecord>(*rec_);
    moved->gone = false;
    moved->folder = deleted;
    deleted->items.push_back(moved);
  }
  faults().Succeeded(Op::kDelete, Key());
  if (moved) state_->RaiseItemAdd(deleted, moved);
}

void MemoryItem::DeletePermanently() {
  Alive();
  faults().Check(Op::kDelete, Key());
  rec_->gone = true;
  DropPending();
  if (FolderNode* from = rec_->folder) std::erase(from->items, rec_);
  faults().Succeeded(Op::kDelete, Key());
}

std::shared_ptr<om::Item> MemoryItem::Respond(Op op, const std::string& prefix,
                                              bool withAttachments) {
  Alive();
  faults().Check(op, Key());
  auto rec = std::make_shared<ItemRecord>();
  Content& c = rec->content;
  const Content& from = rec_->content;
  std::string subject = Subject();
  c.messageClass = "IPM.Note";
  c.subject = prefix + subject;
  c.htmlBody = HTMLBody();
  c.body = Body();
  c.conversationTopic = from.conversationTopic.empty() ? subject : from.conversationTopic;
  c.conversationIndex = from.conversationIndex.empty()
                            ? state_->NewConversationIndex()
                            : from.conversationIndex + Hex(state_->nextConversation++, 10);
  if (withAttachments) {
    for (const auto& a : AttachmentView()) {
      AttachmentData copy = a;
      copy.id = state_->nextAttachment++;
      c.attachments.push_back(std::move(copy));
    }
  }
  faults().Succeeded(op, Key());
  return std::make_shared<MemoryItem>(state_, rec);
}

class MemoryUserProperty : public om::UserProperty {
 public:
  MemoryUserProperty(std::shared_ptr<MemoryItem> item, std::string name)
      : item_(std::move(item)), name_(std::move(name)) {}
  std::string Name() override { return View().name; }
  int Type() override { return View().type; }
  Value GetValue() override { return View().value; }
  void SetValue(const Value& v) override {
    View();
    item_->faults().Check(Op::kUserPropertySetValue, item_->Key());
    PropData* p = Locate(item_->PropEdit());
    p->value = Coerce(p->type, v);
    item_->faults().Succeeded(Op::kUserPropertySetValue, item_->Key());
  }

 private:
  template <class V>
  auto Locate(V& props) -> decltype(&props.front()) {
    for (auto& p : props) {
      if (SameText(p.name, name_)) return &p;
    }
    return nullptr;
  }
  const PropData& View() {
    item_->Alive();
    auto* p = Locate(item_->PropView());
    if (p == nullptr) Gone();
    return *p;
  }
  std::shared_ptr<MemoryItem> item_;
  std::string name_;
};

class MemoryUserProperties : public om::UserProperties {
 public:
  explicit MemoryUserProperties(std::shared_ptr<MemoryItem> item) : item_(std::move(item)) {}
  std::shared_ptr<om::UserProperty> Find(const std::string& name) override {
    item_->Alive();
    item_->faults().Check(Op::kUserPropertiesFind, item_->Key());
    if (item_->faults().InConflict(item_->Key())) {
      Fail(errnum::kItemInConflict, Describe(errnum::kItemInConflict));
    }
    for (const auto& p : item_->PropView()) {
      if (SameText(p.name, name)) {
        item_->faults().Succeeded(Op::kUserPropertiesFind, item_->Key());
        return std::make_shared<MemoryUserProperty>(item_, p.name);
      }
    }
    item_->faults().Succeeded(Op::kUserPropertiesFind, item_->Key());
    return nullptr;
  }
  std::shared_ptr<om::UserProperty> Add(const std::string& name, int type, bool) override {
    item_->Alive();
    item_->faults().Check(Op::kUserPropertiesAdd, item_->Key());
    if (name.empty()) Fail(errnum::kInvalidProcedureCall, "Invalid procedure call or argument");
    Value initial = DefaultValue(type);
    for (const auto& p : item_->PropView()) {
      if (SameText(p.name, name))
        Fail(errnum::kFail, "A property named " + name + " exists already.");
    }
    item_->PropEdit().push_back(PropData{name, type, std::move(initial)});
    item_->faults().Succeeded(Op::kUserPropertiesAdd, item_->Key());
    return std::make_shared<MemoryUserProperty>(item_, name);
  }
  std::int64_t Count() override {
    item_->Alive();
    return static_cast<std::int64_t>(item_->PropView().size());
  }

 private:
  std::shared_ptr<MemoryItem> item_;
};

class MemoryAttachment : public om::Attachment {
 public:
  MemoryAttachment(std::shared_ptr<MemoryItem> item, std::uint64_t id)
      : item_(std::move(item)), id_(id) {}
  std::string FileName() override { return View().fileName; }
  std::string DisplayName() override { return View().displayName; }
  std::int64_t Size() override { return static_cast<std::int64_t>(View().bytes.size()); }
  Value Field(std::uint32_t tag) override {
    const auto& fields = View().fields;
    auto it = fields.find(tag);
    return it == fields.end() ? Value{} : it->second;
  }
  void SetField(std::uint32_t tag, const Value& v) override {
    std::string name = View().fileName;
    item_->faults().Check(Op::kAttachmentSetField, name);
    // The properties keep their MAPI types: the content id is text, the hidden flag a boolean.
    Value typed = v;
    if (!IsEmpty(v)) {
      if (tag == om::PR_ATTACH_CONTENT_ID) typed = ToText(v);
      if (tag == om::PR_ATTACHMENT_HIDDEN) typed = ToBool(v);
    }
    AttachmentData* a = Locate(item_->AttachmentEdit());
    if (IsEmpty(typed)) {
      a->fields.erase(tag);
    } else {
      a->fields[tag] = typed;
    }
    item_->faults().Succeeded(Op::kAttachmentSetField, name);
  }
  void SaveAsFile(const std::string& path) override {
    const AttachmentData& a = View();
    item_->faults().Check(Op::kAttachmentSaveAsFile, a.fileName);
    WriteFileAtomically(path, a.bytes);
    item_->faults().Succeeded(Op::kAttachmentSaveAsFile, a.fileName);
  }
  void Delete() override {
    std::string name = View().fileName;
    item_->faults().Check(Op::kAttachmentDelete, name);
    std::erase_if(item_->AttachmentEdit(), [&](const AttachmentData& a) { return a.id == id_; });
    item_->faults().Succeeded(Op::kAttachmentDelete, name);
  }

 private:
  template <class V>
  auto Locate(V& list) -> decltype(&list.front()) {
    for (auto& a : list) {
      if (a.id == id_) return &a;
    }
    Gone();
  }
  const AttachmentData& View() {
    item_->Alive();
    return *Locate(item_->AttachmentView());
  }
  std::shared_ptr<MemoryItem> item_;
  std::uint64_t id_;
};

class MemoryAttachments : public om::Attachments {
 public:
  explicit MemoryAttachments(std::shared_ptr<MemoryItem> item) : item_(std::move(item)) {}
  std::int64_t Count() override {
    item_->Alive();
    return static_cast<std::int64_t>(item_->AttachmentView().size());
  }
  std::shared_ptr<om::Attachment> Item(std::int64_t index) override {
    if (index < 1 || index > Count()) {
      Fail(errnum::kSubscriptOutOfRange, "Array index out of bounds.");
    }
    return std::make_shared<MemoryAttachment>(
        item_, item_->AttachmentView()[static_cast<std::size_t>(index - 1)].id);
  }
  std::vector<std::shared_ptr<om::Attachment>> All() override {
    item_->Alive();
    std::vector<std::shared_ptr<om::Attachment>> all;
    for (const auto& a : item_->AttachmentView()) {
      all.push_back(std::make_shared<MemoryAttachment>(item_, a.id));
    }
    return all;
  }
  std::shared_ptr<om::Attachment> Add(const std::string& path,
                                      const std::string& displayName) override {
    item_->Alive();
    std::string fileName = BaseName(path);
    item_->faults().Check(Op::kAttachmentsAdd, fileName);
    std::string bytes = ReadWholeFile(path);
    AttachmentData a = item_->state().MakeAttachment(fileName, displayName, std::move(bytes));
    std::uint64_t id = a.id;
    item_->AttachmentEdit().push_back(std::move(a));
    item_->faults().Succeeded(Op::kAttachmentsAdd, fileName);
    return std::make_shared<MemoryAttachment>(item_, id);
  }

 private:
  std::shared_ptr<MemoryItem> item_;
};

std::shared_ptr<om::UserProperties> MemoryItem::UserProperties() {
  Alive();
  return std::make_shared<MemoryUserProperties>(Self());
}

std::shared_ptr<om::Attachments> MemoryItem::Attachments() {
  Alive();
  faults().Check(Op::kAttachments, Key());
  faults().Succeeded(Op::kAttachments, Key());
  return std::make_shared<MemoryAttachments>(Self());
}

// Visits the items present when the walk began, skipping those that left the folder
// (deleted, moved, gone) in the meantime.
class MemoryEnumerator : public om::ItemEnumerator {
 public:
  MemoryEnumerator(std::shared_ptr<State> state, FolderNode* folder)
      : state_(std::move(state)), folder_(folder), snapshot_(folder->items) {}
  std::shared_ptr<om::Item> Next() override {
    while (next_ < snapshot_.size()) {
      auto& rec = snapshot_[next_++];
      if (!rec->gone && rec->folder == folder_) return state_->View(rec);
    }
    return nullptr;
  }

 private:
  std::shared_ptr<State> state_;
  FolderNode* folder_;
  std::vector<std::shared_ptr<ItemRecord>> snapshot_;
  std::size_t next_ = 0;
};

std::int64_t ItemsNode::Count() {
  return static_cast<std::int64_t>(folder_->items.size());
}

std::shared_ptr<om::Item> ItemsNode::Item(std::int64_t index) {
  if (index < 1 || index > Count())
    Fail(errnum::kSubscriptOutOfRange, "Array index out of bounds.");
  return state_->View(folder_->items[static_cast<std::size_t>(index - 1)]);
}

std::unique_ptr<om::ItemEnumerator> ItemsNode::Enumerate() {
  return std::make_unique<MemoryEnumerator>(state_->shared_from_this(), folder_);
}

class MemoryRecipient : public om::Recipient {
 public:
  MemoryRecipient(std::shared_ptr<State> state, std::string name)
      : state_(std::move(state)), name_(std::move(name)) {}
  std::string Name() override { return name_; }
  bool Resolve() override {
    resolved_ = state_->mailboxes.count(Fold(name_)) != 0;
    return resolved_;
  }
  bool Resolved() override { return resolved_; }

 private:
  std::shared_ptr<State> state_;
  std::string name_;
  bool resolved_ = false;
};

FolderNode* State::NodeOf(const std::shared_ptr<om::Folder>& folder) {
  auto* node = dynamic_cast<FolderNode*>(folder.get());
  if (node == nullptr || node->state != this) {
    Fail(errnum::kInvalidProcedureCall, "The folder does not belong to this store.");
  }
  return node;
}

std::pair<FolderNode*, std::shared_ptr<ItemRecord>> State::Find(const std::string& entryId) {
  std::vector<FolderNode*> pending;
  for (auto& t : tops) pending.push_back(t.get());
  while (!pending.empty()) {
    FolderNode* f = pending.back();
    pending.pop_back();
    for (auto& rec : f->items) {
      if (rec->entryId == entryId) return {f, rec};
    }
    for (auto& c : f->children) pending.push_back(c.get());
  }
  return {nullptr, nullptr};
}

std::shared_ptr<om::Item> State::View(const std::shared_ptr<ItemRecord>& rec) {
  return std::make_shared<MemoryItem>(shared_from_this(), rec);
}

void State::RaiseItemAdd(FolderNode* folder, const std::shared_ptr<ItemRecord>& rec) {
  folder->ItemsEvents().ItemAdd().Raise(View(rec));
}

}  // namespace detail

using detail::FolderNode;

// ---- Faults ----

void Faults::Fail(Op op, const std::string& key, std::int32_t number, int times) {
  if (times == 0) return;
  plans_.push_back(Plan{op, key, number, times});
}

void Faults::SetConflict(const std::string& entryId, bool inConflict) {
  if (inConflict) {
    conflicts_[entryId] = true;
  } else {
    conflicts_.erase(entryId);
  }
}

void Faults::FailGetDefaultFolder(int folderType, std::int32_t number) {
  if (number == 0) {
    defaultFolderFailures_.erase(folderType);
  } else {
    defaultFolderFailures_[folderType] = number;
  }
}

bool Faults::MakeGone(const std::string& entryId) {
  auto [folder, rec] = state_->Find(entryId);
  if (rec == nullptr) return false;
  rec->gone = true;
  std::erase(folder->items, rec);
  return true;
}

void Faults::Clear() {
  plans_.clear();
  conflicts_.clear();
  defaultFolderFailures_.clear();
}

int Faults::Count(Op op, const std::string& key) const {
  if (!key.empty()) {
    auto it = counts_.find({op, key});
    return it == counts_.end() ? 0 : it->second;
  }
  int total = 0;
  for (const auto& [k, n] : counts_) {
    if (k.first == op) total += n;
  }
  return total;
}

void Faults::Check(Op op, const std::string& key) {
  for (auto it = plans_.begin(); it != plans_.end(); ++it) {
    if (it->op != op || (!it->key.empty() && it->key != key)) continue;
    std::int32_t number = it->number;
    if (it->times > 0 && --it->times == 0) plans_.erase(it);
    ++injected_;
    stow::mem::Fail(number, Describe(number));
  }
}

void Faults::Succeeded(Op op, const std::string& key) {
  ++counts_[{op, key}];
}

bool Faults::InConflict(const std::string& entryId) const {
  return conflicts_.count(entryId) != 0;
}

void Faults::CheckDefaultFolder(int folderType) const {
  auto it = defaultFolderFailures_.find(folderType);
  if (it != defaultFolderFailures_.end()) stow::mem::Fail(it->second, Describe(it->second));
}

// ---- MemoryStore ----

MemoryStore::MemoryStore(const std::string& displayName)
    : state_(std::make_shared<detail::State>()) {
  auto& s = *state_;
  s.storeName = displayName;
  s.faults.state_ = state_.get();
  s.tops.push_back(
      std::make_unique<FolderNode>(state_.get(), nullptr, displayName, om::olMailItem));
  s.topsView = std::make_unique<detail::FoldersNode>(state_.get(), &s.tops);
  FolderNode* top = s.Top();
  s.defaults[om::olFolderInbox] = top->AddChild("Inbox", om::olMailItem);
  s.defaults[om::olFolderSentMail] = top->AddChild("Sent Items", om::olMailItem);
  s.defaults[om::olFolderDeletedItems] = top->AddChild("Deleted Items", om::olMailItem);
  s.defaults[om::olFolderDrafts] = top->AddChild("Drafts", om::olMailItem);
  s.defaults[om::olFolderCalendar] = top->AddChild("Calendar", om::olAppointmentItem);
}

MemoryStore::~MemoryStore() = default;

std::shared_ptr<om::Folder> MemoryStore::GetDefaultFolder(int folderType) {
  state_->faults.CheckDefaultFolder(folderType);
  auto it = state_->defaults.find(folderType);
  if (it == state_->defaults.end()) {
    Fail(errnum::kFail, "The store has no default folder of type " + std::to_string(folderType));
  }
  return state_->Share<om::Folder>(it->second);
}

std::shared_ptr<om::Folder> MemoryStore::PickFolder() {
  return hostapp::PickFolder();
}

std::shared_ptr<om::Folders> MemoryStore::Folders() {
  return state_->Share<om::Folders>(state_->topsView.get());
}

std::shared_ptr<om::Recipient> MemoryStore::CreateRecipient(const std::string& name) {
  return std::make_shared<detail::MemoryRecipient>(state_, name);
}

std::shared_ptr<om::Folder> MemoryStore::GetSharedDefaultFolder(
    const std::shared_ptr<om::Recipient>& owner, int folderType) {
  if (owner == nullptr) Fail(errnum::kObjectVariableNotSet, "Object variable not set");
  auto it = state_->mailboxes.find(Fold(owner->Name()));
  if (it == state_->mailboxes.end()) {
    Fail(errnum::kFail, "The mailbox of " + owner->Name() + " cannot be opened.");
  }
  if (folderType != om::olFolderInbox) {
    Fail(errnum::kFail, "The mailbox of " + owner->Name() + " has no such folder.");
  }
  return state_->Share<om::Folder>(it->second);
}

std::shared_ptr<om::Folder> MemoryStore::Root() {
  return state_->Share<om::Folder>(state_->Top());
}

std::shared_ptr<om::Folder> MemoryStore::AddFolder(const std::shared_ptr<om::Folder>& parent,
                                                   const std::string& name, int itemType) {
  FolderNode* node = state_->NodeOf(parent);
  if (name.empty()) Fail(errnum::kInvalidProcedureCall, "A folder needs a name.");
  if (node->Child(name) != nullptr) {
    Fail(errnum::kKeyAlreadyInCollection, "The folder " + name + " exists already.");
  }
  return state_->Share<om::Folder>(node->AddChild(name, itemType));
}

std::shared_ptr<om::Folder> MemoryStore::AddMailbox(const std::string& ownerName) {
  std::string key = Fold(ownerName);
  if (auto it = state_->mailboxes.find(key); it != state_->mailboxes.end()) {
    return state_->Share<om::Folder>(it->second);
  }
  state_->tops.push_back(std::make_unique<FolderNode>(state_.get(), nullptr,
                                                      "Mailbox - " + ownerName, om::olMailItem));
  FolderNode* inbox = state_->tops.back()->AddChild("Inbox", om::olMailItem);
  state_->mailboxes[key] = inbox;
  return state_->Share<om::Folder>(inbox);
}

std::shared_ptr<om::Folder> MemoryStore::FolderByPath(const std::string& folderPath) {
  std::vector<FolderNode*> pending;
  for (auto& t : state_->tops) pending.push_back(t.get());
  while (!pending.empty()) {
    FolderNode* f = pending.back();
    pending.pop_back();
    if (SameText(f->FolderPath(), folderPath)) return state_->Share<om::Folder>(f);
    for (auto& c : f->children) pending.push_back(c.get());
  }
  return nullptr;
}

std::shared_ptr<om::Item> MemoryStore::AddMail(const std::shared_ptr<om::Folder>& folder,
                                               const MailSpec& mailSpec) {
  FolderNode* node = state_->NodeOf(folder);
  auto rec = std::make_shared<detail::ItemRecord>();
  detail::Content& c = rec->content;
  c.messageClass = mailSpec.messageClass;
  c.subject = mailSpec.subject;
  c.htmlBody = mailSpec.htmlBody;
  c.body = mailSpec.body;
  c.to = mailSpec.to;
  c.billing = mailSpec.billingInformation;
  c.conversationIndex = mailSpec.conversationIndex;
  c.conversationTopic = mailSpec.conversationTopic;
  c.received = mailSpec.receivedTime.year == 0 ? DateTime::FromUnix(std::time(nullptr))
                                               : mailSpec.receivedTime;
  for (const auto& a : mailSpec.attachments) {
    detail::AttachmentData data = state_->MakeAttachment(a.fileName, "", a.bytes);
    if (!a.contentId.empty()) data.fields[om::PR_ATTACH_CONTENT_ID] = a.contentId;
    if (a.hidden) data.fields[om::PR_ATTACHMENT_HIDDEN] = true;
    c.attachments.push_back(std::move(data));
  }
  rec->entryId = state_->NewEntryId();
  rec->folder = node;
  node->items.push_back(rec);
  return state_->View(rec);
}

std::shared_ptr<om::Item> MemoryStore::Deliver(const std::shared_ptr<om::Folder>& folder,
                                               const MailSpec& mailSpec) {
  auto item = AddMail(folder, mailSpec);
  auto [node, rec] = state_->Find(item->EntryID());
  state_->RaiseItemAdd(node, rec);
  return item;
}

std::shared_ptr<om::Item> MemoryStore::CreateMailItem() {
  auto rec = std::make_shared<detail::ItemRecord>();
  rec->content.messageClass = "IPM.Note";
  return state_->View(rec);
}

std::shared_ptr<om::Item> MemoryStore::FindByEntryId(const std::string& entryId) {
  if (entryId.empty()) return nullptr;
  auto [folder, rec] = state_->Find(entryId);
  return rec == nullptr ? nullptr : state_->View(rec);
}

std::int64_t MemoryStore::ItemCount() {
  std::int64_t n = 0;
  std::vector<FolderNode*> pending;
  for (auto& t : state_->tops) pending.push_back(t.get());
  while (!pending.empty()) {
    FolderNode* f = pending.back();
    pending.pop_back();
    n += static_cast<std::int64_t>(f->items.size());
    for (auto& c : f->children) pending.push_back(c.get());
  }
  return n;
}

Faults& MemoryStore::faults() {
  return state_->faults;
}

}  // namespace stow::mem
