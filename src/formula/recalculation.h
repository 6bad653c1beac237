// Recalculator: the dependency engine of a workbook model: links from formulas and the host, levels and
// cycle marks, the dependents walk, evaluation in level order, iterative sweeps, dynamic references and
// data tables. Every graph walk runs on an explicit stack.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <unordered_map>
#include <vector>

#include "formula/area_index.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

class Cell;
class CompiledWorkbook;
struct AreaEntry;

// A data table: an area of the area set, with its input cells, the cells that the current
// recalculation reached in it, and the evaluation plans for its result cells.
struct DataTable {
  Area area;
  bool inputsKnown = false;
  Cell* rowInput = nullptr;    // R: takes the values of the top row
  Cell* columnInput = nullptr; // K: takes the values of the left column
  std::vector<Cell*> pending;  // sorted by identity
  // Plans keyed by the addresses of the result cell, K and R (invalid words for an absent input).
  std::map<std::array<uint64_t, 3>, std::vector<Cell*>> plans;
};

// The references a formula read in one evaluation: single cells and areas (normalized).
struct CollectedReferences {
  std::vector<Cell*> cells; // sorted by identity, without duplicates
  std::vector<Area> areas;  // in the order met, without duplicates
};

class Recalculator {
public:
  // The stacks of the walks reserve this many entries up front.
  static constexpr size_t kStackReserve = 50000;
  // How often one recalculation re-evaluates after dynamic references moved, at most.
  static constexpr int kMaxDynamicRounds = 64;

  explicit Recalculator(CompiledWorkbook& workbook);
  Recalculator(const Recalculator&) = delete;
  Recalculator& operator=(const Recalculator&) = delete;

  // Links, orders and first evaluates the loaded workbook. A failure beyond one cell's evaluation (a
  // host service, memory) reaches the caller, with the transient flags, the recalculation list and the
  // evaluation context put back; the caller may prepare again (linking twice adds nothing), and the
  // next recalculation then evaluates every formula.
  void prepareAfterLoad();
  // Recalculates from the changed cells; returns the host's answer to resumeCalculation. A failure
  // beyond one cell's evaluation (a host failure while reporting, memory) reaches the caller after the
  // calculation state is restored and the host's calculation resumed; the next recalculation evaluates
  // again what the failed one had reached and reports again what it had changed.
  bool recalculate(std::vector<Cell*> changed, bool refresh);

  // --- the steps, public for the host side and for tests
  // Links a calculated cell to what its formula reads (template and operands).
  void linkFormulaReferences(Cell& cell);
  // Replaces a host-computed cell's links by the areas the host reports for it.
  void linkHostReferences(Cell& cell);
  // Gives every calculated cell its level (1 + the highest level of the formula cells it reads, cells
  // inside the areas it reads included), marks every cell of a cycle (0x100) and sets the
  // circularity flag when there is one. Transient flags are left alone. With order given, appends each
  // formula cell to it as the walk finishes the cell: precedents first, the cells of a cycle together.
  void orderCells(std::vector<Cell*>* order = nullptr);
  // The ordering pass of the preparation: clears the circularity flag and the transient flags of every
  // cell, then orders.
  void orderingPass();
  // Collects the cells reachable from a cell into the recalculation list (0x40), marking data tables.
  void dependentsWalk(Cell& start);
  // Evaluates the changed cells and everything that depends on them once, in level order; appends each
  // evaluated cell to collector when one is given.
  void evaluateChanged(const std::vector<Cell*>& changed, std::vector<Cell*>* collector);
  // Evaluates the list again until its values converge or the iteration limit; adds each cell that
  // changed to collector (sorted by identity). Returns true when the values did not converge.
  bool sweeps(const std::vector<Cell*>& list, std::vector<Cell*>* collector);
  // Replaces the links of the cells with dynamic references evaluated since the last call by what their
  // formulas read in that evaluation. Returns true when any link changed.
  bool recollectDynamicReferences();
  // Recomputes every data table that the recalculation reached, then clears the marks.
  void recomputeDataTables();
  // Clears the transient flags of the recalculation list and empties it.
  void clearRecalculationList();

  // Returns the references a cell's formula reads: the reference nodes of its template and operand
  // trees and, with withValues, the references that its nodes computed in the last evaluation.
  CollectedReferences collectReferences(Cell& cell, bool withValues);

  std::map<Area, DataTable, AreaLess>& dataTables();
  // Drops the data tables, which are built again from the area set on next use (after the sheets
  // were renumbered).
  void forgetDataTables() {
    tables_.clear();
    tablesBuilt_ = false;
  }

private:
  class FailureGuard;
  class PassScope;
  // Notes what a pass that failed leaves to the next one and clears the transient state it left behind.
  void recoverFromFailure(const std::vector<Cell*>& changed);
  // Evaluates one cell, noting the references of a cell with dynamic references that was computed.
  bool evaluate(Cell& cell);
  // Sorts the recalculation list by level (stable) and evaluates it, appending to collector.
  void evaluateList(std::vector<Cell*>* collector);
  void sortByLevel(std::vector<Cell*>& list);
  // Re-collects dynamic references and evaluates again where they moved, until the links settle.
  // Returns true when any link changed.
  bool settleDynamicReferences();
  // Marks the data tables that contain a reached cell.
  void markDataTables(Cell& cell);
  // Finds the input cells of a table once.
  void resolveInputs(DataTable& table);
  void computeDataTable(DataTable& table);
  // Brings a table's result cell up to date from its inputs by the plan of (F, K, R).
  void runPlan(DataTable& table, Cell& result, Cell* columnInput, Cell* rowInput);
  // Returns the formula cells inside an area entry (computed once per ordering).
  const std::vector<Cell*>& formulaCellsOf(const AreaEntry& entry);
  // Applies one collected set of references to a cell's links; true when a link changed.
  bool applyReferences(Cell& cell, const CollectedReferences& references);

  CompiledWorkbook& workbook_;
  std::vector<Cell*> walkStack_;
  // Where the next ordering walk starts numbering the cells it visits (see orderCells).
  uint32_t walkBase_ = 1;
  std::unordered_map<const AreaEntry*, std::vector<Cell*>> areaFormulaCells_;
  // The references noted after the evaluation of cells with dynamic references, latest last.
  std::vector<std::pair<Cell*, CollectedReferences>> dynamicNotes_;
  // The cells whose links the last re-collection changed.
  std::vector<Cell*> relinked_;
  // After a failed pass: the cells to evaluate again and the cells to report again (sorted by identity).
  std::vector<Cell*> unfinished_;
  std::vector<Cell*> unreported_;
  // The cell whose evaluation is under way, while one is.
  Cell* evaluating_ = nullptr;
  bool tablesBuilt_ = false;
  std::map<Area, DataTable, AreaLess> tables_;
};

} // namespace cwbk
