#include "engine/userProperties.h"

#include "platform/com_error.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "support/modErroHandling.h"
#include "support/product.h"

namespace stow {

namespace {

// The host's value for "no date".
constexpr const char* kNoDate = "1/1/4501";

Value NumberOf(const Value& value) {
  if (!IsNumeric(value)) return std::int32_t{0};
  if (std::holds_alternative<std::int32_t>(value)) return value;
  return ToDouble(value);
}

// The value a kind stores for what the caller passed.
Value StoredValue(const Value& value, FieldKind kind) {
  switch (kind) {
    case FieldKind::kInteger:
    case FieldKind::kCurrency:
      return NumberOf(value);
    case FieldKind::kDate:
      return IsDate(value) ? ToDate(value) : ToDate(Value(std::string(kNoDate)));
    case FieldKind::kText:
      return ToText(value);
    case FieldKind::kBoolean:
      return ValueOr(Value(std::string()), [&] { return Value(ToBool(value)); });
  }
  return value;
}

// A value read back (or a default) converted to its kind.
Value ReadValue(const Value& value, FieldKind kind, const Value& defaultValue) {
  switch (kind) {
    case FieldKind::kInteger:
      return IsNumeric(value) ? Value(ToLong(value)) : Value(std::int32_t{0});
    case FieldKind::kCurrency:
      return IsEmpty(value) || !IsNumeric(value) ? Value(0.0) : Value(ToDouble(value));
    case FieldKind::kDate:
      return IsDate(value) ? Value(ToDate(value)) : defaultValue;
    case FieldKind::kText:
      return ToText(value);
    case FieldKind::kBoolean:
      return ToBool(value);
  }
  return value;
}

}  // namespace

int UserPropertyTypeOf(FieldKind kind) {
  switch (kind) {
    case FieldKind::kInteger:
      return om::olNumber;
    case FieldKind::kDate:
      return om::olDateTime;
    case FieldKind::kText:
      return om::olText;
    case FieldKind::kBoolean:
      return om::olYesNo;
    case FieldKind::kCurrency:
      return om::olCurrency;
  }
  return om::olText;
}

void SetUserDefinedFieldValue(const std::shared_ptr<om::Item>& item, const std::string& name,
                              const Value& value, FieldKind kind, bool addToFolderFields) {
  if (!item) return;
  Trap("SetUserDefinedFieldValue", [&] {
    std::shared_ptr<om::UserProperties> properties;
    std::shared_ptr<om::UserProperty> property;
    std::int32_t lookup = IgnoreErrors([&] {
      properties = item->UserProperties();
      property = Required(properties).Find(name);
    });
    if (lookup == errnum::kItemInConflict) {
      std::string subject = ValueOr(std::string(), [&] { return item->Subject(); });
      if (auto* ui = platform::Platform().ui) {
        ui->MsgBox("There is a conflict with this Outlook item '" + subject + "'." + "\r\n" +
                       "You would need to resolve this conflict, by opening it, and choosing a "
                       "version of the item to retain!",
                   ui::vbInformation, product::kTitle);
      }
      return;
    }
    if (!property) {
      if (!properties) properties = item->UserProperties();
      property = Required(properties).Add(name, UserPropertyTypeOf(kind), addToFolderFields);
    }
    Required(property).SetValue(StoredValue(value, kind));
  });
}

Value GetUserDefinedFieldValue(const std::shared_ptr<om::Item>& item, const std::string& name,
                               FieldKind kind, const Value& defaultValue) {
  return Trap("GetUserDefinedFieldValue", Value(), [&]() -> Value {
    auto property = Required(Required(item).UserProperties()).Find(name);
    if (kind == FieldKind::kText) {
      std::string fallback = ToText(defaultValue);
      if (!property) return fallback;
      std::string text = ToText(property->GetValue());
      if (text.empty() && !fallback.empty()) return fallback;
      return text;
    }
    if (!property) return ReadValue(defaultValue, kind, defaultValue);
    return ReadValue(property->GetValue(), kind, defaultValue);
  });
}

}  // namespace stow
