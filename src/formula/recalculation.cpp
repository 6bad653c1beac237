// Recalculator: linking formulas to the cells and areas they read, ordering cells by level with cycle
// detection, the dependents walk, evaluation in level order, sweeps, re-collection of dynamic references,
// the preparation after loading and the recalculation. Data tables are in data_tables.cpp.
#include "formula/recalculation.h"

#include <algorithm>
#include <cmath>
#include <set>
#include <tuple>

#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/function_table.h"
#include "formula/reference_nodes.h"
#include "values/date_serial.h"

namespace cwbk {

// ---------------------------------------------------------------- collecting references

namespace {

// The most nodes one collection walks; names and templates that reach each other stop there.
constexpr size_t kMaxCollectedNodes = size_t(1) << 20;

// Where a node sits: the nearest call around it (its descriptor; null for none or an unknown function),
// the argument position it lies in, and whether it is that argument itself (proxies are transparent).
struct WalkContext {
  const FunctionDescriptor* call = nullptr;
  int32_t position = -1;
  bool direct = false;
  bool insideCall = false;
};

struct WalkItem {
  FormulaNode* node;
  WalkContext context;
};

class ReferenceSink {
public:
  ReferenceSink(CompiledWorkbook& workbook, Cell& cell, bool createCells, CollectedReferences& out)
      : workbook_(workbook), cell_(cell), createCells_(createCells), out_(out) {}

  // Classifies one reference met in the formula: not read at all (an argument of a function that
  // takes the reference itself), a single cell, a line reduced to the cell where it meets the formula's
  // row or column, or an area read as a range.
  void add(const Area& raw, const WalkContext& context) {
    if (context.direct && referenceOnlyArgument(context.call, context.position)) return;
    Area area = canonicalArea(raw);
    if (!area.isValid() || !area.isOneSheet() || area.first.sheet() == CellAddress::kNoSheet) return;
    if (area.first == area.second) {
      addCell(area.first);
      return;
    }
    uint32_t sheet = area.first.sheet();
    bool oneRow = area.first.rowIndex() == area.second.rowIndex();
    bool oneColumn = area.first.column() == area.second.column();
    bool intersects = !context.insideCall;
    if (context.insideCall && context.call && context.call->hasTrait(TraitChoosesArgument))
      intersects = argClass(context.call, context.position) != ArgArray;
    CellAddress here = cell_.address();
    if (intersects && !cell_.hasFlag(CellArrayFormula) && (oneRow || oneColumn) && here.sheet() == sheet) {
      CellAddress meet = CellAddress::invalid();
      if (oneColumn && here.rowIndex() >= area.first.rowIndex() && here.rowIndex() <= area.second.rowIndex())
        meet = CellAddress::make(sheet, area.first.column(), here.rowIndex());
      else if (oneRow && here.column() >= area.first.column() && here.column() <= area.second.column())
        meet = CellAddress::make(sheet, here.column(), area.first.rowIndex());
      if (meet.isValid()) {
        if (Cell* c = workbook_.findOrCreateCell(meet)) insertByIdentity(out_.cells, c);
        return;
      }
    }
    if (std::find(out_.areas.begin(), out_.areas.end(), area) == out_.areas.end()) out_.areas.push_back(area);
  }

private:
  void addCell(CellAddress address) {
    Cell* c = createCells_ ? workbook_.findOrCreateCell(address) : workbook_.findCell(address);
    if (c) insertByIdentity(out_.cells, c);
  }

  CompiledWorkbook& workbook_;
  Cell& cell_;
  bool createCells_;
  CollectedReferences& out_;
};

// Adds the areas of a computed Reference or ReferenceList value.
void addValueReferences(ReferenceSink& sink, const CalcValue& v, const WalkContext& context) {
  if (v.isReference()) {
    sink.add(v.referenceArea(), context);
  } else if (v.isReferenceList()) {
    if (const CalcArray* list = v.array())
      for (uint32_t i = 0; i < list->count; ++i)
        if (list->elements[i].isReference()) sink.add(list->elements[i].referenceArea(), context);
  }
}

bool mayComputeReference(NodeKind kind) {
  switch (kind) {
  case NodeKind::Empty:
  case NodeKind::Number:
  case NodeKind::Text:
  case NodeKind::Boolean:
  case NodeKind::Error:
  case NodeKind::Array:
  case NodeKind::Union:
  case NodeKind::CellRef:
  case NodeKind::ExternalRef:
  case NodeKind::DdeRef:
    return false;
  default:
    return true;
  }
}

} // namespace

CollectedReferences Recalculator::collectReferences(Cell& cell, bool withValues) {
  CollectedReferences out;
  FormulaNode* root = workbook_.formulaTemplate(cell.templateIndex());
  if (!root) return out;
  ReferenceSink sink(workbook_, cell, withValues, out);
  // Operand references find their trees through the context's current cell.
  CurrentCellScope scope;
  evaluationContext().currentCell = &cell;
  // The proxy targets already taken in each context: a few per formula, so searched in a vector until
  // there are many.
  using TargetKey = std::tuple<FormulaNode*, const FunctionDescriptor*, int32_t, bool, bool>;
  std::vector<TargetKey> seenFew;
  std::set<TargetKey> seenMany;
  auto firstSight = [&](const TargetKey& key) {
    if (seenMany.empty()) {
      if (std::find(seenFew.begin(), seenFew.end(), key) != seenFew.end()) return false;
      seenFew.push_back(key);
      if (seenFew.size() > 32) seenMany.insert(seenFew.begin(), seenFew.end());
      return true;
    }
    return seenMany.insert(key).second;
  };
  std::vector<WalkItem> stack;
  stack.push_back({root, WalkContext{}});
  size_t budget = kMaxCollectedNodes;
  while (!stack.empty() && budget-- > 0) {
    WalkItem item = stack.back();
    stack.pop_back();
    FormulaNode* node = item.node;
    const WalkContext& context = item.context;
    NodeKind kind = node->kind();
    if (kind >= NodeKind::NameRef && kind <= NodeKind::TemplateRef) { // the proxies
      FormulaNode* target = static_cast<ProxyNode*>(node)->target();
      if (target && firstSight({target, context.call, context.position, context.direct, context.insideCall}))
        stack.push_back({target, context});
      continue;
    }
    if (kind == NodeKind::CellRef) {
      auto* ref = static_cast<CellRefNode*>(node);
      sink.add(Area{ref->address(), ref->address()}, context);
      continue;
    }
    if (kind == NodeKind::ExternalRef || kind == NodeKind::DdeRef) continue;
    if (kind == NodeKind::AreaRef) sink.add(node->referenceArea(), context);
    if (withValues && mayComputeReference(kind) && kind != NodeKind::AreaRef)
      if (const CalcValue* v = node->value()) addValueReferences(sink, *v, context);
    const std::vector<FormulaNode*>* children = node->children();
    if (!children) continue;
    if (kind == NodeKind::Call) {
      const FunctionDescriptor* call = static_cast<CallNode*>(node)->descriptor();
      auto position = static_cast<int32_t>(std::count_if(children->begin(), children->end(),
                                                         [](const FormulaNode* c) { return c != nullptr; }));
      for (auto it = children->rbegin(); it != children->rend(); ++it)
        if (*it) stack.push_back({*it, WalkContext{call, --position, true, true}});
      continue;
    }
    WalkContext inner{context.call, context.position, false, context.insideCall};
    for (auto it = children->rbegin(); it != children->rend(); ++it) {
      FormulaNode* child = *it;
      if (!child) continue;
      // The corners of a range are the range itself, not references of their own.
      if (kind == NodeKind::AreaRef &&
          (child->kind() == NodeKind::CellRef || child->kind() == NodeKind::AreaRef))
        continue;
      stack.push_back({child, inner});
    }
  }
  return out;
}

// ---------------------------------------------------------------- links

Recalculator::Recalculator(CompiledWorkbook& workbook) : workbook_(workbook) {}

void Recalculator::linkFormulaReferences(Cell& cell) {
  CollectedReferences references = collectReferences(cell, false);
  for (Cell* read : references.cells)
    workbook_.link(cell, *read);
  for (const Area& area : references.areas)
    workbook_.registerArea(cell, area);
}

void Recalculator::linkHostReferences(Cell& cell) {
  HostInterface* host = workbook_.state().host;
  if (!host) return;
  CollectedReferences references;
  host->visitPrecedentAreas(cell, [&](const Area& raw) {
    Area area = canonicalArea(raw);
    if (!area.isValid() || !area.isOneSheet() || area.first.sheet() == CellAddress::kNoSheet) return;
    if (area.first == area.second) {
      // Created when missing: a value typed there later must reach the host's formula.
      if (Cell* read = workbook_.findOrCreateCell(area.first)) insertByIdentity(references.cells, read);
    } else if (std::find(references.areas.begin(), references.areas.end(), area) == references.areas.end()) {
      references.areas.push_back(area);
    }
  });
  applyReferences(cell, references);
}

bool Recalculator::applyReferences(Cell& cell, const CollectedReferences& references) {
  bool changed = false;
  std::vector<Cell*> old(cell.precedentCells().begin(), cell.precedentCells().end());
  for (Cell* read : old)
    if (!containsByIdentity(references.cells, read)) {
      workbook_.unlink(cell, *read);
      read->clearFlags(CellOutsideAreas);
      changed = true;
    }
  for (Cell* read : references.cells)
    if (workbook_.link(cell, *read)) changed = true;
  std::vector<Area> oldAreas;
  for (const AreaEntry* entry : cell.precedentAreas())
    oldAreas.push_back(entry->area);
  for (const Area& area : oldAreas)
    if (std::find(references.areas.begin(), references.areas.end(), area) == references.areas.end()) {
      workbook_.unregisterArea(cell, area);
      changed = true;
    }
  for (const Area& area : references.areas) {
    const PointerList<AreaEntry*>& now = cell.precedentAreas();
    if (std::any_of(now.begin(), now.end(), [&](const AreaEntry* e) { return e->area == area; })) continue;
    if (workbook_.registerArea(cell, area)) changed = true;
  }
  return changed;
}

// ---------------------------------------------------------------- ordering

const std::vector<Cell*>& Recalculator::formulaCellsOf(const AreaEntry& entry) {
  auto [it, inserted] = areaFormulaCells_.try_emplace(&entry);
  std::vector<Cell*>& cells = it->second;
  if (inserted && !entry.noFormula && entry.formulaExtent.isValid()) {
    Area within = entry.formulaExtent;
    workbook_.forEachCellIn(within, [&](Cell& c) {
      if ((c.hasFormula() || c.isArrayMember()) && areaContains(entry.area, c.address())) cells.push_back(&c);
    });
  }
  return cells;
}

namespace {

// The ordering walk keeps, for each cell it visited, the lowest visit number the cell reaches and two
// bits: the cell is on the component stack, the cell belongs to the cycle being closed.
constexpr uint32_t kOnOrderStack = 0x80000000u;
constexpr uint32_t kInComponent = 0x40000000u;
constexpr uint32_t kLowMask = 0x3FFFFFFFu;

// One frame of the ordering walk: a cell, its visit number, and how far its formula precedents have been
// taken.
struct OrderFrame {
  Cell* cell;
  uint32_t number = 0;
  uint32_t stage = 0; // 0 precedent cells, 1 areas, 2 the master, 3 done
  uint32_t index = 0;
  uint32_t inner = 0;
};

} // namespace

// An iterative strongly-connected-components walk (Tarjan) over the formula precedents of each cell:
// its precedent cells with a formula, the formula cells inside its precedent areas, and for a member of
// an array formula its master. Components finish precedents first, so levels are assigned on the way
// out; a component of more than one cell, or a cell that reads itself, is a cycle and every cell of it
// is marked.
//
// A cell keeps only its visit number, counted on from where the previous walk stopped, so that a number
// below this walk's base is one left from an earlier walk; the rest lives in the walk's own list.
void Recalculator::orderCells(std::vector<Cell*>* order) {
  CalculationState& state = workbook_.state();
  state.circular = false;
  areaFormulaCells_.clear();
  const std::vector<Cell*> roots = workbook_.calculatedCells().cells();
  for (Cell* c : roots)
    c->clearFlags(CellInCycle);
  // A walk numbers each cell at most once; before the numbers could run out, they start again.
  if (workbook_.cellCount() >= UINT32_MAX - walkBase_) {
    workbook_.forEachCell([](Cell& c) { c.walkNumber = 0; });
    walkBase_ = 1;
  }
  const uint32_t base = walkBase_;
  std::vector<uint32_t> lows; // by visit number less the base
  lows.reserve(roots.size());
  auto visited = [&](const Cell* c) { return c->walkNumber >= base; };
  auto low = [&](uint32_t n) { return lows[n] & kLowMask; };

  auto nextPrecedent = [&](OrderFrame& f) -> Cell* {
    Cell& cell = *f.cell;
    while (f.stage < 3) {
      if (f.stage == 0) {
        const auto& cells = cell.precedentCells();
        while (f.index < cells.size()) {
          Cell* p = cells[f.index++];
          // A member of an array formula stands for its master's result.
          if (p->hasFormula() || p->isArrayMember()) return p;
        }
        f.stage = 1, f.index = 0, f.inner = 0;
      } else if (f.stage == 1) {
        const auto& areas = cell.precedentAreas();
        while (f.index < areas.size()) {
          if (const AreaEntry* entry = areas[f.index]) {
            const std::vector<Cell*>& inside = formulaCellsOf(*entry);
            if (f.inner < inside.size()) return inside[f.inner++];
          }
          ++f.index, f.inner = 0;
        }
        f.stage = 2;
      } else {
        f.stage = 3;
        const Area& area = cell.arrayArea();
        if (cell.isArrayMember() && area.isValid() && cell.address() != area.first)
          if (Cell* master = workbook_.findCell(area.first); master && master != &cell) return master;
      }
    }
    return nullptr;
  };

  std::vector<OrderFrame> frames;
  frames.reserve(kStackReserve);
  std::vector<Cell*> component;
  component.reserve(kStackReserve);
  auto visit = [&](Cell* c) {
    uint32_t n = static_cast<uint32_t>(lows.size());
    c->walkNumber = base + n;
    lows.push_back(n | kOnOrderStack);
    component.push_back(c);
    frames.push_back(OrderFrame{c, n});
  };

  for (Cell* root : roots) {
    if (!root->hasFormula() || visited(root)) continue;
    visit(root);
    while (!frames.empty()) {
      OrderFrame& top = frames.back();
      Cell* cell = top.cell;
      const uint32_t n = top.number;
      if (Cell* p = nextPrecedent(top)) {
        if (p == cell) {
          cell->setFlags(CellInCycle); // reads itself
        } else if (!visited(p)) {
          visit(p); // invalidates top
        } else if (uint32_t m = p->walkNumber - base; lows[m] & kOnOrderStack) {
          lows[n] = std::min(low(n), m) | kOnOrderStack;
        }
        continue;
      }
      frames.pop_back();
      if (!frames.empty()) {
        uint32_t parent = frames.back().number;
        if (low(n) < low(parent)) lows[parent] = low(n) | kOnOrderStack;
      }
      if (low(n) != n) continue;
      // The cell roots a component: everything above it on the component stack belongs to it.
      auto begin = std::find(component.rbegin(), component.rend(), cell).base() - 1;
      bool cycle = (component.end() - begin) > 1 || cell->hasFlag(CellInCycle);
      for (auto it = begin; it != component.end(); ++it) {
        uint32_t& member = lows[(*it)->walkNumber - base];
        member = (member & kLowMask) | kInComponent;
      }
      // The component's level lies above every precedent outside it, all of which have finished.
      uint32_t level = 0;
      for (auto it = begin; it != component.end(); ++it) {
        OrderFrame scan{*it};
        while (Cell* p = nextPrecedent(scan))
          if (visited(p) && !(lows[p->walkNumber - base] & kInComponent)) level = std::max(level, p->level());
      }
      for (auto it = begin; it != component.end(); ++it) {
        Cell* member = *it;
        lows[member->walkNumber - base] &= kLowMask;
        member->setLevel(level + 1);
        if (cycle) member->setFlags(CellInCycle);
        if (order) order->push_back(member);
      }
      if (cycle) state.circular = true;
      component.erase(begin, component.end());
    }
  }
  walkBase_ = base + static_cast<uint32_t>(lows.size());
  areaFormulaCells_.clear();
  workbook_.setLinksChanged(false);
  for (auto& [area, table] : tables_)
    table.plans.clear();
}

void Recalculator::orderingPass() {
  workbook_.forEachCell([](Cell& c) { c.clearFlags(CellOnStack | CellEvaluated | CellReached); });
  orderCells();
}

// ---------------------------------------------------------------- dependents walk

void Recalculator::dependentsWalk(Cell& start) {
  if (start.hasFlag(CellReached)) return;
  std::vector<Cell*>& list = workbook_.recalculationList();
  // The stack is kept between walks: its reserve is made once, not once per walk.
  std::vector<Cell*>& stack = walkStack_;
  if (stack.capacity() < kStackReserve) stack.reserve(kStackReserve);
  stack.clear();
  stack.push_back(&start);
  start.setFlags(CellOnStack);
  auto push = [&](Cell& from, Cell& to) {
    // Levels of formula cells are kept in order by the ordering; a cell without a formula (an input,
    // perhaps a detached formula with its old level) raises nothing.
    if (from.hasFormula() && !from.hasFlag(CellInCycle) && !to.hasFlag(CellInCycle) &&
        to.level() <= from.level())
      to.setLevel(from.level() + 1);
    if (!to.hasFlag(CellReached | CellOnStack)) {
      to.setFlags(CellOnStack);
      stack.push_back(&to);
    }
  };
  while (!stack.empty()) {
    Cell* cell = stack.back();
    stack.pop_back();
    cell->clearFlags(CellOnStack);
    if (cell->hasFlag(CellReached)) continue;
    markDataTables(*cell);
    cell->setFlags(CellReached);
    list.push_back(cell);
    if (!cell->hasFlag(CellOutsideAreas)) {
      bool found = false;
      workbook_.areaIndex().forEachContaining(cell->address(), [&](AreaEntry& entry) {
        found = true;
        for (Cell* reader : entry.readers)
          push(*cell, *reader);
      });
      if (!found) cell->setFlags(CellOutsideAreas);
    }
    for (Cell* dependent : cell->dependents())
      push(*cell, *dependent);
    const Area& area = cell->arrayArea();
    if (!area.isValid()) continue;
    if (cell->isArrayMember() && cell->address() != area.first) {
      Cell* master = workbook_.findCell(area.first);
      if (master && !master->hasFlag(CellReached | CellOnStack)) {
        master->setFlags(CellOnStack);
        stack.push_back(master);
      }
    } else if (cell->hasFlag(CellArrayFormula) && cell->hasFlag(CellArrayMaster)) {
      // The members show the master's elements: whoever reads them must see the new array.
      workbook_.forEachCellIn(area, [&](Cell& member) {
        if (&member != cell && member.isArrayMember()) push(*cell, member);
      });
    }
  }
}

// ---------------------------------------------------------------- evaluation

void Recalculator::clearRecalculationList() {
  std::vector<Cell*>& list = workbook_.recalculationList();
  for (Cell* c : list)
    c->clearFlags(CellOnStack | CellEvaluated | CellReached);
  list.clear();
}

bool Recalculator::evaluate(Cell& cell) {
  bool computes = cell.hasFlag(CellDynamicReferences) && cell.templateIndex() >= 0 &&
                  !cell.hasFlag(CellEvaluated) && cell.hasFlag(CellReached | CellDirtyInput);
  evaluating_ = &cell;
  bool changed = workbook_.evaluateCell(cell);
  evaluating_ = nullptr;
  if (computes) dynamicNotes_.emplace_back(&cell, collectReferences(cell, true));
  return changed;
}

// A stable sort by level. A walk down a chain of formulas reaches them in level order already; other
// lists are counted out by level when the levels are few against the cells (the usual case: a level
// per step of the longest chain), which touches each cell twice instead of log n times.
void Recalculator::sortByLevel(std::vector<Cell*>& list) {
  // One pass finds both whether the list is in order already and its highest level.
  uint32_t highest = 0;
  bool ordered = true;
  for (const Cell* c : list) {
    ordered = ordered && c->level() >= highest;
    highest = std::max(highest, c->level());
  }
  if (ordered) return;
  auto byLevel = [](const Cell* a, const Cell* b) { return a->level() < b->level(); };
  if (highest / 4 > list.size()) {
    std::stable_sort(list.begin(), list.end(), byLevel);
    return;
  }
  std::vector<uint32_t> starts(size_t(highest) + 2, 0);
  for (const Cell* c : list)
    ++starts[c->level() + 1];
  for (size_t i = 1; i < starts.size(); ++i)
    starts[i] += starts[i - 1];
  std::vector<Cell*> sorted(list.size());
  for (Cell* c : list)
    sorted[starts[c->level()]++] = c;
  list.swap(sorted);
}

// Marks the calculation state for the length of one level-ordered pass (see levelOrderedPass): only a
// pass that no sweep follows counts, and the range tallies live no longer than the pass.
class Recalculator::PassScope {
public:
  explicit PassScope(CalculationState& state) : state_(state), saved_(state.levelOrderedPass) {
    state_.clearCache(CacheKind::RangeTally);
    state_.levelOrderedPass = !state_.circular && !state_.iteration.enabled;
  }
  ~PassScope() {
    state_.levelOrderedPass = saved_;
    state_.clearCache(CacheKind::RangeTally);
  }
  PassScope(const PassScope&) = delete;
  PassScope& operator=(const PassScope&) = delete;

private:
  CalculationState& state_;
  bool saved_;
};

void Recalculator::evaluateList(std::vector<Cell*>* collector) {
  std::vector<Cell*>& list = workbook_.recalculationList();
  sortByLevel(list);
  PassScope pass(workbook_.state());
  // Evaluation may create cells but never extends the list; index in case it does.
  for (size_t i = 0; i < list.size(); ++i) {
    Cell* cell = list[i];
    evaluate(*cell);
    if (collector) collector->push_back(cell);
  }
}

void Recalculator::evaluateChanged(const std::vector<Cell*>& changed, std::vector<Cell*>* collector) {
  clearRecalculationList();
  for (Cell* cell : changed) {
    if (!cell) continue;
    dependentsWalk(*cell);
    if (!cell->hasFormula()) cell->setFlags(CellDirtyInput | CellChangedByUser);
  }
  if (workbook_.linksChanged()) orderCells();
  evaluateList(collector);
}

// A cell whose dynamic references moved may have been evaluated before a cell it reads now: it is
// evaluated again, with its dependents, until the links stay put (sweeping when cycles appeared).
bool Recalculator::settleDynamicReferences() {
  bool any = recollectDynamicReferences();
  bool moved = any;
  for (int round = 0; moved && round < kMaxDynamicRounds; ++round) {
    std::vector<Cell*> again = relinked_;
    std::vector<Cell*> evaluated;
    evaluateChanged(again, &evaluated);
    if (workbook_.state().circular || workbook_.state().iteration.enabled) sweeps(evaluated, nullptr);
    moved = recollectDynamicReferences();
  }
  return any;
}

bool Recalculator::sweeps(const std::vector<Cell*>& list, std::vector<Cell*>* collector) {
  const IterationSettings& settings = workbook_.state().iteration;
  int32_t n = 1;
  bool notConverged = false;
  auto rearm = [&] {
    for (Cell* c : list) {
      c->clearFlags(CellOnStack | CellEvaluated);
      c->setFlags(CellReached);
    }
  };
  do {
    rearm();
    notConverged = false;
    for (Cell* cell : list) {
      if (!cell->hasFormula()) continue;
      CalcValue old;
      if (cell->value()) old.copyFrom(*cell->value());
      bool changed = false;
      try {
        changed = evaluate(*cell);
      } catch (...) {
        // One cell's failure (reporting it, noting its references) does not end the sweep.
        evaluating_ = nullptr;
        workbook_.noteEvaluationOutcome(*cell, true);
        changed = false;
      }
      if (!changed) continue;
      if (collector) insertByIdentity(*collector, cell);
      if (notConverged) continue;
      const CalcValue& now = cell->value() ? *cell->value() : emptyValue();
      if (old.isNumber())
        notConverged =
            !now.isNumber() || std::fabs(now.numberValue() - old.numberValue()) >= settings.maxChange;
      else if (old.isText())
        notConverged = !now.isText();
      else
        notConverged = now.kind() != old.kind();
    }
    ++n;
  } while (n < settings.maxIterations && notConverged);
  rearm();
  return notConverged;
}

bool Recalculator::recollectDynamicReferences() {
  bool changed = false;
  std::vector<std::pair<Cell*, CollectedReferences>> notes;
  notes.swap(dynamicNotes_);
  // The latest evaluation of a cell counts.
  std::vector<Cell*> done;
  relinked_.clear();
  for (auto it = notes.rbegin(); it != notes.rend(); ++it) {
    if (!insertByIdentity(done, it->first)) continue;
    if (applyReferences(*it->first, it->second)) {
      changed = true;
      relinked_.push_back(it->first);
    }
  }
  if (changed || workbook_.linksChanged()) orderCells();
  return changed;
}

// ---------------------------------------------------------------- preparation and recalculation

// Puts back what a preparation or a recalculation changed when it ends, on every path: immediate
// reporting, empty caches, no recalculation time, the evaluation context as it was, and the host's
// calculation resumed when it was suspended. When the call ends by a failure, the transient flags and
// the lists go too, and the failed pass's cells are left to the next recalculation.
class Recalculator::FailureGuard {
public:
  FailureGuard(Recalculator& recalculator, const std::vector<Cell*>& changed)
      : recalculator_(recalculator), changed_(changed), context_(evaluationContext()),
        savedContext_(context_), exceptions_(std::uncaught_exceptions()) {}
  ~FailureGuard() {
    CalculationState& state = recalculator_.workbook_.state();
    state.reporting = ReportingMode::Immediate;
    state.clearCaches();
    state.recalculationTime = 0;
    context_.currentCell = savedContext_.currentCell;
    context_.arrayFormulaMode = savedContext_.arrayFormulaMode;
    context_.nestingDepth = savedContext_.nestingDepth;
    if (std::uncaught_exceptions() <= exceptions_) return;
    // The failure in flight is the one the caller hears of; nothing here may replace it.
    try {
      recalculator_.recoverFromFailure(changed_);
    } catch (...) {
    }
    if (hostSuspended && state.host) try {
        state.host->resumeCalculation();
      } catch (...) {
      }
  }
  FailureGuard(const FailureGuard&) = delete;
  FailureGuard& operator=(const FailureGuard&) = delete;

  // Set while the host's calculation is suspended by this call.
  bool hostSuspended = false;

private:
  Recalculator& recalculator_;
  const std::vector<Cell*>& changed_;
  EvaluationContext& context_;
  const EvaluationContext savedContext_;
  const int exceptions_;
};

void Recalculator::recoverFromFailure(const std::vector<Cell*>& changed) {
  // Everything the pass was given or had reached is evaluated again; what it had changed may not have
  // reached the host and is reported again.
  std::vector<Cell*>& list = workbook_.recalculationList();
  for (Cell* c : changed)
    if (c) unfinished_.push_back(c);
  for (Cell* c : list) {
    unfinished_.push_back(c);
    if (c->hasFlag(CellValueChanged)) unreported_.push_back(c);
  }
  if (evaluating_) {
    unfinished_.push_back(evaluating_);
    unreported_.push_back(evaluating_);
    evaluating_ = nullptr;
  }
  for (std::vector<Cell*>* cells : {&unfinished_, &unreported_}) {
    std::sort(cells->begin(), cells->end());
    cells->erase(std::unique(cells->begin(), cells->end()), cells->end());
  }
  // The walks may have stopped anywhere: no cell keeps a transient flag.
  workbook_.forEachCell([](Cell& c) { c.clearFlags(CellOnStack | CellEvaluated | CellReached); });
  list.clear();
  walkStack_.clear();
}

void Recalculator::prepareAfterLoad() {
  CalculationState& state = workbook_.state();
  const std::vector<Cell*> calculated = workbook_.calculatedCells().cells();
  // A preparation that fails leaves every formula to the next recalculation.
  FailureGuard guard(*this, calculated);
  if (HostInterface* host = state.host) {
    host->collectSheetData(workbook_);
    host->openLinkedWorkbooks(workbook_);
    host->applyToSheets(workbook_);
    host->refreshQueryTables(workbook_);
    state.date1904 = host->uses1904Dates();
  }
  for (Cell* cell : calculated) {
    if (cell->hasFlag(CellHostComputed))
      linkHostReferences(*cell);
    else
      linkFormulaReferences(*cell);
  }
  orderingPass();
  clearRecalculationList();
  dynamicNotes_.clear();
  for (Cell* cell : calculated) {
    if (cell->hasFlag(CellHyperlinkPending)) {
      if (state.reporting == ReportingMode::Immediate && !cell->hasFlag(CellHostComputed) && state.host)
        state.host->cellChanged(*cell);
      cell->setFlags(CellHyperlinkPending);
    }
    if (!cell->hasFlag(CellReached) &&
        cell->hasFlag(CellDynamicReferences | CellVolatile | CellHyperlinkPending))
      dependentsWalk(*cell);
  }
  if (workbook_.linksChanged()) orderCells();
  evaluateList(nullptr);
  state.precedentsChanged = settleDynamicReferences() ? 1 : 0;
  clearRecalculationList();
}

bool Recalculator::recalculate(std::vector<Cell*> changed, bool refresh) {
  CalculationState& state = workbook_.state();
  // What a failed pass left behind joins the changed cells.
  changed.insert(changed.end(), unfinished_.begin(), unfinished_.end());
  unfinished_.clear();
  FailureGuard guard(*this, changed);
  state.hostUntouched = 1;
  state.reporting = ReportingMode::Immediate;
  state.clearCaches();
  state.recalculationTime = clockDateTimeSerial(state.date1904);
  if (state.host) {
    state.host->suspendCalculation();
    guard.hostSuspended = true;
  }
  // Reported with its own value as the old one, an array master reports each cell of its area.
  for (Cell* c : unreported_)
    if (!c->hasFlag(CellHostComputed)) workbook_.reportChange(*c, c->value());
  unreported_.clear();
  if (!state.iteration.enabled && !state.circular) {
    evaluateChanged(changed, nullptr);
  } else {
    if (changed.empty())
      workbook_.forEachCell([&](Cell& c) {
        if (c.hasFlag(CellInCycle)) changed.push_back(&c);
      });
    std::vector<Cell*> evaluated;
    evaluateChanged(changed, &evaluated);
    bool deferred = state.hostUntouched != 0;
    if (deferred) state.reporting = ReportingMode::Deferred;
    std::vector<Cell*> deferredSet;
    sweeps(evaluated, deferred ? &deferredSet : nullptr);
    if (deferred) {
      state.reporting = ReportingMode::Immediate;
      if (!deferredSet.empty()) {
        for (Cell* c : evaluated)
          if (c->hasFlag(CellValueChanged)) insertByIdentity(deferredSet, c);
        for (Cell* c : deferredSet)
          if (!c->hasFlag(CellHostComputed)) workbook_.reportChange(*c, c->value());
      }
    }
  }
  state.precedentsChanged = settleDynamicReferences() ? 1 : 0;
  if (refresh) recomputeDataTables();
  state.reporting = ReportingMode::Immediate;
  state.clearCaches();
  state.recalculationTime = 0;
  guard.hostSuspended = false;
  return state.host ? state.host->resumeCalculation() : true;
}

} // namespace cwbk
