// Range tallies: a tally reused from a smaller range of the same start equals the tally of a full walk,
// bit for bit, and nothing is reused from cells that a pass may still change.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/reference.h"
#include "functions/range_tally.h"

using namespace cwbk;

namespace {

bool sameTally(const RangeTally& a, const RangeTally& b) {
  return std::memcmp(&a.value, &b.value, sizeof a.value) == 0 && a.count == b.count && a.error == b.error;
}

std::string describe(const RangeTally& t) {
  char text[80];
  std::snprintf(text, sizeof text, "%.17g count %llu error %d", t.value, (unsigned long long)t.count,
                t.error);
  return text;
}

Area area(std::u16string_view a1) {
  ParsedArea parsed = parseArea(a1, 0);
  return {parsed.first, parsed.second};
}

class RangeTallyTest : public ::testing::Test {
protected:
  void SetUp() override { reset(); }
  // Starts over with an empty workbook.
  void reset() {
    book_ = std::make_unique<CompiledWorkbook>();
    book_->addSheet(u"Sheet1");
    context_ = EvaluationContext{};
    context_.workbook = book_.get();
  }
  void set(std::u16string_view a1, const CalcValue& v) {
    book_->findOrCreateCell(area(a1).first)->setValue(v);
  }
  Cell& cell(std::u16string_view a1) { return *book_->findCell(area(a1).first); }
  // The tally of a full walk: outside a pass nothing is kept or reused.
  RangeTally fullWalk(std::u16string_view a1, TallyKind kind) {
    bool saved = book_->state().levelOrderedPass;
    book_->state().levelOrderedPass = false;
    RangeTally t = tallyArea(context_, area(a1), kind);
    book_->state().levelOrderedPass = saved;
    return t;
  }
  void expectFullWalk(std::u16string_view a1, TallyKind kind) {
    RangeTally reused = tallyArea(context_, area(a1), kind);
    RangeTally full = fullWalk(a1, kind);
    EXPECT_TRUE(sameTally(reused, full)) << std::string(a1.begin(), a1.end()) << " kind " << int(kind) << ": "
                                         << describe(reused) << " vs " << describe(full);
  }

  std::unique_ptr<CompiledWorkbook> book_;
  EvaluationContext context_;
};

// Sums whose rounding depends on the order of the additions, texts, Booleans, an error and holes, read
// by ranges that grow, shrink and grow again in either direction, and by ranges of several columns that
// grow by rows, which no tally may continue.
TEST_F(RangeTallyTest, ReusedTalliesEqualFullWalks) {
  set(u"A1", CalcValue::number(1e16));
  set(u"A2", CalcValue::number(1));
  set(u"A3", CalcValue::number(-1e16));
  set(u"A4", CalcValue::number(0.1));
  set(u"A6", CalcValue::text(u"text"));
  set(u"A7", CalcValue::boolean(true));
  set(u"A8", CalcValue::number(0.2));
  set(u"A9", CalcValue::number(-3));
  set(u"A10", CalcValue::error(ErrNA));
  set(u"A11", CalcValue::number(7));
  set(u"B1", CalcValue::number(0.3));
  set(u"B2", CalcValue::number(1e-17));
  set(u"B4", CalcValue());
  set(u"C1", CalcValue::number(-0.7));
  set(u"C3", CalcValue::text(u"x"));
  set(u"D2", CalcValue::number(5));
  book_->state().levelOrderedPass = true;
  const std::vector<std::vector<std::u16string_view>> sequences = {
      {u"A1:A3", u"A1:A5", u"A1:A2", u"A1:A9", u"A1:A4", u"A1:A12", u"A1:A10", u"A1:A1"},
      {u"A1:A12", u"A1:A3", u"A1:A8"},
      {u"A2:A4", u"A2:A9", u"A3:A11"},
      {u"A1:B2", u"A1:C2", u"A1:B2", u"A1:E2", u"A1:D2"},
      {u"A1:B2", u"A1:B4", u"A1:B3", u"A1:D4"},
      {u"A1:A1", u"A1:B1", u"A1:D1"},
  };
  const TallyKind kinds[] = {TallyKind::Sum,   TallyKind::Product, TallyKind::Average,
                             TallyKind::Count, TallyKind::CountA,  TallyKind::Max,
                             TallyKind::Min,   TallyKind::MaxA,    TallyKind::MinA};
  for (TallyKind kind : kinds)
    for (const auto& sequence : sequences) {
      book_->state().clearCaches();
      for (std::u16string_view a1 : sequence)
        expectFullWalk(a1, kind);
    }
}

// A cell that the pass has reached but not evaluated yet, the cell being evaluated, and a cell created
// after a tally was kept may all hold other values later in the pass: what a longer range reads of
// them must be their value at that time.
TEST_F(RangeTallyTest, CellsThatMayStillChangeAreNotReused) {
  enum class Case { ReachedNotEvaluated, BeingEvaluated, CreatedLater };
  for (Case c : {Case::ReachedNotEvaluated, Case::BeingEvaluated, Case::CreatedLater}) {
    SCOPED_TRACE(int(c));
    reset();
    CompiledWorkbook& w = *book_;
    for (std::u16string_view a1 : {u"A1", u"A2", u"A3", u"A4", u"A5"})
      if (!(c == Case::CreatedLater && a1 == u"A3")) set(a1, CalcValue::number(a1[1] - u'0'));
    w.state().clearCaches();
    w.state().levelOrderedPass = true;
    if (c == Case::ReachedNotEvaluated) cell(u"A3").setFlags(CellReached);
    if (c == Case::BeingEvaluated) context_.currentCell = &cell(u"A3");
    tallyArea(context_, area(u"A1:A4"), TallyKind::Sum);
    // What the pass does next: evaluates A3 to a new value, or creates it.
    set(u"A3", CalcValue::number(100));
    if (c == Case::ReachedNotEvaluated) cell(u"A3").setFlags(CellEvaluated);
    context_.currentCell = nullptr;
    expectFullWalk(u"A1:A5", TallyKind::Sum);
    expectFullWalk(u"A1:A4", TallyKind::Sum);
    EXPECT_EQ(tallyArea(context_, area(u"A1:A5"), TallyKind::Sum).value, 1 + 2 + 100 + 4 + 5);
  }
}

} // namespace
