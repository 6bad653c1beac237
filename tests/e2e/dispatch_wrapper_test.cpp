// DispatchWrapper and DispatchCollection against the double: holding objects and their references,
// the three ways of calling a member, the VARIANT conventions, and COM errors.
#include <gtest/gtest.h>

#include "excel_fixture.h"

namespace cwbk::testing {
namespace {

namespace app = cwbk::dispid::application;

// An object that records its destruction, to catch a use after release.
class Tracked : public DoubleObjectOf<Tracked> {
public:
  Tracked(ExcelDouble& excel, bool& destroyed) : DoubleObjectOf(excel), destroyed_(destroyed) {}
  ~Tracked() override { destroyed_ = true; }
  std::string label() const override { return "Tracked"; }
  static const std::vector<Member<Tracked>>& members() {
    static const std::vector<Member<Tracked>> table;
    return table;
  }

private:
  bool& destroyed_;
};

// An object without IDispatch.
class UnknownOnly : public IUnknown {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

using DispatchWrapperTest = ExcelFixture;

TEST_F(DispatchWrapperTest, HoldsExactlyOneReference) {
  bool destroyed = false;
  auto* object = new Tracked(excel, destroyed); // our reference
  {
    DispatchWrapper w(object);
    EXPECT_EQ(object->references(), 2u);
    DispatchWrapper copy = w;
    EXPECT_EQ(object->references(), 3u);
    DispatchWrapper moved = std::move(copy);
    EXPECT_TRUE(copy.isEmpty());
    EXPECT_EQ(object->references(), 3u);
    DispatchWrapper other;
    EXPECT_TRUE(other.attachFrom(w));
    EXPECT_EQ(object->references(), 4u);
  }
  EXPECT_EQ(object->references(), 1u);
  object->Release();
  EXPECT_TRUE(destroyed);
}

TEST_F(DispatchWrapperTest, ReattachingTheHeldObjectKeepsItAlive) {
  bool destroyed = false;
  DispatchWrapper w(new Tracked(excel, destroyed),
                    DispatchWrapper::adopt); // the wrapper's is the only reference
  EXPECT_TRUE(w.attach(w.get()));
  EXPECT_FALSE(destroyed);
  EXPECT_TRUE(w.attachUnknown(w.get()));
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(static_cast<Tracked*>(doubleObjectOf(w.get()))->references(), 1u);
  IDispatch* same = w.get();
  same->AddRef();
  w.take(same); // takes over our new reference, gives up its old one
  EXPECT_FALSE(destroyed);
  EXPECT_FALSE(w.attach(nullptr));
  EXPECT_TRUE(destroyed);
}

TEST_F(DispatchWrapperTest, AttachingAnObjectWithoutIDispatchHoldsNothing) {
  UnknownOnly plain;
  DispatchWrapper w(excel.application());
  EXPECT_FALSE(w.attach(&plain));
  EXPECT_TRUE(w.isEmpty());
  EXPECT_EQ(w.lastResult(), E_NOINTERFACE);
}

TEST_F(DispatchWrapperTest, AnEmptyWrapperFailsEveryCallWithoutCallingAnything) {
  ApplicationWrapper none;
  EXPECT_EQ(none.get(), nullptr);
  EXPECT_THROW(none.version(), ComError);
  EXPECT_EQ(none.lastResult(), E_POINTER);
  EXPECT_FALSE(none.putScreenUpdating(false));
  EXPECT_FALSE(none.quit());
  Variant v = Variant::integer(5);
  EXPECT_FALSE(RangeWrapper().value2(v));
  EXPECT_TRUE(v.isEmpty());
  EXPECT_TRUE(excel.log().calls().empty());
}

TEST_F(DispatchWrapperTest, TheDispatchRoutineAndTheDirectInvokeAsExcelSeesThem) {
  app.getVariant(app::Version);
  app.putInteger(app::Calculation, dispid::constant::CalculationManual);
  RangeWrapper a1 = dataSheet().range(u"A1");
  // An object is written by reference (the double does not know the member; the call is logged).
  EXPECT_THROW(DispatchWrapper(excel.application()).putVariant(0x7777, Variant::dispatch(a1.get())),
               ComError);
  app.invoke(app::OnUndo, DISPATCH_METHOD, {Variant::text(u"first"), Variant::text(u"second")});

  auto read = calls(app::Version);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0]->flags, DISPATCH_PROPERTYGET);
  EXPECT_EQ(read[0]->locale, 0u);
  auto write = calls(app::Calculation, CallLog::Kind::Put);
  ASSERT_EQ(write.size(), 1u);
  EXPECT_EQ(write[0]->flags, DISPATCH_PROPERTYPUT);
  EXPECT_TRUE(holdsNumber(write[0]->args.back(), -4135));
  auto byRef = calls(0x7777);
  ASSERT_EQ(byRef.size(), 1u);
  EXPECT_EQ(byRef[0]->flags, DISPATCH_PROPERTYPUTREF);
  auto direct = calls(app::OnUndo);
  ASSERT_EQ(direct.size(), 1u);
  EXPECT_EQ(direct[0]->locale, kLocaleSystemDefault);
  ASSERT_EQ(direct[0]->args.size(), 2u);
  EXPECT_TRUE(holdsText(direct[0]->args[0], u"first"));
  EXPECT_TRUE(holdsText(direct[0]->args[1], u"second"));
  EXPECT_EQ(excel.state(app::Calculation).toInteger(), -4135);
}

TEST_F(DispatchWrapperTest, BooleansAreTrueOnlyAsNonZeroVtBool) {
  struct Case {
    Variant answer;
    bool expected;
  } cases[] = {{Variant::integer(1), false},
               {Variant::text(u"TRUE"), false},
               {Variant::boolean(true), true},
               {Variant::boolean(false), false}};
  for (Case& c : cases) {
    excel.app().script(app::EnableEvents, [&](DispatchCall& call) { return call.answer(c.answer); });
    EXPECT_EQ(app.enableEvents(), c.expected) << c.answer.type();
  }
  excel.app().unscript(app::EnableEvents);
  app.putDisplayAlerts(true);
  app.putDisplayAlerts(false);
  auto writes = calls(app::DisplayAlerts, CallLog::Kind::Put);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0]->args[0].type(), VT_BOOL);
  EXPECT_EQ(writes[0]->args[0].get().boolVal, VARIANT_TRUE);
  EXPECT_EQ(writes[1]->args[0].get().boolVal, VARIANT_FALSE);
}

TEST_F(DispatchWrapperTest, ComErrorsCarryTheResultAndExcelsExceptionInformation) {
  try {
    app.getVariant(0x4242);
    FAIL() << "an unknown member must raise";
  } catch (const ComError& e) {
    EXPECT_EQ(e.result(), DISP_E_MEMBERNOTFOUND);
  }
  EXPECT_EQ(app.lastResult(), DISP_E_MEMBERNOTFOUND);
  try {
    app.run(u"NoSuchMacro");
    FAIL() << "an unknown macro must raise";
  } catch (const ComError& e) {
    EXPECT_EQ(e.result(), DISP_E_EXCEPTION);
    EXPECT_EQ(e.exceptionCode(), static_cast<HRESULT>(0x800A03EC));
    EXPECT_EQ(e.description(), u"Cannot run the macro");
  }
  EXPECT_EQ(app.lastResult(), DISP_E_EXCEPTION);
  app.version();
  EXPECT_EQ(app.lastResult(), S_OK);
}

TEST_F(DispatchWrapperTest, DirectInvokeRejectsAnAnswerOfAnotherType) {
  WorksheetWrapper data = dataSheet();
  sheet.setProperty(dispid::worksheet::CodeName, Variant::integer(3));
  EXPECT_THROW(data.codeName(), ComError);
  EXPECT_EQ(data.lastResult(), DISP_E_TYPEMISMATCH);
  sheet.script(dispid::worksheet::Index, [](DispatchCall& call) { return call.answer(Variant::text(u"1")); });
  EXPECT_THROW(data.index(), ComError);
}

TEST_F(DispatchWrapperTest, CollectionsCountAndItemsByPositionAndName) {
  excel.addWorkbook(u"Other.xlsx", {u"Only"});
  WorkbooksWrapper books = app.workbooks();
  EXPECT_EQ(books.count(), 2);
  EXPECT_EQ(books.workbook(2).name(), u"Other.xlsx");
  EXPECT_EQ(books.workbook(u"book1.xlsx").name(), u"Book1.xlsx");
  SheetsWrapper sheets = books.workbook(1).worksheets();
  EXPECT_EQ(sheets.count(), 3);
  EXPECT_EQ(sheets.sheet(u"Extra").index(), 3);
  EXPECT_EQ(sheets.sheet(2).name(), u"Calc");
  try {
    sheets.sheet(9);
    FAIL();
  } catch (const ComError& e) {
    EXPECT_EQ(e.result(), DISP_E_BADINDEX);
  }
  // A failing Count raises instead of reading as an empty collection.
  excel.failWith("Workbooks", dispid::collection::Count, E_FAIL);
  EXPECT_THROW(books.count(), ComError);
  EXPECT_EQ(books.lastResult(), E_FAIL);
  // An Item answer that is no object.
  excel.script("Workbooks", dispid::collection::Item,
               [](DispatchCall& call) { return call.answer(Variant::integer(1)); });
  EXPECT_THROW(books.workbook(1), ComError);
  EXPECT_EQ(books.lastResult(), DISP_E_TYPEMISMATCH);
}

} // namespace
} // namespace cwbk::testing
