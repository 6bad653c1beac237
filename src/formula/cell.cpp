// Cell: value handling, the hyperlink record, and the identity-sorted cell vectors and sets.
#include "formula/cell.h"

#include <algorithm>
#include <functional>

#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"

namespace cwbk {

// ---------------------------------------------------------------- Cell

// A workbook holds a cell for each address in use, so the cell's size is most of the model's.
static_assert(sizeof(Cell) <= 80, "a cell stays within 80 bytes");

Cell::~Cell() {
  for (FormulaNode* root : operandRoots_)
    delete root;
}

CalcValue& Cell::ensureValue() {
  flags_ |= kHasValue;
  return value_;
}

void Cell::setValue(const CalcValue& v) {
  CalcValue& target = ensureValue();
  if (&target != &v) target.copyFrom(v);
  if (target.isEmpty()) return;
  if (CompiledWorkbook* workbook = this->workbook()) workbook->noteCellInUse(*this);
}

void Cell::clearValue() {
  value_ = CalcValue();
  flags_ &= ~kHasValue;
}

Cell::Extras& Cell::extras() {
  if (!extras_) extras_ = std::make_unique<Extras>();
  return *extras_;
}

Cell::Rare& Cell::ensureRare() {
  Extras& e = extras();
  if (!e.rare) e.rare = std::make_unique<Rare>();
  return *e.rare;
}

void Cell::setParkedTemplateIndex(int32_t index) {
  if (rare() || index >= 0) ensureRare().parkedTemplateIndex = index;
}

void Cell::setArrayFormulaIndex(int32_t index) {
  if (rare() || index >= 0) ensureRare().arrayFormulaIndex = index;
}

const PointerList<AreaEntry*>& Cell::precedentAreas() const {
  static const PointerList<AreaEntry*> none;
  return extras_ ? extras_->precedentAreas : none;
}

PointerList<AreaEntry*>& Cell::mutablePrecedentAreas() {
  return extras().precedentAreas;
}

HyperlinkRecord& Cell::ensureHyperlink() {
  Rare& r = ensureRare();
  if (!r.hyperlink) r.hyperlink = std::make_unique<HyperlinkRecord>();
  return *r.hyperlink;
}

void Cell::setHyperlink(std::unique_ptr<HyperlinkRecord> record) {
  if (rare() || record) ensureRare().hyperlink = std::move(record);
}

const Area& Cell::arrayArea() const {
  static const Area none;
  return rare() ? rare()->arrayArea : none;
}

void Cell::setArrayArea(const Area& area) {
  if (rare() || area.isValid()) ensureRare().arrayArea = area;
}

// ---------------------------------------------------------------- HyperlinkRecord

namespace {

// Returns true when text begins with prefix (ASCII letters compared without regard to case).
bool startsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char16_t a = text[i], b = prefix[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a - u'A' + u'a');
    if (a != b) return false;
  }
  return true;
}

} // namespace

HyperlinkRecord HyperlinkRecord::parse(std::u16string_view text) {
  HyperlinkRecord record;
  record.source = std::u16string(text);
  if (!text.empty() && text.front() == u'#') {
    record.kind = Location;
    record.subAddress = std::u16string(text.substr(1));
    return record;
  }
  if (startsWithIgnoringCase(text, u"http://") || startsWithIgnoringCase(text, u"https://"))
    record.kind = Web;
  else if (startsWithIgnoringCase(text, u"mailto:"))
    record.kind = Mail;
  else
    record.kind = Other;
  record.address = std::u16string(text);
  return record;
}

// ---------------------------------------------------------------- CellSet

void CellSet::insert(Cell* cell) {
  if (sorted_) {
    if (cells_.empty() || std::less<Cell*>()(cells_.back(), cell)) {
      cells_.push_back(cell);
      return;
    }
    if (containsByIdentity(cells_, cell)) return;
  }
  cells_.push_back(cell);
  sorted_ = false;
}

bool CellSet::erase(Cell* cell) {
  sort();
  return eraseByIdentity(cells_, cell);
}

bool CellSet::contains(const Cell* cell) const {
  return containsByIdentity(cells(), cell);
}

const std::vector<Cell*>& CellSet::cells() const {
  sort();
  return cells_;
}

void CellSet::sort() const {
  if (sorted_) return;
  std::sort(cells_.begin(), cells_.end(), std::less<Cell*>());
  cells_.erase(std::unique(cells_.begin(), cells_.end()), cells_.end());
  sorted_ = true;
}

} // namespace cwbk
