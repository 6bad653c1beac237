// CompiledWorkbook: the runtime's model of the workbook: the sheet table and the workbook's lists, the
// calculation state, the sparse grid of cells with its cell sets and area index, the evaluation of one
// cell, array formulas, and the reporting of changed cells to the host.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formula/area_index.h"
#include "formula/cell.h"
#include "formula/grid.h"
#include "formula/host_interface.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class FormulaNode;
class Recalculator;
class ScalarProgram;

// One entry of the sheet table.
struct SheetInfo {
  std::u16string name;
  // The name between apostrophes with every apostrophe doubled, used in reference texts.
  std::u16string quotedName;
  // The name in upper case, for lookups without regard to case.
  std::u16string upperName;
  // The name under which the host's object model knows the sheet.
  std::u16string codeName;
  CellAddress firstUsed;
  CellAddress lastUsed;
  uint8_t flag = 0;
};

// A control of a sheet (a button, an option button, ...) with its linked cell.
struct SheetControl {
  uint16_t word1 = 0;
  uint16_t word2 = 0;
  CellAddress linkedCell;
  std::u16string name;
  std::u16string text2;
  std::u16string text3;
  std::u16string groupName;
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
  // For a link whose path repeats an earlier link's: the index of that first link, which external
  // references through this slot use; -1 for a link of its own.
  int32_t firstWithPath = -1;

  // Sets the state; a different state empties the value cache.
  void setState(int32_t newState) {
    if (newState != state) valueCache.clear();
    state = newState;
  }
};

struct DdeItem {
  std::u16string name;
  std::vector<CellAddress> cells; // sorted by (sheetColumn, row), without duplicates
};

struct DdeSource {
  std::u16string application;
  std::u16string topic;
  std::vector<DdeItem> items;
  bool failed = false;
  int32_t channel = -1; // the host channel once a conversation is open
};

struct IterationSettings {
  bool enabled = false;
  double maxChange = 0;
  int32_t maxIterations = 0;
};

enum class ReportingMode { Immediate, Deferred };

// A cache that a worksheet function fills during one recalculation; the function defines its content.
class RecalculationCache {
public:
  virtual ~RecalculationCache() = default;
  virtual void clear() = 0;
};
enum class CacheKind { VLookup, HLookup, Match, Rank, RangeTally };
constexpr size_t kCacheKinds = 5;

// The state that drives calculation; read and set by the recalculation and the host side.
struct CalculationState {
  bool date1904 = false;
  IterationSettings iteration;
  HostInterface* host = nullptr;
  ReportingMode reporting = ReportingMode::Immediate;
  uint8_t hostUntouched = 0;
  uint8_t precedentsChanged = 0;
  bool circular = false;
  // The date-time serial taken at the start of a recalculation; 0 outside one.
  double recalculationTime = 0;
  // How many times a cell's formula has been evaluated since the workbook was made (for measurements).
  uint64_t formulaEvaluations = 0;
  // How many cells carry CellEvaluationFailed: their last evaluation failed and left the value as it
  // stood. The calculation goes on around them; the tools and the host report the count.
  uint32_t failedCells = 0;
  // Set while one level-ordered pass evaluates the cells it reached, each once, with no sweep to
  // follow: a cell's value then changes at most once in the pass, when the pass evaluates it. What a
  // function took from cells already evaluated (or not reached) holds until the pass ends.
  bool levelOrderedPass = false;
  // The per-recalculation caches, created on first use.
  std::unique_ptr<RecalculationCache> caches[kCacheKinds];

  // Returns the cache of a kind, or null when it was not created yet.
  RecalculationCache* cache(CacheKind kind) { return caches[static_cast<size_t>(kind)].get(); }
  void setCache(CacheKind kind, std::unique_ptr<RecalculationCache> cache) {
    caches[static_cast<size_t>(kind)] = std::move(cache);
  }
  // Empties the cache of a kind when it exists.
  void clearCache(CacheKind kind) {
    if (RecalculationCache* c = cache(kind)) c->clear();
  }
  // Empties every cache that exists.
  void clearCaches() {
    for (auto& c : caches)
      if (c) c->clear();
  }
};

class CompiledWorkbook {
public:
  CompiledWorkbook();
  // Destroys every cell and every tree the workbook holds.
  ~CompiledWorkbook();
  CompiledWorkbook(const CompiledWorkbook&) = delete;
  CompiledWorkbook& operator=(const CompiledWorkbook&) = delete;

  // --- sheets
  // Appends a sheet after the highest sheet index and returns its index.
  uint32_t addSheet(std::u16string name);
  // Inserts a sheet at an index, at most one past the highest: the sheets from there on, and every
  // address, area and list that names them, move one index up. False, with nothing changed, for an
  // index past that, a name that a sheet has already, or when no sheet index is left.
  bool insertSheet(uint32_t index, SheetInfo info);
  // Sets the sheet table entry of an index (the quoted and upper-case names are derived here).
  void setSheet(uint32_t index, SheetInfo info);
  // Returns the sheet table entry of an index, or null.
  const SheetInfo* sheet(uint32_t index) const;
  const std::map<uint32_t, SheetInfo>& sheets() const { return sheets_; }
  // Returns the index of the sheet with the name (compared without regard to case), or -1.
  int32_t sheetIndex(std::u16string_view name) const;

  // --- the workbook's lists; every root in them is owned by the workbook
  std::map<uint32_t, std::map<std::u16string, SheetControl>>& sheetControls() { return controls_; }
  const std::map<uint32_t, std::map<std::u16string, SheetControl>>& sheetControls() const {
    return controls_;
  }
  // Returns the control of a sheet by name (exact comparison), or null.
  const SheetControl* control(uint32_t sheet, std::u16string_view name) const;
  std::vector<CalcValue>& macroConstants() { return macroConstants_; }
  const std::vector<CalcValue>& macroConstants() const { return macroConstants_; }
  std::vector<DefinedName>& definedNames() { return definedNames_; }
  const std::vector<DefinedName>& definedNames() const { return definedNames_; }
  std::vector<FormulaNode*>& formulaTemplates() { return formulaTemplates_; }
  const std::vector<FormulaNode*>& formulaTemplates() const { return formulaTemplates_; }
  std::vector<FormulaNode*>& sharedExpressions() { return sharedExpressions_; }
  const std::vector<FormulaNode*>& sharedExpressions() const { return sharedExpressions_; }
  std::vector<ExternalLink>& externalLinks() { return externalLinks_; }
  const std::vector<ExternalLink>& externalLinks() const { return externalLinks_; }
  std::vector<DdeSource>& ddeSources() { return ddeSources_; }
  const std::vector<DdeSource>& ddeSources() const { return ddeSources_; }
  // The data-table areas, sorted and without duplicates.
  const std::vector<Area>& areaSet() const { return areaSet_; }
  void addToAreaSet(const Area& area);

  // Returns the entry at an index, or null when the index is out of range. An external link whose path
  // repeats an earlier one answers with that earlier link.
  DefinedName* definedName(int64_t index);
  FormulaNode* formulaTemplate(int64_t index);
  FormulaNode* sharedExpression(int64_t index);
  ExternalLink* externalLink(int64_t index);
  DdeSource* ddeSource(int64_t index);
  // Returns the index of the first defined name with the name (exact comparison), or -1.
  int32_t findDefinedName(std::u16string_view name) const;

  uint32_t workbookWord() const { return workbookWord_; }
  void setWorkbookWord(uint32_t word) { workbookWord_ = word; }
  // True when a typed value may set a cell's formula aside (the host's cell-index mode).
  bool cellIndexMode() const { return cellIndexMode_; }
  void setCellIndexMode(bool on) { cellIndexMode_ = on; }

  CalculationState& state() { return state_; }
  const CalculationState& state() const { return state_; }

  // --- cells
  // Returns the live workbook that holds the cell, or null. Cells keep no pointer to their workbook:
  // while one workbook is alive (the usual case) every cell is that workbook's; otherwise the workbook
  // is the one whose grid has the cell at its address.
  static CompiledWorkbook* holding(const Cell& cell);
  // Returns the cell at an address, or null.
  Cell* findCell(CellAddress address) const { return grid_.find(address); }
  // Returns the cell at an address, creating an empty one (no value, no template) when missing; null
  // for an address that names no sheet, or when the grid cannot grow.
  Cell* findOrCreateCell(CellAddress address);
  // Calls f for every existing cell of a one-sheet area, column by column; the cost follows the cells
  // that exist, not the size of the area.
  void forEachCellIn(const Area& area, const std::function<void(Cell&)>& f) const;
  // Calls f for every cell, in the order of sheet, column and row.
  void forEachCell(const std::function<void(Cell&)>& f) const;
  // Fills result with an Array of the area's cell values (missing cells leave Empty elements); see
  // the definition for how large areas are bounded.
  void loadArea(const Area& area, CalcValue& result) const;
  Grid& grid() { return grid_; }
  const Grid& grid() const { return grid_; }

  // The grid holds every cell; there is no separate set of them, which would cost a pointer per cell.
  size_t cellCount() const { return cellCount_; }
  // Returns every cell, sorted by identity.
  std::vector<Cell*> allCells() const;
  // Cells with a template index >= 0 or the host-computed flag.
  CellSet& calculatedCells() { return calculatedCells_; }
  const CellSet& calculatedCells() const { return calculatedCells_; }
  // Cells with flag 0x4.
  CellSet& volatileCells() { return volatileCells_; }
  const CellSet& volatileCells() const { return volatileCells_; }
  // The cells collected for the current evaluation.
  std::vector<Cell*>& recalculationList() { return recalculationList_; }

  // Enters a cell whose flags and template index were just set into the calculated and volatile sets
  // and the area extents.
  void enterCell(Cell& cell);
  // Removes a cell from the calculated and volatile sets that it no longer belongs to.
  void leaveSets(Cell& cell);
  // Makes a cell one whose formula the host computes (flag 0x10) and enters it.
  void setHostComputed(Cell& cell);
  // Sets or clears flag 0x4 with the membership of the volatile set.
  void setVolatile(Cell& cell, bool on);
  // Brings the area extents up to date after a cell gained a value or a formula.
  void noteCellInUse(Cell& cell);

  // --- preparation and recalculation (the dependency engine lives in recalculation.cpp)
  // Links, orders and first evaluates the loaded workbook; called once after loadWorkbook.
  void prepareAfterLoad();
  // Recalculates every cell that depends on the changed cells (the host adds the volatile cells),
  // sweeping cycles, and with refresh recomputes the data tables reached. Returns the host's answer to
  // resumeCalculation (true without a host).
  bool recalculate(std::vector<Cell*> changed, bool refresh);
  // Returns the dependency engine, creating it on first use.
  Recalculator& recalculator();

  // --- links and areas
  // Links a reader to the cell it reads: each enters the other's sorted vector. False when they
  // were linked already.
  bool link(Cell& reader, Cell& read);
  // Removes the link from a reader to a cell it reads. False when there was none.
  bool unlink(Cell& reader, Cell& read);
  // Removes an area from a reader's precedent areas and the reader from the area's entry. False when
  // the reader did not read the area.
  bool unregisterArea(Cell& reader, const Area& area);
  // True when links were added or removed since the cells were last ordered.
  bool linksChanged() const { return linksChanged_; }
  void setLinksChanged(bool changed) { linksChanged_ = changed; }
  // Enters the area into the area index (computing its extents when new), adds the cell to its
  // readers and the area to the cell's precedent areas. Returns the entry, or null for an area that is
  // invalid or spans sheets.
  AreaEntry* registerArea(Cell& reader, const Area& area);
  AreaIndex& areaIndex() { return areaIndex_; }
  const AreaIndex& areaIndex() const { return areaIndex_; }
  // Returns the rectangle that range walks over the area need: the value extent of its index entry cut
  // to the area, or the area itself when it has no entry or the extent is invalid.
  Area valueExtent(const Area& area) const;

  // --- values and evaluation
  // Returns the cell's value; a member of an array formula first takes its element of the master's
  // value ("#N/A" when the master's value has none). The shared Empty value when the cell has none.
  const CalcValue& cellValue(Cell& cell);
  // Copies the value into the cell, creating the cell's value when it has none.
  void setCellValue(const CalcValue& value, Cell& cell);
  // Sets the cell's formula aside (parked) when the cell has a template, the workbook allows it and
  // nothing is parked yet; the cell then behaves as a constant. Returns true when it did.
  bool detachFormula(Cell& cell);
  // Gives a cell its parked formula back. Returns true when it did.
  bool restoreFormula(Cell& cell);
  // Evaluates a cell reached by the current walk (0x40) or changed by input (0x80) once per pass
  // (0x2). Returns its 0x4000 bit: whether its value changed. A failure while computing is contained:
  // the value stays as it stood and the cell is noted as failed.
  bool evaluateCell(Cell& cell);
  // Notes whether a cell's last evaluation failed (CellEvaluationFailed and the count of failed cells).
  void noteEvaluationOutcome(Cell& cell, bool failed);
  // Computes the cell's formula into its value (the cell must be the context's current cell).
  void evaluateFormula(Cell& cell);
  // Reports a changed cell to the host. With the old value given, a cell whose array area matches the
  // shape of its new array value reports every cell of that area instead.
  void reportChange(Cell& cell, const CalcValue* oldValue);

private:
  // The live workbooks, newest first, linked through nextLive_.
  static CompiledWorkbook* liveWorkbooks_;
  CompiledWorkbook* nextLive_ = nullptr;

  std::map<uint32_t, SheetInfo> sheets_;
  std::map<uint32_t, std::map<std::u16string, SheetControl>> controls_;
  std::vector<CalcValue> macroConstants_;
  std::vector<DefinedName> definedNames_;
  std::vector<FormulaNode*> formulaTemplates_;
  std::vector<FormulaNode*> sharedExpressions_;
  std::vector<ExternalLink> externalLinks_;
  std::vector<DdeSource> ddeSources_;
  std::vector<Area> areaSet_;
  uint32_t workbookWord_ = 0;
  bool cellIndexMode_ = false;
  CalculationState state_;

  // The grid owns the cells; no tree's destructor touches a cell, so the order of destruction is free.
  Grid grid_;
  size_t cellCount_ = 0;
  CellSet calculatedCells_;
  CellSet volatileCells_;
  std::vector<Cell*> recalculationList_;
  AreaIndex areaIndex_;
  bool linksChanged_ = false;
  std::unique_ptr<Recalculator> recalculator_;
  // The arithmetic programs of the templates, by template index, with the root each was made from (a
  // template that is not plain arithmetic has its root and no program).
  struct ScalarEntry {
    FormulaNode* root = nullptr;
    std::unique_ptr<ScalarProgram> program;
  };
  std::vector<ScalarEntry> scalarPrograms_;
  // Returns the program of the template at index, made on first use; null when it has none.
  const ScalarProgram* scalarProgram(int32_t index, FormulaNode* root);
};

// Largest area that loadArea always loads at its full shape; larger areas are cut to their used part.
constexpr uint64_t kFullShapeAreaLimit = 65536;
// Largest number of elements that loadArea builds at all.
constexpr uint64_t kMaxLoadedAreaElements = uint64_t(1) << 22;

} // namespace cwbk
