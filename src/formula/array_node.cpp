// ArrayNode: building the constant array, its record with element records, and its text.
#include "formula/array_node.h"

#include <algorithm>

#include "formula/node_records.h"
#include "platform/locale_settings.h"
#include "values/conversions.h"

namespace cwbk {

ArrayNode::ArrayNode() {
  ownValue().resizeArray(0, 1);
}

void ArrayNode::appendRow(const CalcValue& row) {
  if (row.isArray()) {
    ownValue().appendToArray(row);
    return;
  }
  CalcValue single;
  single.appendToArray(row);
  ownValue().appendToArray(single);
}

bool ArrayNode::addChild(FormulaNode* child) {
  if (!child) return false;
  switch (child->kind()) {
  case NodeKind::Number:
  case NodeKind::Text:
  case NodeKind::Boolean:
  case NodeKind::Error:
  case NodeKind::Array:
    if (const CalcValue* v = child->value()) ownValue().appendToArray(*v);
    break;
  case NodeKind::Arithmetic:
    child->setParent(this);
    if (const CalcValue* v = child->evaluate()) ownValue().appendToArray(*v);
    break;
  default:
    break;
  }
  delete child;
  return false;
}

namespace {

// Appends one element record; false when the element has no record form (Empty and non-constants).
bool writeElement(const CalcValue& v, std::vector<uint8_t>& out, size_t room) {
  switch (v.kind()) {
  case CalcValue::Integer:
  case CalcValue::Double: {
    if (room < 16) return false;
    RecordWriter record(out, NodeKind::Number, -1);
    record.f64(v.numberValue());
    return true;
  }
  case CalcValue::ShortText:
  case CalcValue::LongText: {
    if (room < kNodeHeaderSize + 2) return false;
    std::u16string_view t = v.textView();
    t = t.substr(0, std::min(t.size(), (room - kNodeHeaderSize) / 2 - 1));
    RecordWriter record(out, NodeKind::Text, -1);
    record.text(t);
    return true;
  }
  case CalcValue::Boolean: {
    if (room < 12) return false;
    RecordWriter record(out, NodeKind::Boolean, -1);
    record.i32(v.booleanValue() ? 1 : 0);
    return true;
  }
  case CalcValue::Error: {
    if (room < 12) return false;
    RecordWriter record(out, NodeKind::Error, -1);
    record.i32(v.errorCode());
    return true;
  }
  default:
    return false;
  }
}

} // namespace

// Elements are written in row order with the array's column count; an element without a record form
// (an Empty element) is written as the number 0, and elements beyond the record's size limit are
// dropped.
void ArrayNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Array, parentIndex);
  const CalcArray* a = value_ ? value_->array() : nullptr;
  uint32_t columns = a && a->columns ? a->columns : 1;
  record.i32(static_cast<int32_t>(std::min<uint32_t>(columns, 0x7FFFFFFF)));
  if (!a) return;
  for (uint32_t i = 0; i < a->count; ++i) {
    size_t room = kMaxRecordLength - record.length();
    if (!writeElement(a->elements[i], out, room) && !writeElement(CalcValue::number(0), out, room)) break;
  }
}

std::u16string ArrayNode::formulaText() const {
  const CalcArray* a = value_ ? value_->array() : nullptr;
  std::u16string text = u"{";
  if (a && a->columns) {
    const std::u16string& separator = localeSettings().listSeparator;
    for (uint32_t i = 0; i < a->count; ++i) {
      if (i) text += i % a->columns ? separator : std::u16string(u";");
      const CalcValue& e = a->elements[i];
      if (e.isText())
        text += u"\"" + std::u16string(e.textView()) + u"\"";
      else
        text += displayText(e);
    }
  }
  text += u"}";
  return text;
}

} // namespace cwbk
