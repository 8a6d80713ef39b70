#include "platform/maildir/mime_item.h"

#include <glib.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "platform/com_error.h"
#include "platform/hostapp/hooks.h"
#include "platform/maildir/fast_scan.h"
#include "platform/maildir/header_auth.h"
#include "platform/maildir/item_attachments.h"
#include "platform/maildir/item_marks.h"
#include "platform/maildir/store_util.h"

namespace stow::maildir {

namespace {

using mime::GRef;

std::string StripReplyPrefixes(std::string s) {
  static const char* const kPrefixes[] = {"re:", "fw:", "fwd:", "aw:", "wg:", "sv:", "vs:", "tr:"};
  for (bool again = true; again;) {
    again = false;
    std::size_t b = s.find_first_not_of(" \t");
    s = b == std::string::npos ? "" : s.substr(b);
    for (const char* p : kPrefixes) {
      std::size_t n = std::strlen(p);
      if (s.size() >= n && g_ascii_strncasecmp(s.c_str(), p, n) == 0) {
        s = s.substr(n);
        again = true;
        break;
      }
    }
  }
  return s;
}

}  // namespace

MimeItem::MimeItem(std::shared_ptr<ItemHost> host, std::unique_ptr<MessageStorage> storage)
    : host_(std::move(host)), storage_(std::move(storage)) {
  if (storage_->EntryId().empty()) doc_ = mime::Document::NewMail();
}

std::shared_ptr<MimeItem> MimeItem::Self() {
  return std::static_pointer_cast<MimeItem>(shared_from_this());
}

void MimeItem::Alive() {
  if (gone_ || storage_->Gone())
    Raise(errnum::kObjectGone, kSource, "The item has been moved or deleted");
}

// --- reading

GMimeMessage* MimeItem::HeaderMessage() {
  if (doc_) return doc_->message();
  if (!headers_)
    headers_ = mime::Document::ParseHeaders(storage_->ReadHeader().text, storage_->Describe());
  return headers_->message();
}

std::shared_ptr<mime::Document> MimeItem::Doc() {
  if (!doc_) doc_ = mime::Document::Parse(storage_->Open(), storage_->Describe());
  return doc_;
}

std::shared_ptr<mime::Document> MimeItem::SoundDoc() {
  Alive();
  auto d = Doc();
  if (!d->damage().empty())
    Raise(errnum::kFail, kSource,
          "The message \"" + Subject() + "\" (" + storage_->Describe() +
              ") is damaged: " + d->damage() + ". It was left unchanged.");
  return d;
}

template <class F>
auto MimeItem::ReadingRecords(const F& read) {
  RecordReader reader(host_->auth());
  auto result = read(reader);
  if (reader.sawForeign()) host_->NoteUnverifiable(storage_->EntryId());
  return result;
}

std::string MimeItem::EntryID() {
  Alive();
  return storage_->EntryId();
}

std::string MimeItem::Subject() {
  Alive();
  if (subject_) return *subject_;
  return mime::Subject(HeaderMessage());
}

void MimeItem::SetSubject(const std::string& subject) {
  Alive();
  subject_ = subject;
}

std::int64_t MimeItem::DeliverySeconds() {
  if (auto t = storage_->DeliveryTime()) return *t;
  if (auto t = mime::ReceivedTime(HeaderMessage())) return *t;
  if (auto t = storage_->StoredTime()) return *t;
  return static_cast<std::int64_t>(time(nullptr));
}

DateTime MimeItem::ReceivedTime() {
  Alive();
  if (storage_->EntryId().empty()) return DateTime::None();
  return DateTime::FromUnix(DeliverySeconds());
}

std::string MimeItem::MessageClass() {
  Alive();
  bool saved = !storage_->EntryId().empty();
  if (!saved && !doc_) return "IPM.Note";
  GMimeMessage* m = HeaderMessage();
  GMimeObject* top = mime::TopPart(m);
  std::string type = mime::MimeType(top);
  auto param = [&](GMimeObject* o, const char* name) {
    std::string s = mime::ContentTypeParameter(o, name).value_or("");
    for (auto& c : s) c = g_ascii_toupper(c);
    return s;
  };
  auto calendarClass = [&](GMimeObject* o) -> std::string {
    std::string method = param(o, "method");
    if (method == "REQUEST") return "IPM.Schedule.Meeting.Request";
    if (method == "CANCEL") return "IPM.Schedule.Meeting.Canceled";
    return "";
  };
  if (type == "MULTIPART/SIGNED") return "IPM.Note.SMIME.MultipartSigned";
  if (type == "APPLICATION/PKCS7-MIME" || type == "APPLICATION/X-PKCS7-MIME")
    return "IPM.Note.SMIME";
  if (type == "MULTIPART/ENCRYPTED") return "IPM.Note.Secure";
  if (type == "MULTIPART/REPORT") {
    std::string report = param(top, "report-type");
    if (report == "DELIVERY-STATUS") return "REPORT.IPM.Note.NDR";
    if (report == "DISPOSITION-NOTIFICATION") return "REPORT.IPM.Note.IPNRN";
  }
  if (type == "TEXT/CALENDAR") {
    std::string c = calendarClass(top);
    if (!c.empty()) return c;
  }
  if (type.rfind("MULTIPART/", 0) == 0 && saved) {
    // An invitation hides a text/calendar part inside; only a message that mentions
    // one is worth a structural parse.
    bool mentions = doc_ != nullptr;
    if (!mentions)
      IgnoreErrors([&] {
        int fd = storage_->Open();
        mentions = scan::Mentions(fd, "text/calendar");
        close(fd);
      });
    if (mentions)
      for (GMimeObject* leaf : mime::LeafParts(Doc()->message()))
        if (mime::MimeType(leaf) == "TEXT/CALENDAR")
          if (std::string found = calendarClass(leaf); !found.empty()) return found;
  }
  if (!mime::RawHeader(m, "Newsgroups").empty() && mime::RawHeader(m, "To").empty())
    return "IPM.Post";
  return "IPM.Note";
}

std::string MimeItem::ConversationIndex() {
  Alive();
  GMimeMessage* m = HeaderMessage();
  std::string threadIndex = mime::RawHeader(m, "Thread-Index");
  if (!threadIndex.empty()) {
    std::string clean;
    for (char c : threadIndex)
      if (!g_ascii_isspace(c)) clean += c;
    if (auto raw = UnBase64(clean); raw && !raw->empty()) return HexUpper(*raw);
  }
  std::string unique = storage_->EntryId();
  if (unique.empty() && !threaded_) return "";
  // Derived the way the host builds one: a 22-byte header for the thread's root
  // (time and a hash of the root message id), then 5 bytes per reply level.
  std::vector<std::string> refs = mime::MessageIdsIn(mime::RawHeader(m, "References"));
  if (refs.empty()) {
    auto inReplyTo = mime::MessageIdsIn(mime::RawHeader(m, "In-Reply-To"));
    if (!inReplyTo.empty()) refs.push_back(inReplyTo.front());
  }
  std::string root = refs.empty() ? mime::MessageId(m) : refs.front();
  if (root.empty()) root = unique;
  std::string bytes(1, '\x01');
  std::string h = Md5("time:" + root);
  bytes += h.substr(0, 5);
  bytes += Md5(root);
  for (std::size_t i = 1; i < refs.size(); ++i) bytes += Md5(refs[i]).substr(0, 5);
  if (!refs.empty()) bytes += Md5(mime::MessageId(m)).substr(0, 5);
  return HexUpper(bytes);
}

std::string MimeItem::ConversationTopic() {
  Alive();
  std::string topic = mime::RawHeader(HeaderMessage(), "Thread-Topic");
  if (!topic.empty()) return mime::DecodeHeaderText(topic);
  if (storage_->EntryId().empty() && !threaded_) return "";
  return StripReplyPrefixes(Subject());
}

std::shared_ptr<om::Folder> MimeItem::Parent() {
  Alive();
  return storage_->Folder();
}

std::string MimeItem::HTMLBody() {
  auto b = mime::FindBodies(SoundDoc()->message());
  return b.html ? mime::PartText(b.html) : "";
}

void MimeItem::SetHTMLBody(const std::string& html) {
  RefuseIfSealed(nullptr);
  auto prior = CurrentPlainEdit();
  plainEdit_ = mime::SetBodies(SoundDoc()->message(), html, prior);
}

std::optional<PlainEdit> MimeItem::CurrentPlainEdit() {
  if (!plainEdit_)
    plainEdit_ =
        ReadingRecords([&](RecordReader& r) { return r.PlainEditOf(SoundDoc()->message()); });
  return *plainEdit_;
}

std::string MimeItem::Body() {
  auto b = mime::FindBodies(SoundDoc()->message());
  if (b.plain) return mime::PartText(b.plain);
  return b.html ? HtmlToText(mime::PartText(b.html)) : "";
}

void MimeItem::SetBody(const std::string& text) {
  RefuseIfSealed(nullptr);
  mime::SetPlainBody(SoundDoc()->message(), text);
}

std::string MimeItem::To() {
  Alive();
  return mime::To(HeaderMessage());
}

void MimeItem::SetTo(const std::string& to) {
  mime::SetTo(SoundDoc()->message(), to);
}

// BillingInformation from the header block read without GMime, which a sweep over
// a large folder asks of every message; nullopt when GMime has to read it.
std::optional<std::string> MimeItem::QuickBilling() {
  auto header = storage_->ReadHeader();
  auto block = scan::SimpleHeaderBlockOf(header, {kBillingHeader, "Message-ID"});
  if (!block) {
    headers_ = mime::Document::ParseHeaders(std::move(header.text), storage_->Describe());
    return std::nullopt;
  }
  auto values = block->Values(kBillingHeader);
  if (values.empty()) return std::string();
  return ReadingRecords([&](RecordReader& r) { return r.Billing(block->MessageId(), values); });
}

std::string MimeItem::BillingInformation() {
  Alive();
  if (billing_) return *billing_;
  // The mark as the file holds it, not yet read here: a sweep that met this very
  // version of the file before need not read it again.
  std::string key = doc_ || headers_ ? "" : storage_->VersionKey();
  if (!key.empty())
    if (auto cached = host_->CachedMark(storage_->Describe(), key)) return *cached;
  std::optional<std::string> mark;
  if (!doc_ && !headers_) mark = QuickBilling();
  if (!mark) mark = ReadingRecords([&](RecordReader& r) { return r.Billing(HeaderMessage()); });
  if (!key.empty()) host_->RememberMark(storage_->Describe(), key, *mark);
  return *mark;
}

void MimeItem::SetBillingInformation(const std::string& text) {
  Alive();
  billing_ = text;
}

std::vector<std::shared_ptr<PropertyState>>& MimeItem::Properties() {
  Alive();
  if (!props_)
    props_ = ReadingRecords([&](RecordReader& r) { return r.Properties(HeaderMessage()); });
  return *props_;
}

std::shared_ptr<om::UserProperties> MimeItem::UserProperties() {
  Alive();
  return MakeUserProperties(Self());
}

void MimeItem::CheckConflict() {
  if (storage_->InConflict())
    Raise(errnum::kItemInConflict, kSource,
          "The item is in conflict: the folder holds more than one copy of " + storage_->EntryId());
}

// --- attachments

std::vector<std::shared_ptr<AttachmentState>> MimeItem::AttachmentStates() {
  auto doc = SoundDoc();
  std::vector<std::shared_ptr<AttachmentState>> out;
  auto parts = mime::AttachmentParts(doc->message());
  bool first = states_.empty();
  auto madeNames = first ? mime::NamelessInlineNames(doc->message(), parts)
                         : std::map<GMimeObject*, std::string>();
  for (GMimeObject* part : parts) {
    auto& st = states_[part];
    if (!st) {
      st = std::make_shared<AttachmentState>();
      st->part = GRef<GMimeObject>::Share(part);
      st->indexes = mime::PlaceOf(doc->message(), part);
      st->madeName = madeNames[part];
    }
    out.push_back(st);
  }
  for (auto& st : LooseStates())
    if (!st->deleted) out.push_back(st);
  return out;
}

std::vector<std::shared_ptr<AttachmentState>>& MimeItem::LooseStates() {
  if (!loose_) {
    loose_.emplace();
    GMimeMessage* m = SoundDoc()->message();
    for (auto& file : ReadingRecords([&](RecordReader& r) { return r.HiddenFiles(m); })) {
      auto st = std::make_shared<AttachmentState>();
      st->part = mime::LoosePart(file.name, file.bytes);
      mime::SetContentId(st->part.get(), file.contentId);
      st->size = static_cast<std::int64_t>(file.bytes.size());
      st->loose = true;
      loose_->push_back(st);
    }
  }
  return *loose_;
}

void MimeItem::PlaceHidden(GMimeMessage* m, std::vector<HiddenFile>& hidden,
                           std::vector<GMimeObject*>& hiddenParts) {
  // A header of this size is still read by every tool; a larger hidden attachment
  // stays a part, marked hidden.
  constexpr std::int64_t kLooseBytes = 16 * 1024;
  for (auto& st : AttachmentStates()) {
    bool isHidden = st->hidden ? *st->hidden : st->loose || StoredHidden(st->part.get());
    if (st->loose && !isHidden) {
      mime::AddLoosePart(m, st->part.get());
      st->loose = false;
      std::erase(*loose_, st);
      states_[st->part.get()] = st;
      continue;
    }
    if (!st->loose && isHidden) {
      std::string bytes;
      bool small = !mime::InsideSealed(m, st->part.get()) &&
                   mime::DecodedSize(st->part.get()) <= kLooseBytes &&
                   IgnoreErrors([&] { bytes = mime::PartBytes(st->part.get()); }) == 0;
      if (!small) {
        hiddenParts.push_back(st->part.get());
        continue;
      }
      mime::TakeOutOfStructure(m, st->part.get());
      states_.erase(st->part.get());
      st->loose = true;
      LooseStates().push_back(st);
    }
    if (st->loose) {
      std::string name = mime::PartFileName(st->part.get());
      hidden.push_back(
          HiddenFile{name, mime::PartBytes(st->part.get()), mime::ContentId(st->part.get())});
    }
  }
}

std::shared_ptr<om::Attachments> MimeItem::Attachments() {
  SoundDoc();
  return MakeAttachments(Self());
}

// The parts taken out of the mail that can still come back: those of earlier saves
// (from their records) and those of this one.
std::vector<std::shared_ptr<MimeItem::Removed>>& MimeItem::RemovedParts() {
  if (!removed_) {
    auto stored =
        ReadingRecords([&](RecordReader& r) { return r.RemovedParts(SoundDoc()->message()); });
    removed_.emplace();
    for (auto& part : stored)
      removed_->push_back(std::make_shared<Removed>(Removed{std::move(part), false}));
  }
  return *removed_;
}

std::optional<RemovedPart> MimeItem::TakeRemoved(const std::string& name, std::int64_t size,
                                                 const std::string& sha256) {
  for (auto& r : RemovedParts()) {
    // A part without a name of its own comes back under the name its file was given.
    bool named = !r->part.name.empty();
    if (r->restored || (named && r->part.name != name) || r->part.size != size ||
        r->part.sha256 != sha256)
      continue;
    r->restored = true;
    return r->part;
  }
  return std::nullopt;
}

void MimeItem::NoteRemoved(RemovedPart part) {
  RemovedParts().push_back(std::make_shared<Removed>(Removed{std::move(part), false}));
}

void MimeItem::RefuseIfSealed(GMimeObject* part) {
  GMimeMessage* m = SoundDoc()->message();
  if (part ? !mime::InsideSealed(m, part) : !mime::IsSealed(m)) return;
  sealedEditRefused_ = true;
  RaiseSealed();
}

void MimeItem::RaiseSealed() {
  Raise(errnum::kFail, kSource,
        "The message \"" + Subject() +
            "\" is signed or encrypted: changing it would break it. It was left unchanged.");
}

bool MimeItem::StoredHidden(GMimeObject* part) {
  return RecordReader(host_->auth()).Hidden(SoundDoc()->message(), part);
}

// --- saving and deleting

void MimeItem::Save() {
  try {
    Store();
  } catch (const ComError& e) {
    // Records another secret made are reported once, for all such items.
    if (!host_->IsUnverifiable(storage_->EntryId())) host_->NoteSaveFailure(e.Description());
    throw;
  }
}

void MimeItem::Store() {
  auto doc = SoundDoc();
  GMimeMessage* m = doc->message();
  // A change refused inside a signed or encrypted mail leaves the rest unsaved too:
  // records of attachments that stayed in it would only mislead.
  if (sealedEditRefused_) RaiseSealed();
  if (CarriesForeignRecords(host_->auth(), m)) {
    host_->NoteUnverifiable(storage_->EntryId());
    // Saving would drop the records the secret cannot verify.
    Raise(errnum::kFail, kSource,
          "The item \"" + Subject() + "\" carries records that the store secret (" +
              host_->secretPath() +
              ") cannot verify: the secret was changed or lost since they were made. It was "
              "left unchanged.");
  }
  std::string title = Subject();
  storage_->CheckReplaceable(title);
  ApplyPending(m);
  bool saved = !storage_->EntryId().empty();
  std::int64_t delivery = saved ? DeliverySeconds() : static_cast<std::int64_t>(time(nullptr));
  storage_->Replace(title, delivery, [m](int fd) { mime::WriteMessage(m, fd); });
  if (saved) host_->Rewritten(storage_->Describe(), mime::MessageId(m));
  headers_.reset();
  subject_.reset();
  billing_.reset();
  for (auto& [part, st] : states_)
    if (st->hidden) st->hidden.reset();
  // The headers now hold the saved state; properties stay as the objects hold them.
}

// Writes the pending subject, billing text, properties and hidden flags into the
// document, replacing whatever such records it carried.
void MimeItem::ApplyPending(GMimeMessage* m) {
  RecordsToWrite records;
  PlaceHidden(m, records.hiddenFiles, records.hidden);
  records.billing =
      billing_ ? *billing_ : ReadingRecords([&](RecordReader& r) { return r.Billing(m); });
  records.properties =
      props_ ? *props_ : ReadingRecords([&](RecordReader& r) { return r.Properties(m); });
  for (const auto& r : RemovedParts())
    if (!r->restored) records.removed.push_back(r->part);
  records.plainEdit = CurrentPlainEdit();
  mime::EnsureMessageId(m);
  if (storage_->EntryId().empty()) mime::EnsureDate(m);
  if (subject_) mime::SetSubject(m, *subject_);
  WriteRecords(host_->auth(), m, records);
}

void MimeItem::Delete() {
  Alive();
  storage_->Delete([this] { return DeliverySeconds(); });
  Forget();
}

void MimeItem::DeletePermanently() {
  Alive();
  storage_->DeletePermanently();
  Forget();
}

void MimeItem::Forget() {
  gone_ = true;
  plainEdit_.reset();
  loose_.reset();
  doc_.reset();
  headers_.reset();
  states_.clear();
}

void MimeItem::Display() {
  Alive();
  hostapp::DisplayItem(Self());
}

std::shared_ptr<om::Item> MimeItem::Reply() {
  return Respond(true);
}

std::shared_ptr<om::Item> MimeItem::Forward() {
  return Respond(false);
}

std::shared_ptr<om::Item> MimeItem::Respond(bool reply) {
  Alive();
  auto fresh = std::make_shared<MimeItem>(host_, host_->NewMailStorage());
  GMimeMessage* src = HeaderMessage();
  GMimeMessage* dst = fresh->doc_->message();
  std::string prefix = reply ? "RE: " : "FW: ";
  fresh->subject_ = prefix + StripReplyPrefixes(Subject());
  std::string topic = ConversationTopic();
  mime::SetHeader(dst, "Thread-Topic", topic, "utf-8");
  std::string index = ConversationIndex();
  std::string raw;
  for (std::size_t i = 0; i + 1 < index.size(); i += 2)
    raw += static_cast<char>(std::stoi(index.substr(i, 2), nullptr, 16));
  raw += Md5(std::to_string(g_get_real_time())).substr(0, 5);
  mime::SetHeader(dst, "Thread-Index", Base64(raw));
  std::string id = mime::MessageId(src);
  if (!id.empty()) {
    std::string refs = mime::RawHeader(src, "References");
    refs = refs.empty() ? "<" + id + ">" : refs + " <" + id + ">";
    mime::SetHeader(dst, "References", refs);
    if (reply) mime::SetHeader(dst, "In-Reply-To", "<" + id + ">");
  }
  if (reply) mime::AddReplyRecipients(src, dst);
  fresh->threaded_ = true;
  return fresh;
}

}  // namespace stow::maildir
