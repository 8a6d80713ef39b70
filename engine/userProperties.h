#pragma once
// Writing and reading an item's user properties by value kind.

#include <memory>
#include <string>

#include "platform/object_model.h"
#include "platform/value.h"

namespace stow {

// The kind of value a user property holds, and so the host type it is created with.
enum class FieldKind {
  kInteger,   // number (3): the value when numeric, else 0
  kDate,      // date-time (5): the value when a valid date, else the host's "no date"
  kText,      // text (1)
  kBoolean,   // yes/no (6)
  kCurrency,  // currency (14): the value when numeric, else 0
};

// The host user-property type a kind creates.
int UserPropertyTypeOf(FieldKind kind);

// Creates the property on item when it is missing and stores value in it. Nothing
// happens for no item. An item in conflict is left alone and the user is told how
// to resolve the conflict. Other failures are reported ("SetUserDefinedFieldValue").
// The item itself is not saved.
void SetUserDefinedFieldValue(const std::shared_ptr<om::Item>& item, const std::string& name,
                              const Value& value, FieldKind kind, bool addToFolderFields);

// The property's value converted to kind; defaultValue (converted) when the property
// is missing. Text: also the default when the property's text is empty. Failures are
// reported ("GetUserDefinedFieldValue") and give Empty.
Value GetUserDefinedFieldValue(const std::shared_ptr<om::Item>& item, const std::string& name,
                               FieldKind kind, const Value& defaultValue);

}  // namespace stow
