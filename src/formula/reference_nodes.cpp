// Reference nodes: evaluation against the workbook, the link and DDE calls, union and intersection,
// records and reference texts.
#include "formula/reference_nodes.h"

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/node_records.h"
#include "formula/reference.h"
#include "platform/locale_settings.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Returns the quoted sheet name and "!" of a sheet the workbook knows, else nothing.
std::u16string sheetPrefix(const CompiledWorkbook* workbook, uint32_t sheet) {
  const SheetInfo* info = workbook ? workbook->sheet(sheet) : nullptr;
  return info ? info->quotedName + u"!" : std::u16string();
}

// Returns a valid address with the bits outside its row, column and sheet fields cleared, so that
// normalizing compares what the address means.
CellAddress canonicalCorner(CellAddress a) {
  return a.isValid() ? CellAddress::make(a.sheetColumn >> 16, a.column(), a.rowIndex()) : a;
}

// Returns the area with a missing second corner filled from the first, normalized.
Area filledArea(CellAddress first, CellAddress second) {
  Area area{canonicalCorner(first), canonicalCorner(second)};
  if (area.first.isValid() && !area.second.isValid()) area.second = area.first;
  normalize(area);
  return area;
}

// Returns the corners a child of a computed area contributes.
Area cornersOf(FormulaNode& child) {
  if (CellRefNode* cell = child.asCellReference()) return filledArea(cell->address(), cell->address());
  const CalcValue* v = child.value();
  if (v && v->isArray()) {
    const CalcValue* element = v->element(0, 0);
    if (element && element->isReference()) return filledArea(element->firstCorner(), element->secondCorner());
    return Area::invalid();
  }
  if (v && v->isReference()) return filledArea(v->firstCorner(), v->secondCorner());
  if (AreaRefNode* area = child.asAreaReference()) return filledArea(area->first(), area->second());
  return Area::invalid();
}

std::u16string joinTexts(const std::vector<FormulaNode*>& children, std::u16string_view separator) {
  std::u16string text = u"(";
  bool first = true;
  for (const FormulaNode* child : children) {
    if (!child) continue;
    if (!first) text += separator;
    first = false;
    NestingGuard nesting;
    text += child->formulaText();
  }
  text += u")";
  return text;
}

} // namespace

// ---------------------------------------------------------------- CellRefNode

CellRefNode::CellRefNode(CompiledWorkbook& workbook, CellAddress address)
    : cell_(workbook.findOrCreateCell(address)) {
  if (!cell_) ownValue().setError(ErrRef);
}

CellAddress CellRefNode::address() const {
  return cell_ ? cell_->address() : CellAddress::invalid();
}

const CalcValue* CellRefNode::value() {
  if (!cell_) return value_;
  // A member of an array formula shows its element of the master's value.
  if ((cell_->flags() & (CellArrayFormula | CellArrayMaster)) == CellArrayFormula && cell_->workbook())
    return &cell_->workbook()->cellValue(*cell_);
  const CalcValue* v = cell_->value();
  return v ? v : &emptyValue();
}

CalcValue& CellRefNode::mutableValue() {
  return cell_ ? cell_->ensureValue() : ownValue();
}

// Assigning to a cell reference assigns to the cell, which is marked changed when its value differs.
void CellRefNode::setValue(const CalcValue& v) {
  if (!cell_) return;
  const CalcValue* old = cell_->value();
  bool changed = !old || !old->sameAs(v);
  cell_->setValue(v);
  if (changed) cell_->setFlags(CellValueChanged);
}

void CellRefNode::setNumberValue(double x) {
  setValue(CalcValue::number(x));
}

void CellRefNode::setReferenceValue(const Area& area) {
  CalcValue v;
  v.setReference(area);
  setValue(v);
}

Area CellRefNode::referenceArea() {
  return cell_ ? Area{cell_->address(), cell_->address()} : Area::invalid();
}

void CellRefNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::CellRef, parentIndex);
  record.address(address());
}

std::u16string CellRefNode::formulaText() const {
  if (!cell_) return std::u16string(errorText(ErrRef));
  return sheetPrefix(cell_->workbook(), cell_->address().sheet()) + cellText(cell_->address());
}

// ---------------------------------------------------------------- AreaRefNode

AreaRefNode::AreaRefNode(CompiledWorkbook& workbook, CellAddress first, CellAddress second, uint8_t flags)
    : workbook_(&workbook), first_(canonicalCorner(first)), second_(canonicalCorner(second)), flags_(flags) {
  if (first_.isValid() && !second_.isValid()) second_ = first_;
  normalize(first_, second_);
}

// The first corner is the first child's top-left corner, the second the last child's bottom-right
// corner (its first corner when it has no second).
void AreaRefNode::recomputeCorners() {
  FormulaNode* head = firstChild();
  FormulaNode* tail = lastChild();
  if (!head || !tail) return;
  Area front = cornersOf(*head);
  Area back = cornersOf(*tail);
  first_ = front.first;
  second_ = back.second.isValid() ? back.second : back.first;
  normalize(first_, second_);
}

// Outside array-formula mode the area stands for the single value it yields for the current cell;
// otherwise, and when a corner is invalid, its value is the Reference itself.
const CalcValue* AreaRefNode::evaluate() {
  if (isComputed()) {
    evaluateChildren();
    recomputeCorners();
  }
  CalcValue& v = ownValue();
  v.setReference(first_, second_);
  if (!evaluationContext().arrayFormulaMode && first_.isValid() && second_.isValid()) {
    CompiledWorkbook* workbook = workbook_;
    auto lookup = [workbook](CellAddress address) -> const CalcValue* {
      Cell* cell = workbook->findCell(address);
      return cell ? cell->value() : nullptr;
    };
    valueForCell(Area{first_, second_}, currentCellAddress(), lookup, v);
  }
  return value_;
}

const CalcValue* AreaRefNode::evaluateAsArray() {
  if (isComputed()) {
    evaluateChildren();
    recomputeCorners();
  }
  workbook_->loadArea(Area{first_, second_}, ownValue());
  return value_;
}

void AreaRefNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::AreaRef, parentIndex);
  record.address(first_);
  record.address(second_);
  record.u8(flags_);
  record.zeros(7);
}

std::u16string AreaRefNode::formulaText() const {
  uint32_t lastRow = addressLimits().lastRow;
  FormulaNode* head = isComputed() ? firstChild() : nullptr;
  std::u16string text;
  if (head && (!first_.isValid() || first_.rowIndex() > lastRow)) {
    NestingGuard nesting;
    text = head->formulaText();
  } else {
    if (!(head && head->kind() == NodeKind::Call)) text = sheetPrefix(workbook_, first_.sheet());
    text += cellText(first_);
  }
  if (childCount() >= 2 || first_ != second_) {
    text += u":";
    if (second_.rowIndex() > lastRow)
      text += errorText(ErrRef);
    else
      text += cellText(second_);
  }
  return text;
}

std::u16string AreaRefNode::debugText() {
  const CalcValue& v = valueOrEmpty();
  std::string prefix = std::to_string(static_cast<int>(kind())) + "|" + std::to_string(v.tag()) + "|";
  return std::u16string(prefix.begin(), prefix.end()) + formulaText();
}

// ---------------------------------------------------------------- ExternalRefNode

ExternalRefNode::ExternalRefNode(CompiledWorkbook& workbook, int16_t linkIndex, std::u16string referenceText)
    : workbook_(&workbook), linkIndex_(linkIndex), text_(std::move(referenceText)) {}

namespace {

// Returns the link's folder (expanded once to a full path), a backslash when needed, and file name.
std::u16string linkFullPath(ExternalLink& link, LinkServices* links) {
  if (!link.folderExpanded && links) {
    link.expandedFolder = links->fullPath(link.folder);
    link.folderExpanded = true;
  }
  std::u16string path = link.folderExpanded ? link.expandedFolder : link.folder;
  if (path.empty() || path.back() != u'\\') path += u'\\';
  return path + link.fileName;
}

} // namespace

// States 3 and 4 (the linked workbook is open) answer from the link's cache and fill it; state 4
// reads from the open workbook, every other state through a text that names the linked file.
const CalcValue* ExternalRefNode::evaluate() {
  ExternalLink* link = workbook_->externalLink(linkIndex_);
  if (!link) return value_;
  LinkServices* links = evaluationContext().links;
  if (link->state == 2 && links && links->openLinkedWorkbook(linkFullPath(*link, links))) link->setState(3);
  bool open = link->state == 3 || link->state == 4;
  CalcValue& v = ownValue();
  if (open) {
    auto cached = link->valueCache.find(text_);
    if (cached != link->valueCache.end()) {
      v.copyFrom(cached->second);
      return value_;
    }
  }
  if (links) {
    if (link->state == 4) {
      std::u16string path = linkFullPath(*link, links);
      links->readLinkedCell(&path, text_, v);
    } else {
      std::u16string text = u"'" + link->folder;
      if (text_.find(u'!') != std::u16string::npos) {
        std::u16string_view rest = text_;
        if (!rest.empty() && rest.front() == u'\'') rest.remove_prefix(1);
        text += u"[" + link->fileName + u"]";
        text += rest;
      } else {
        text += link->fileName + u"'!" + text_;
      }
      links->readLinkedCell(nullptr, text, v);
    }
  }
  if (open) link->valueCache[text_].copyFrom(v);
  return value_;
}

void ExternalRefNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::ExternalRef, parentIndex);
  record.i16(linkIndex_);
  record.text(std::u16string_view(text_).substr(0, textUnitsThatFit(kNodeHeaderSize + 2)));
}

std::u16string ExternalRefNode::formulaText() const {
  ExternalLink* link = workbook_->externalLink(linkIndex_);
  if (!link) return text_;
  std::u16string text = u"'" + link->folder + u"[" + link->fileName + u"]";
  if (!text_.empty()) text.append(text_, 1, std::u16string::npos);
  return text;
}

// ---------------------------------------------------------------- DdeRefNode

DdeRefNode::DdeRefNode(CompiledWorkbook& workbook, int32_t sourceIndex, int32_t itemIndex)
    : workbook_(&workbook), sourceIndex_(sourceIndex), itemIndex_(itemIndex) {}

// The runtime's own DDE client is asked first; failing that, a host conversation is opened once and
// kept for later requests. A source whose conversation cannot be opened is marked failed: "#REF!".
const CalcValue* DdeRefNode::evaluate() {
  DdeSource* source = workbook_->ddeSource(sourceIndex_);
  if (!source || itemIndex_ < 0 || static_cast<size_t>(itemIndex_) >= source->items.size()) return value_;
  const DdeItem& item = source->items[static_cast<size_t>(itemIndex_)];
  LinkServices* links = evaluationContext().links;
  CalcValue& v = ownValue();
  if (!source->failed) {
    if (links && links->ddeRequestDirect(source->application, source->topic, item.name, v)) return value_;
    int32_t channel = source->channel;
    if (channel < 0 && links) channel = links->ddeInitiate(source->application, source->topic);
    if (channel >= 0 && links) {
      source->channel = channel;
      links->ddeRequest(channel, item.name, v);
      return value_;
    }
    source->failed = true;
  }
  v.setError(ErrRef);
  return value_;
}

void DdeRefNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::DdeRef, parentIndex);
  record.i32(sourceIndex_);
  record.i32(itemIndex_);
  record.zeros(4);
}

std::u16string DdeRefNode::formulaText() const {
  DdeSource* source = workbook_->ddeSource(sourceIndex_);
  if (!source) return {};
  std::u16string text;
  if (!source->application.empty()) text += u"'" + source->application + u"'|";
  if (!source->topic.empty()) text += u"'" + source->topic + u"'!";
  if (itemIndex_ >= 0 && static_cast<size_t>(itemIndex_) < source->items.size())
    text += u"'" + source->items[static_cast<size_t>(itemIndex_)].name + u"'";
  return text;
}

// ---------------------------------------------------------------- UnionNode

UnionNode::UnionNode() {
  ownValue().setError(ErrValue);
}

// Every member's area is appended as a Reference; an invalid area, or one spanning two sheets, as
// "#REF!".
const CalcValue* UnionNode::value() {
  NestingGuard nesting;
  std::vector<Area> areas;
  for (FormulaNode* child : children_)
    if (child) areas.push_back(child->referenceArea());
  CalcValue& v = ownValue();
  v.setEmpty();
  for (const Area& area : areas) {
    CalcValue member;
    if (!area.isValid() || !area.isOneSheet())
      member.setError(ErrRef);
    else
      member.setReference(area);
    v.appendToReferenceList(member);
  }
  return value_;
}

const CalcValue* UnionNode::evaluate() {
  evaluateChildren();
  ownValue().setError(ErrValue);
  return value_;
}

const CalcValue* UnionNode::evaluateAsArray() {
  evaluateChildren();
  FormulaNode* head = firstChild();
  ownValue().setReference(head ? head->referenceArea() : Area::invalid());
  return value_;
}

void UnionNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Union, parentIndex);
}

std::u16string UnionNode::formulaText() const {
  return joinTexts(children_, localeSettings().listSeparator);
}

// ---------------------------------------------------------------- IntersectionNode

const CalcValue* IntersectionNode::evaluate() {
  evaluateChildren();
  CalcValue& v = ownValue();
  Area running = Area::invalid();
  bool started = false;
  for (FormulaNode* child : children_) {
    if (!child || !child->isReference()) continue;
    Area area = child->referenceArea();
    if (area.isValid() && area.isOneSheet()) {
      running = started ? intersect(running, area) : area;
      started = true;
    }
    if (!running.isValid()) {
      v.setError(ErrNull);
      return value_;
    }
  }
  if (running.isValid() && running.isOneSheet())
    v.setReference(running);
  else
    v.setError(ErrNull);
  return value_;
}

void IntersectionNode::writeSelf(int32_t parentIndex, std::vector<uint8_t>& out) const {
  RecordWriter record(out, NodeKind::Intersection, parentIndex);
}

std::u16string IntersectionNode::formulaText() const {
  return joinTexts(children_, u" ");
}

} // namespace cwbk
