// CompiledWorkbook (minimal): the sheets, cells, defined names, formula templates, shared expressions,
// external links and DDE sources that formula trees refer to. The model owns every tree in its lists.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formula/cell.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class FormulaNode;

struct SheetInfo {
  std::u16string name;
  // The name between apostrophes with every apostrophe doubled, used in reference texts.
  std::u16string quotedName;
};

struct DefinedName {
  std::u16string name;
  int32_t scope = -1; // sheet index, or -1 for a workbook-wide name
  FormulaNode* root = nullptr;
};

// A linked workbook. The host sets its state; the value cache is keyed by reference text.
struct ExternalLink {
  std::u16string folder;
  std::u16string fileName;
  int32_t state = 0;
  std::map<std::u16string, CalcValue> valueCache;
  // The folder expanded to a full path, filled on first use.
  std::u16string expandedFolder;
  bool folderExpanded = false;

  // Sets the state; a different state empties the value cache.
  void setState(int32_t newState) {
    if (newState != state) valueCache.clear();
    state = newState;
  }
};

struct DdeItem {
  std::u16string name;
  std::vector<CellAddress> cells;
};

struct DdeSource {
  std::u16string application;
  std::u16string topic;
  std::vector<DdeItem> items;
  bool failed = false;
  int32_t channel = -1; // the host channel once a conversation is open
};

class CompiledWorkbook {
public:
  CompiledWorkbook() = default;
  // Destroys every cell and every tree the workbook holds.
  ~CompiledWorkbook();
  CompiledWorkbook(const CompiledWorkbook&) = delete;
  CompiledWorkbook& operator=(const CompiledWorkbook&) = delete;

  // --- sheets
  // Appends a sheet and returns its index.
  uint32_t addSheet(std::u16string name);
  // Returns the sheet at an index, or null.
  const SheetInfo* sheet(uint32_t index) const { return index < sheets_.size() ? &sheets_[index] : nullptr; }
  const std::vector<SheetInfo>& sheets() const { return sheets_; }

  // --- cells
  // Returns the cell at an address, or null.
  Cell* findCell(CellAddress address) const;
  // Returns the cell at an address, creating an empty one when missing; null for an address that
  // names no sheet.
  Cell* findOrCreateCell(CellAddress address);
  // Calls f for every existing cell of a one-sheet area, column by column; the cost follows the cells
  // that exist, not the size of the area.
  void forEachCellIn(const Area& area, const std::function<void(Cell&)>& f) const;
  // Fills result with an Array of the area's cell values (missing cells leave Empty elements); see
  // the definition for how large areas are bounded.
  void loadArea(const Area& area, CalcValue& result) const;

  // --- lists; every root in them is owned by the workbook
  std::vector<DefinedName>& definedNames() { return definedNames_; }
  std::vector<FormulaNode*>& formulaTemplates() { return formulaTemplates_; }
  std::vector<FormulaNode*>& sharedExpressions() { return sharedExpressions_; }
  std::vector<ExternalLink>& externalLinks() { return externalLinks_; }
  std::vector<DdeSource>& ddeSources() { return ddeSources_; }

  // Returns the entry at an index, or null when the index is out of range.
  DefinedName* definedName(int64_t index);
  FormulaNode* formulaTemplate(int64_t index);
  FormulaNode* sharedExpression(int64_t index);
  ExternalLink* externalLink(int64_t index);
  DdeSource* ddeSource(int64_t index);

private:
  static CellAddress canonical(CellAddress address) {
    return CellAddress::make(address.sheet(), address.column(), address.rowIndex());
  }

  std::vector<SheetInfo> sheets_;
  std::map<CellAddress, std::unique_ptr<Cell>> cells_;
  std::vector<DefinedName> definedNames_;
  std::vector<FormulaNode*> formulaTemplates_;
  std::vector<FormulaNode*> sharedExpressions_;
  std::vector<ExternalLink> externalLinks_;
  std::vector<DdeSource> ddeSources_;
};

// Largest area that loadArea always loads at its full shape; larger areas are cut to their used part.
constexpr uint64_t kFullShapeAreaLimit = 65536;
// Largest number of elements that loadArea builds at all.
constexpr uint64_t kMaxLoadedAreaElements = uint64_t(1) << 22;

} // namespace cwbk
