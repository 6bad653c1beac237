// ExcelAdapter: the engine's host interface and host evaluation service against Excel. It writes
// changed cells into Excel (keeping hyperlinks, formats, wrapping and sheet protection right), reads
// cells, has Excel compute what the engine does not (worksheet functions, formula texts, macros), holds
// Excel's calculation off during a recalculation, and owns the secondary Excel instance in which linked
// workbooks are opened.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "excel/excel_objects.h"
#include "formula/host_interface.h"
#include "formula/host_services.h"
#include "values/calc_value.h"
#include "values/cell_address.h"

namespace cwbk {

// The host's per-sheet flag table while a recalculation runs: entry i belongs to model sheet index i
// (Excel's sheet i + 1). Bit 0x20 of a flag word asks for the sheet to be unprotected before the first
// write; the adapter then clears the word, so that the host can tell which sheets to protect again.
struct SheetFlagTable {
  static constexpr uint32_t kUnprotectBeforeWrite = 0x20;
  std::vector<uint32_t> flags;
  std::vector<std::string> passwords; // 8-bit texts
};

// One value of a block write: the model address and the value.
struct BlockValue {
  CellAddress address;
  CalcValue value;
};

class ExcelAdapter : public HostInterface, public HostEvaluationService {
public:
  // What the adapter takes from its owner besides Excel itself.
  struct Options {
    // Called before and after a value is written into Excel (the application's notification
    // entries); an exception from either is swallowed.
    std::function<void(Cell&)> beforeWrite;
    std::function<void(Cell&)> afterWrite;
    // Called with the protection recording switched off (false) and on again (true) around the
    // adapter's own Unprotect calls.
    std::function<void(bool)> protectionRecording;
    // The application's folder: relative file targets of hyperlinks and linked workbooks are taken
    // from it.
    std::u16string applicationFolder;
    // Creates the secondary Excel instance into `instance`; returns whether it holds one. By default
    // a new local server of Excel.
    std::function<bool(ApplicationWrapper& instance)> createSecondary;
  };

  // The adapter of the Excel that hosts the runtime and the workbook the model belongs to.
  ExcelAdapter(const ApplicationWrapper& application, const WorkbookWrapper& workbook, Options options = {});
  // Releases every wrapper; closes the secondary instance's workbooks without saving and quits it.
  ~ExcelAdapter() override;
  ExcelAdapter(const ExcelAdapter&) = delete;
  ExcelAdapter& operator=(const ExcelAdapter&) = delete;

  bool isAvailable() const { return true; }
  // Rebuilds the list of sheet objects by their Index; returns whether it is not empty.
  bool refreshSheetList();
  // The sheet object at a 1-based position of the list (an empty wrapper when there is none).
  WorksheetWrapper listedSheet(int32_t position) const;
  // "ver" (case aside): the number of Application.Version; any other type leaves result as it is.
  void info(std::u16string_view type, CalcValue& result);

  // --- HostInterface
  // 1 written, 0 no range or no value, -1 a COM error (the cell keeps what was done before it).
  int cellChanged(Cell& cell) override;
  int readCell(CellAddress address, CalcValue& value) override;
  int visitPrecedentAreas(Cell& cell, const std::function<void(const Area&)>& visitor) override;
  bool calculateAndReadCell(CellAddress address, CalcValue& value) override;
  void collectSheetData(CompiledWorkbook& workbook) override;
  void openLinkedWorkbooks(CompiledWorkbook& workbook) override;
  void applyToSheets(CompiledWorkbook& workbook) override;
  void refreshQueryTables(CompiledWorkbook& workbook) override;
  bool uses1904Dates() override;
  // Nested pairs are counted: only the outermost suspension reads and switches the mode, and only
  // the matching resumption sets it back.
  bool suspendCalculation() override;
  bool resumeCalculation() override;

  // 0 written, -1 no range, Interior or Font; a COM error while writing the colour reaches the caller.
  int setInteriorColor(CellAddress address, int32_t rgb);
  int setFontColor(CellAddress address, int32_t rgb);

  // --- HostEvaluationService
  // More arguments than Excel's 30 slots, or any failure, answer #VALUE!.
  void callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                             CalcValue& result) override;
  // In the user's formula syntax.
  void evaluateText(std::u16string_view text, CalcValue& result) override;
  // More than 29 arguments answer #VALUE! (the first of Run's 30 slots holds the name).
  void callMacro(std::u16string_view name, const CalcValue* const* arguments, CalcValue& result) override;
  void evaluateCall(Cell* currentCell, const CallNode& call, const CalcValue* const* arguments,
                    CalcValue& result) override;
  // Application.Evaluate in English or the user's syntax; a Range answer is read through Value2.
  // Returns 1 answered, -1 a COM error.
  int evaluateText(std::u16string_view text, bool englishSyntax, CalcValue& result);

  // Excel's user-interface language id; 0 when the answer is no integer.
  int32_t uiLanguage();

  // --- linked workbooks (the secondary instance is created on first need)
  // Opens `path` in the secondary instance; false when it cannot.
  bool openLinkedWorkbook(std::u16string_view path);
  // Reads Value2 of an address text in the named workbook (secondary instance first, then the host).
  // Returns 1 read, 0 no such workbook or range, -1 a COM error.
  int readLinkedCell(std::u16string_view workbookName, std::u16string_view address, CalcValue& value);
  // Closes the named workbook (case aside) in the secondary instance without saving.
  void closeLinkedWorkbook(std::u16string_view name);
  bool hasSecondaryInstance() const { return !secondary_.isEmpty(); }

  // --- DDE through Excel (the runtime's own DDE client is not part of the adapter)
  int32_t ddeInitiate(std::u16string_view application, std::u16string_view topic);
  void ddeTerminate(int32_t channel);
  void ddeRequest(int32_t channel, std::u16string_view item, CalcValue& value);

  // Keeps the host's table (null: none) for the duration of a recalculation run.
  void setSheetFlags(SheetFlagTable* table) { sheetFlags_ = table; }

  // Writes imported values into Excel: per sheet, only the listed cells (runs of adjacent cells of a
  // row in one write through the sheet's own Range); chart sheets and sheets Excel does not have are
  // skipped. Sheets are unprotected first as cellChanged does; events and screen updating are off
  // during the write and restored on every path. A failing write reaches the caller as ComError.
  // The caller applies the records to the model.
  void writeBlockValues(std::span<const BlockValue> values);

private:
  // Visits Excel's sheets of the workbook by position (1-based); a COM failure on one sheet skips it,
  // one while counting them visits none.
  void forEachSheet(const std::function<void(int32_t position, WorksheetWrapper& sheet)>& visit);
  // Sets the colour of one format part (Interior or Font) of a cell; as setInteriorColor.
  int setColorOf(CellAddress address, int32_t rgb, FormatWrapper (RangeWrapper::*part)());
  // The range of a cell in the application's workbook; an empty wrapper when the sheet or range
  // cannot be obtained.
  RangeWrapper cellRange(CellAddress address);
  WorksheetWrapper sheetOf(uint32_t sheetIndex);
  void unprotectIfAsked(uint32_t sheetIndex, WorksheetWrapper& sheet);
  void keepHyperlink(Cell& cell, RangeWrapper& range);
  void deleteHyperlinksKeepingFormats(RangeWrapper& range);
  std::u16string absoluteTarget(std::u16string_view address) const;
  // Converts an argument into its automation form; references become ranges of the workbook.
  Variant argumentVariant(const CalcValue& value);
  // Converts an answer into a value: a Range is read through Value2.
  void answerValue(const Variant& answer, CalcValue& result);
  bool ensureSecondary();

  ApplicationWrapper application_;
  WorkbookWrapper workbook_;
  SheetsWrapper sheets_;
  Options options_;
  std::vector<WorksheetWrapper> sheetList_;
  SheetFlagTable* sheetFlags_ = nullptr;
  int32_t rememberedCalculation_ = 0;
  bool calculationSwitched_ = false;
  int suspensions_ = 0;
  ApplicationWrapper secondary_;
  HWND secondaryWindow_ = nullptr;
  std::vector<std::u16string> secondaryBooks_;
};

} // namespace cwbk
