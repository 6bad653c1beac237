// Constant nodes: construction rules, records and formula texts.
#include "formula/constant_nodes.h"

#include <cmath>

#include "formula/node_records.h"
#include "values/conversions.h"

namespace cwbk {

EmptyNode::EmptyNode() {
  ownValue();
}

void EmptyNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Empty, parentIndex);
}

// A number constant is always a Double (copies into cells make integral values Integer); a NaN or
// infinity is kept as 0.
NumberNode::NumberNode(double x) {
  ownValue().setDouble(std::isfinite(x) ? x : 0.0);
}

void NumberNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Number, parentIndex);
  record.f64(value_ ? value_->numberValue() : 0.0);
}

std::u16string NumberNode::formulaText() const {
  return numberText(value_ ? value_->numberValue() : 0.0);
}

TextNode::TextNode(std::u16string_view text) {
  ownValue().setText(text);
}

std::u16string TextNode::unquote(std::u16string_view stored) {
  if (stored.size() >= 2 && stored.front() == u'"' && stored.back() == u'"')
    stored = stored.substr(1, stored.size() - 2);
  std::u16string text;
  text.reserve(stored.size());
  for (size_t i = 0; i < stored.size(); ++i) {
    text.push_back(stored[i]);
    if (stored[i] == u'"' && i + 1 < stored.size() && stored[i + 1] == u'"') ++i;
  }
  return text;
}

// The text is written quoted, with inner quotes doubled, so that reading it back gives it unchanged
// whatever quotes it holds. A text too long for one record loses its tail.
void TextNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  std::u16string_view text = value_ ? value_->textView() : std::u16string_view();
  std::u16string stored = u"\"";
  size_t room = textUnitsThatFit(kNodeHeaderSize);
  for (char16_t c : text) {
    size_t need = c == u'"' ? 2 : 1;
    if (stored.size() + need + 1 > room) break;
    stored.push_back(c);
    if (c == u'"') stored.push_back(c);
  }
  stored.push_back(u'"');
  RecordWriter record(out, NodeKind::Text, parentIndex);
  record.text(stored);
}

std::u16string TextNode::formulaText() const {
  std::u16string text = u"\"";
  if (value_) text += value_->textView();
  text += u"\"";
  return text;
}

BooleanNode::BooleanNode(bool b) {
  ownValue().setBoolean(b);
}

void BooleanNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Boolean, parentIndex);
  record.i32(value_ && value_->booleanValue() ? 1 : 0);
}

std::u16string BooleanNode::formulaText() const {
  return std::u16string(booleanText(value_ && value_->booleanValue()));
}

ErrorNode::ErrorNode(int32_t code) {
  ownValue().setError(code);
}

void ErrorNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Error, parentIndex);
  record.i32(value_ ? value_->errorCode() : 0);
}

std::u16string ErrorNode::formulaText() const {
  return value_ ? std::u16string(errorText(value_->errorCode())) : std::u16string();
}

} // namespace cwbk
