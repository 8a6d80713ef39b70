#include "platform/maildir/item_marks.h"

#include <glib.h>

#include <map>

#include "platform/com_error.h"
#include "platform/maildir/store_util.h"
#include "platform/value.h"

namespace stow::maildir {

namespace {

// Base64 in runs of 64 separated by blanks, so that the header folds between them.
std::string Chunked(const std::string& b64) {
  std::string out;
  for (std::size_t i = 0; i < b64.size(); i += 64) {
    if (i) out += ' ';
    out += b64.substr(i, 64);
  }
  return out;
}

// "k=v; k=v" with white space anywhere ignored (the values are base64, digits or hex).
std::map<std::string, std::string> Params(const std::string& raw) {
  std::map<std::string, std::string> out;
  std::string clean;
  for (char c : raw)
    if (!g_ascii_isspace(c)) clean += c;
  std::size_t start = 0;
  while (start < clean.size()) {
    auto end = clean.find(';', start);
    std::string item =
        clean.substr(start, end == std::string::npos ? std::string::npos : end - start);
    auto eq = item.find('=');
    if (eq != std::string::npos) out.emplace(item.substr(0, eq), item.substr(eq + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// A record that does not verify but names a secret other than the store's was made
// by this program under a secret since changed or lost: its records are not
// believed, and must not be dropped either. (One without the name, or naming the
// store's own secret, is forged or damaged, and is simply not believed.)
bool IsForeign(const HeaderAuth& auth, std::map<std::string, std::string>& p) {
  return p["v"] == "1" && !p["k"].empty() && p["k"] != auth.KeyId();
}

// The text form of a typed user property value, and back.
std::string ValueText(int type, const Value& v) {
  if (IsEmpty(v)) return "";
  switch (type) {
    case om::olNumber:
    case om::olCurrency: {
      char buf[G_ASCII_DTOSTR_BUF_SIZE];
      return g_ascii_formatd(buf, sizeof buf, "%.17g", ToDouble(v));
    }
    case om::olDateTime:
      return ToText(Value(ToDate(v)));
    case om::olYesNo:
      return ToBool(v) ? "True" : "False";
    default:
      return ToText(v);
  }
}

Value TypedValue(int type, const std::string& text) {
  switch (type) {
    case om::olNumber:
    case om::olCurrency:
      return text.empty() ? Value(0.0) : Value(g_ascii_strtod(text.c_str(), nullptr));
    case om::olDateTime:
      return text.empty()
                 ? Value(DateTime::None())
                 : ValueOr(Value(DateTime::None()), [&] { return Value(ToDate(Value(text))); });
    case om::olYesNo:
      return Value(text == "True");
    default:
      return Value(text);
  }
}

Value Converted(int type, const Value& v) {
  switch (type) {
    case om::olNumber:
    case om::olCurrency:
      return Value(ToDouble(v));
    case om::olDateTime:
      return Value(ToDate(v));
    case om::olYesNo:
      return Value(ToBool(v));
    default:
      return Value(ToText(v));
  }
}

}  // namespace

std::string RecordReader::Billing(const std::string& id, const std::vector<std::string>& values) {
  for (const auto& raw : values) {
    auto p = Params(raw);
    auto value = UnBase64(p["value"]);
    if (p["v"] == "1" && value && auth_.Verify({"billing", id, *value}, p["mac"])) return *value;
    sawForeign_ = sawForeign_ || IsForeign(auth_, p);
  }
  return "";
}

std::string RecordReader::Billing(GMimeMessage* m) {
  return Billing(mime::MessageId(m), mime::RawHeaders(m, kBillingHeader));
}

std::vector<std::string> RecordReader::DataRecords(GMimeMessage* m, const char* header,
                                                   const char* kind) {
  std::vector<std::string> out;
  std::string id = mime::MessageId(m);
  for (const auto& raw : mime::RawHeaders(m, header)) {
    auto p = Params(raw);
    auto data = UnBase64(p["data"]);
    if (p["v"] != "1" || !data || !auth_.Verify({kind, id, *data}, p["mac"])) {
      sawForeign_ = sawForeign_ || IsForeign(auth_, p);
      continue;
    }
    out.push_back(std::move(*data));
  }
  return out;
}

std::vector<RemovedPart> RecordReader::RemovedParts(GMimeMessage* m) {
  std::vector<RemovedPart> out;
  for (const auto& data : DataRecords(m, kPartHeader, "part"))
    if (auto part = RemovedPart::FromText(data)) out.push_back(std::move(*part));
  return out;
}

std::vector<HiddenFile> RecordReader::HiddenFiles(GMimeMessage* m) {
  std::vector<HiddenFile> out;
  for (const auto& data : DataRecords(m, kAttachmentHeader, "attachment"))
    if (auto file = HiddenFile::FromText(data)) out.push_back(std::move(*file));
  return out;
}

std::optional<PlainEdit> RecordReader::PlainEditOf(GMimeMessage* m) {
  for (const auto& data : DataRecords(m, kTextHeader, "text"))
    if (auto edit = PlainEdit::FromText(data)) return edit;
  return std::nullopt;
}

std::vector<std::shared_ptr<PropertyState>> RecordReader::Properties(GMimeMessage* m) {
  std::vector<std::shared_ptr<PropertyState>> out;
  std::string id = mime::MessageId(m);
  for (const auto& raw : mime::RawHeaders(m, kPropertyHeader)) {
    auto p = Params(raw);
    auto name = UnBase64(p["name"]);
    auto value = UnBase64(p["value"]);
    if (p["v"] != "1" || !name || !value || name->empty()) continue;
    if (!auth_.Verify({"property", id, *name, p["type"], *value}, p["mac"])) {
      sawForeign_ = sawForeign_ || IsForeign(auth_, p);
      continue;
    }
    auto type = ParseInteger(p["type"]);
    if (!type) continue;
    bool dup = false;
    for (auto& s : out) dup = dup || SameName(s->name, *name);
    if (dup) continue;
    auto st = std::make_shared<PropertyState>();
    st->name = *name;
    st->type = static_cast<int>(*type);
    st->value = TypedValue(st->type, *value);
    out.push_back(st);
  }
  return out;
}

bool RecordReader::Hidden(GMimeMessage* m, GMimeObject* part) const {
  std::string raw = mime::RawHeader(part, kHiddenHeader);
  if (raw.empty()) return false;
  auto p = Params(raw);
  return p["v"] == "1" &&
         auth_.Verify({"hidden", mime::MessageId(m), mime::PartFileName(part)}, p["mac"]);
}

bool CarriesForeignRecords(const HeaderAuth& auth, GMimeMessage* m) {
  for (const char* header :
       {kBillingHeader, kPropertyHeader, kPartHeader, kTextHeader, kAttachmentHeader})
    for (const auto& raw : mime::RawHeaders(m, header)) {
      auto p = Params(raw);
      if (IsForeign(auth, p)) return true;
    }
  return false;
}

void WriteRecords(const HeaderAuth& auth, GMimeMessage* m, const RecordsToWrite& records) {
  std::string id = mime::MessageId(m);
  for (const char* header :
       {kBillingHeader, kPropertyHeader, kPartHeader, kTextHeader, kAttachmentHeader})
    mime::RemoveHeaders(m, header);
  if (!records.billing.empty()) {
    const std::string& billing = records.billing;
    std::string v = "v=1; value=" + Chunked(Base64(billing)) + "; k=" + auth.KeyId() +
                    "; mac=" + auth.Sign({"billing", id, billing});
    mime::AppendHeader(m, kBillingHeader, v);
  }
  for (auto& p : records.properties) {
    std::string text = ValueText(p->type, p->value);
    std::string type = std::to_string(p->type);
    std::string v = "v=1; name=" + Base64(p->name) + "; type=" + type +
                    "; value=" + Chunked(Base64(text)) + "; k=" + auth.KeyId() +
                    "; mac=" + auth.Sign({"property", id, p->name, type, text});
    mime::AppendHeader(m, kPropertyHeader, v);
  }
  auto appendData = [&](const char* header, const char* kind, const std::string& data) {
    std::string v = "v=1; k=" + auth.KeyId() + "; data=" + Chunked(Base64(data)) +
                    "; mac=" + auth.Sign({kind, id, data});
    mime::AppendHeader(m, header, v);
  };
  for (const auto& r : records.removed) appendData(kPartHeader, "part", r.ToText());
  if (records.plainEdit) appendData(kTextHeader, "text", records.plainEdit->ToText());
  for (const auto& f : records.hiddenFiles) appendData(kAttachmentHeader, "attachment", f.ToText());
  mime::RemovePartHeaders(m, kHiddenHeader);
  for (GMimeObject* part : records.hidden) {
    std::string v =
        "v=1; k=" + auth.KeyId() + "; mac=" + auth.Sign({"hidden", id, mime::PartFileName(part)});
    mime::SetPartHeader(part, kHiddenHeader, v);
  }
}

namespace {

class MimeUserProperty : public om::UserProperty {
 public:
  MimeUserProperty(std::shared_ptr<MimeItem> item, std::shared_ptr<PropertyState> state)
      : item_(std::move(item)), state_(std::move(state)) {}
  std::string Name() override { return state_->name; }
  int Type() override { return state_->type; }
  Value GetValue() override {
    item_->Alive();
    return state_->value;
  }
  void SetValue(const Value& v) override {
    item_->Alive();
    state_->value = Converted(state_->type, v);
    item_->Properties();  // the item's list now holds the edit until Save
  }

 private:
  std::shared_ptr<MimeItem> item_;
  std::shared_ptr<PropertyState> state_;
};

class MimeUserProperties : public om::UserProperties {
 public:
  explicit MimeUserProperties(std::shared_ptr<MimeItem> item) : item_(std::move(item)) {}
  std::shared_ptr<om::UserProperty> Find(const std::string& name) override {
    item_->CheckConflict();
    for (auto& p : item_->Properties())
      if (SameName(p->name, name)) return std::make_shared<MimeUserProperty>(item_, p);
    return nullptr;
  }
  std::shared_ptr<om::UserProperty> Add(const std::string& name, int type, bool) override {
    if (name.empty()) Raise(errnum::kInvalidProcedureCall, kSource, "A property needs a name");
    auto& props = item_->Properties();
    for (auto& p : props) {
      if (!SameName(p->name, name)) continue;
      if (p->type != type)
        Raise(errnum::kFail, kSource,
              "The property \"" + name + "\" already exists with another type");
      return std::make_shared<MimeUserProperty>(item_, p);
    }
    auto st = std::make_shared<PropertyState>();
    st->name = name;
    st->type = type;
    st->value = TypedValue(type, "");
    props.push_back(st);
    return std::make_shared<MimeUserProperty>(item_, st);
  }
  std::int64_t Count() override { return static_cast<std::int64_t>(item_->Properties().size()); }

 private:
  std::shared_ptr<MimeItem> item_;
};

}  // namespace

std::shared_ptr<om::UserProperties> MakeUserProperties(std::shared_ptr<MimeItem> item) {
  return std::make_shared<MimeUserProperties>(std::move(item));
}

}  // namespace stow::maildir
