// ExcelAdapter: cell writes with hyperlink, format, wrapping and protection upkeep; reads; Excel's
// own computations; calculation suspension; linked workbooks in a secondary instance; block writes.
#include "excel/excel_adapter.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <optional>

#include "excel/variant_bridge.h"
#include "formula/call_node.h"
#include "formula/cell.h"
#include "formula/compiled_workbook.h"
#include "formula/reference.h"
#include "values/calc_error.h"
#include "values/conversions.h"

namespace cwbk {

namespace {

// Run takes the macro name and 30 more slots; WorksheetFunction's members take 30 arguments.
constexpr size_t kMacroSlots = 29;
constexpr size_t kFunctionSlots = 30;
constexpr DISPID kWorksheetFunctionBase = 0x4000;
constexpr int kLastFunctionNumber = 0x3FFF;
constexpr DWORD kMaxPath = 1024;

bool sameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::towupper(a[i]) != std::towupper(b[i])) return false;
  return true;
}

std::u16string widenAnsi(const std::string& text) {
  if (text.empty()) return {};
  int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::u16string wide(static_cast<size_t>(length), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(wide.data()), length);
  return wide;
}

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

bool isAbsolutePath(std::u16string_view path) {
  if (path.size() >= 2 && path[1] == u':') return true;
  return !path.empty() && (path[0] == u'\\' || path[0] == u'/');
}

bool fileExists(const std::u16string& path) {
  DWORD attributes = GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Returns `path` made absolute against `folder` (at most kMaxPath characters); the path unchanged when
// it is absolute already, when there is no folder, or when the full path does not fit.
std::u16string fullPathUnder(std::u16string_view folder, std::u16string_view path) {
  if (folder.empty() || isAbsolutePath(path)) return std::u16string(path);
  std::u16string joined(folder);
  if (joined.back() != u'\\' && joined.back() != u'/') joined += u'\\';
  joined += path;
  std::u16string full(kMaxPath, u'\0');
  DWORD length = GetFullPathNameW(wide(joined), kMaxPath, reinterpret_cast<wchar_t*>(full.data()), nullptr);
  if (length == 0 || length >= kMaxPath) return std::u16string(path);
  full.resize(length);
  return full;
}

// The value a cell shows as text, for a hyperlink's display text.
std::u16string valueText(const CalcValue* value) {
  if (!value || value->isEmpty()) return {};
  if (value->isText()) return std::u16string(value->textView());
  return displayText(*value);
}

// Properties read before a hyperlink is deleted and written back afterwards: deleting a hyperlink
// resets the cell's formatting to the hyperlink style.
using SavedProperties = std::vector<std::pair<DISPID, Variant>>;

SavedProperties saveProperties(DispatchWrapper& object, std::initializer_list<DISPID> ids) {
  SavedProperties saved;
  for (DISPID id : ids)
    saved.emplace_back(id, object.getVariant(id));
  return saved;
}

// Writes the saved values back; a Null (cells that differ) is not written, and a refused write is
// skipped so that the other properties still come back.
void restoreProperties(DispatchWrapper& object, const SavedProperties& saved) {
  for (const auto& [id, value] : saved) {
    if (value.type() == VT_NULL) continue;
    try {
      object.putVariant(id, value);
    } catch (const ComError&) {
    }
  }
}

// Switches EnableEvents and ScreenUpdating off and restores what they were on every path.
class QuietExcel {
public:
  explicit QuietExcel(ApplicationWrapper& application)
      : application_(application), events_(application.enableEvents()),
        screenUpdating_(application.screenUpdating()) {
    application_.putEnableEvents(false);
    application_.putScreenUpdating(false);
  }
  ~QuietExcel() {
    application_.putEnableEvents(events_);
    application_.putScreenUpdating(screenUpdating_);
  }
  QuietExcel(const QuietExcel&) = delete;
  QuietExcel& operator=(const QuietExcel&) = delete;

private:
  ApplicationWrapper& application_;
  bool events_;
  bool screenUpdating_;
};

// The value that goes into one cell: an Array gives its first element (Empty when it has none).
CalcValue cellValueOf(const CalcValue* value) {
  if (!value) return CalcValue();
  if (value->isArray()) {
    const CalcValue* first = value->element(0, 0);
    return first ? *first : CalcValue();
  }
  return *value;
}

} // namespace

ExcelAdapter::ExcelAdapter(const ApplicationWrapper& application, const WorkbookWrapper& workbook,
                           Options options)
    : application_(application), workbook_(workbook), options_(std::move(options)) {
  try {
    if (!workbook_.isEmpty()) sheets_ = workbook_.sheets();
  } catch (const ComError&) {
  }
}

ExcelAdapter::~ExcelAdapter() {
  sheetList_.clear();
  if (secondary_.isEmpty()) return;
  try {
    WorkbooksWrapper books = secondary_.workbooks();
    for (int32_t i = books.count(); i >= 1; --i) {
      try {
        books.workbook(i).close();
      } catch (const ComError&) {
      }
    }
  } catch (const ComError&) {
  }
  secondary_.quit();
  if (secondaryWindow_) PostMessageW(secondaryWindow_, WM_CLOSE, 0, 0);
}

// ------------------------------------------------------------------ sheets and ranges

bool ExcelAdapter::refreshSheetList() {
  sheetList_.clear();
  try {
    int32_t count = sheets_.count();
    if (count <= 0) return false;
    sheetList_.resize(static_cast<size_t>(count));
    for (int32_t i = 1; i <= count; ++i) {
      WorksheetWrapper sheet = sheets_.sheet(i);
      int32_t position = sheet.index();
      if (position >= 1 && position <= count)
        sheetList_[static_cast<size_t>(position - 1)] = std::move(sheet);
    }
  } catch (const ComError&) {
  }
  return !sheetList_.empty();
}

WorksheetWrapper ExcelAdapter::listedSheet(int32_t position) const {
  if (position < 1 || static_cast<size_t>(position) > sheetList_.size()) return {};
  return sheetList_[static_cast<size_t>(position - 1)];
}

WorksheetWrapper ExcelAdapter::sheetOf(uint32_t sheetIndex) {
  if (sheetIndex >= CellAddress::kNoSheet) return {};
  try {
    return sheets_.sheet(static_cast<int32_t>(sheetIndex) + 1);
  } catch (const ComError&) {
    return {};
  }
}

RangeWrapper ExcelAdapter::cellRange(CellAddress address) {
  if (!address.isValid()) return {};
  WorksheetWrapper sheet = sheetOf(address.sheet());
  if (sheet.isEmpty()) return {};
  try {
    return sheet.range(cellText(address));
  } catch (const ComError&) {
    return {};
  }
}

void ExcelAdapter::info(std::u16string_view type, CalcValue& result) {
  if (!sameIgnoringCase(type, u"ver")) return;
  std::u16string version = application_.version();
  double number = 0, scale = 0;
  for (char16_t c : version) {
    if (c == u'.' && scale == 0) {
      scale = 1;
    } else if (c >= u'0' && c <= u'9') {
      if (scale == 0) {
        number = number * 10 + (c - u'0');
      } else {
        scale /= 10;
        number += (c - u'0') * scale;
      }
    } else {
      break;
    }
  }
  result.setNumber(number);
}

// ------------------------------------------------------------------ writing a changed cell

std::u16string ExcelAdapter::absoluteTarget(std::u16string_view address) const {
  return fullPathUnder(options_.applicationFolder, address);
}

void ExcelAdapter::unprotectIfAsked(uint32_t sheetIndex, WorksheetWrapper& sheet) {
  if (!sheetFlags_ || sheet.isEmpty()) return;
  std::vector<uint32_t>& flags = sheetFlags_->flags;
  uint32_t word = sheetIndex < flags.size() ? flags[sheetIndex] : 0;
  if (!(word & SheetFlagTable::kUnprotectBeforeWrite)) return;
  const std::vector<std::string>& passwords = sheetFlags_->passwords;
  std::u16string password = sheetIndex < passwords.size() ? widenAnsi(passwords[sheetIndex]) : u"";
  auto unprotect = [&] {
    if (options_.protectionRecording) options_.protectionRecording(false);
    try {
      sheet.unprotect(password);
    } catch (const ComError&) {
    }
    if (options_.protectionRecording) options_.protectionRecording(true);
  };
  unprotect();
  if (FAILED(sheet.lastResult())) unprotect();
  // The word has bit 0x20, so the index lies inside the table.
  if (sheetFlags_->passwords.size() < flags.size()) sheetFlags_->passwords.resize(flags.size());
  flags[sheetIndex] = 0;
}

void ExcelAdapter::deleteHyperlinksKeepingFormats(RangeWrapper& range) {
  namespace fmt = dispid::format;
  namespace rng = dispid::range;
  FormatWrapper borders = range.borders();
  SavedProperties bordersSaved, rangeSaved, interiorSaved;
  std::vector<std::pair<FormatWrapper, SavedProperties>> edges;
  if (!borders.isEmpty()) {
    bordersSaved = saveProperties(borders, {fmt::Color, fmt::ColorIndex, fmt::LineStyle, fmt::Weight});
    int32_t count = borders.count();
    for (int32_t i = 1; i <= count; ++i) {
      FormatWrapper edge = borders.border(i);
      SavedProperties saved =
          saveProperties(edge, {fmt::Color, fmt::ColorIndex, fmt::LineStyle, fmt::Weight});
      edges.emplace_back(std::move(edge), std::move(saved));
    }
  }
  rangeSaved = saveProperties(range, {rng::HorizontalAlignment, rng::NumberFormat, rng::ShrinkToFit,
                                      rng::Orientation, rng::VerticalAlignment, rng::WrapText});
  FormatWrapper interior = range.interior();
  interiorSaved = saveProperties(
      interior, {fmt::Color, fmt::ColorIndex, fmt::Pattern, fmt::PatternColor, fmt::PatternColorIndex});

  // From the last to the first, so that the positions of those still to go do not move.
  HyperlinksWrapper links = range.hyperlinks();
  for (int32_t i = links.count(); i >= 1; --i) {
    try {
      links.link(i).deleteLink();
    } catch (const ComError&) {
    }
  }

  if (!borders.isEmpty()) {
    restoreProperties(borders, bordersSaved);
    for (auto& [edge, saved] : edges)
      restoreProperties(edge, saved);
  }
  restoreProperties(range, rangeSaved);
  restoreProperties(interior, interiorSaved);
}

void ExcelAdapter::keepHyperlink(Cell& cell, RangeWrapper& range) {
  HyperlinkRecord* record = cell.hyperlink();
  if (cell.hasFlag(CellHyperlinkPending)) {
    if (!record) {
      cell.clearFlags(CellHyperlinkPending);
      return;
    }
    HyperlinksWrapper links = range.hyperlinks();
    HyperlinkWrapper link = links.count() > 0 ? links.link(1) : links.add(range, u"");
    std::u16string address;
    if (record->kind == HyperlinkRecord::Location) {
      if (!record->subAddress.empty()) link.putSubAddress(record->subAddress);
    } else if (record->kind == HyperlinkRecord::Other) {
      address = absoluteTarget(record->address);
    } else {
      address = record->address;
    }
    link.putAddress(address);
    std::u16string text = valueText(cell.value());
    if (range.hyperlinks().count() > 0 && !text.empty()) link.putTextToDisplay(text);
    cell.clearFlags(CellHyperlinkPending);
    record->kind = HyperlinkRecord::Written;
    return;
  }
  if (!record) return;
  if (record->kind == HyperlinkRecord::Written) {
    if (range.hyperlinks().count() > 0) deleteHyperlinksKeepingFormats(range);
  } else if (record->kind == HyperlinkRecord::Location) {
    HyperlinksWrapper links = range.hyperlinks();
    if (links.count() > 0) return;
    HyperlinkWrapper link = links.add(range, u"");
    link.putTextToDisplay(valueText(cell.value()));
    if (!record->subAddress.empty()) link.putSubAddress(record->subAddress);
  }
}

int ExcelAdapter::cellChanged(Cell& cell) {
  CellAddress address = cell.address();
  WorksheetWrapper sheet = sheetOf(address.sheet());
  if (sheet.isEmpty()) return 0;
  RangeWrapper range;
  try {
    range = sheet.range(cellText(address));
  } catch (const ComError&) {
    return 0;
  }
  if (range.isEmpty()) return 0;
  try {
    // Unprotected first: the hyperlink upkeep changes the sheet too.
    unprotectIfAsked(address.sheet(), sheet);
    keepHyperlink(cell, range);
    // A cell without a value (or with an Empty one) became empty: its Excel cell is cleared.
    CalcValue value = cellValueOf(cell.value());
    std::optional<Variant> wrap;
    if (value.isText() && value.textView().find(u'\n') != std::u16string_view::npos) wrap = range.wrapText();
    if (options_.beforeWrite) {
      try {
        options_.beforeWrite(cell);
      } catch (...) {
      }
    }
    range.putValue2(toVariant(value, true));
    if (options_.afterWrite) {
      try {
        options_.afterWrite(cell);
      } catch (...) {
      }
    }
    if (wrap) {
      bool before = readBoolean(wrap->get());
      if (readBoolean(range.wrapText().get()) != before) range.putWrapText(Variant::boolean(before));
    }
    return 1;
  } catch (const ComError&) {
    return -1;
  }
}

// ------------------------------------------------------------------ reading cells

int ExcelAdapter::readCell(CellAddress address, CalcValue& value) {
  RangeWrapper range = cellRange(address);
  if (range.isEmpty()) return 0;
  Variant answer;
  if (!range.value2(answer)) return -1;
  value = fromVariant(answer.get());
  return 1;
}

bool ExcelAdapter::calculateAndReadCell(CellAddress address, CalcValue& value) {
  RangeWrapper range = cellRange(address);
  if (range.isEmpty()) return false;
  range.calculate();
  Variant answer;
  if (!range.value2(answer)) throw ComError(range.lastResult());
  value = fromVariant(answer.get());
  return true;
}

int ExcelAdapter::visitPrecedentAreas(Cell& cell, const std::function<void(const Area&)>& visitor) {
  RangeWrapper range = cellRange(cell.address());
  if (range.isEmpty()) return 0;
  try {
    RangeWrapper precedents = adoptAs<RangeWrapper>(range.precedentAreas());
    if (precedents.isEmpty()) return 0;
    DispatchCollection areas = precedents.areas();
    int32_t count = areas.count();
    for (int32_t i = 1; i <= count; ++i) {
      RangeWrapper area = adoptAs<RangeWrapper>(areas.item(i));
      int32_t position = area.worksheet().index();
      if (position < 1) continue;
      ParsedArea parsed = parseArea(area.address(), static_cast<uint32_t>(position - 1));
      if (parsed.first.isValid() && parsed.second.isValid()) visitor(Area{parsed.first, parsed.second});
    }
    return 1;
  } catch (const ComError&) {
    return -1;
  }
}

int ExcelAdapter::setColorOf(CellAddress address, int32_t rgb, FormatWrapper (RangeWrapper::*part)()) {
  RangeWrapper range = cellRange(address);
  if (range.isEmpty()) return -1;
  FormatWrapper format;
  try {
    format = (range.*part)();
  } catch (const ComError&) {
    return -1;
  }
  if (format.isEmpty()) return -1;
  format.putColor(Variant::integer(rgb));
  return 0;
}

int ExcelAdapter::setInteriorColor(CellAddress address, int32_t rgb) {
  return setColorOf(address, rgb, &RangeWrapper::interior);
}

int ExcelAdapter::setFontColor(CellAddress address, int32_t rgb) {
  return setColorOf(address, rgb, &RangeWrapper::font);
}

// ------------------------------------------------------------------ Excel's own computations

Variant ExcelAdapter::argumentVariant(const CalcValue& value) {
  auto areaText = [](const Area& area) {
    std::u16string text = cellText(area.first);
    if (area.second != area.first) text += u":" + cellText(area.second);
    return text;
  };
  if (value.isReference()) {
    Area area = value.referenceArea();
    WorksheetWrapper sheet = sheetOf(area.first.sheet());
    if (sheet.isEmpty() || !area.isOneSheet()) throw ComError(DISP_E_TYPEMISMATCH);
    RangeWrapper range = sheet.range(areaText(area));
    return Variant::dispatch(range.get());
  }
  if (value.isReferenceList()) {
    // One range of several areas: all must lie on one sheet.
    const CalcArray* list = value.array();
    if (!list || list->count == 0) throw ComError(DISP_E_TYPEMISMATCH);
    uint32_t sheetIndex = list->elements[0].referenceArea().first.sheet();
    std::u16string text;
    for (uint32_t i = 0; i < list->count; ++i) {
      const CalcValue& element = list->elements[i];
      Area area = element.referenceArea();
      if (!element.isReference() || !area.isOneSheet() || area.first.sheet() != sheetIndex)
        throw ComError(DISP_E_TYPEMISMATCH);
      text += (text.empty() ? u"" : u",") + areaText(area);
    }
    WorksheetWrapper sheet = sheetOf(sheetIndex);
    if (sheet.isEmpty()) throw ComError(DISP_E_TYPEMISMATCH);
    RangeWrapper range = sheet.range(text);
    return Variant::dispatch(range.get());
  }
  if (value.isEmpty()) return Variant::missing();
  return toVariant(value, false);
}

void ExcelAdapter::answerValue(const Variant& answer, CalcValue& result) {
  if (answer.type() == VT_DISPATCH) {
    RangeWrapper range(answer.toDispatch(), DispatchWrapper::adopt);
    Variant value;
    if (!range.value2(value)) throw ComError(range.lastResult());
    result = fromVariant(value.get());
    return;
  }
  result = fromVariant(answer.get());
}

void ExcelAdapter::callWorksheetFunction(int number, const CalcValue* const* arguments, int maxArgs,
                                         CalcValue& result) {
  size_t count = 0;
  if (arguments)
    while (static_cast<int64_t>(count) < maxArgs && arguments[count])
      ++count;
  if (count > kFunctionSlots || number < 0 || number > kLastFunctionNumber) {
    result.setError(ErrValue);
    return;
  }
  try {
    std::vector<Variant> variants;
    variants.reserve(count);
    for (size_t i = 0; i < count; ++i)
      variants.push_back(argumentVariant(*arguments[i]));
    WorksheetFunctionWrapper functions = application_.worksheetFunction();
    Variant answer = functions.compute(kWorksheetFunctionBase + number, variants);
    answerValue(answer, result);
  } catch (const ComError&) {
    result.setError(ErrValue);
  }
}

int ExcelAdapter::evaluateText(std::u16string_view text, bool englishSyntax, CalcValue& result) {
  try {
    answerValue(application_.evaluate(text, englishSyntax), result);
    return 1;
  } catch (const ComError&) {
    return -1;
  }
}

void ExcelAdapter::evaluateText(std::u16string_view text, CalcValue& result) {
  evaluateText(text, false, result);
}

void ExcelAdapter::callMacro(std::u16string_view name, const CalcValue* const* arguments, CalcValue& result) {
  std::vector<Variant> variants;
  for (size_t i = 0; arguments && arguments[i]; ++i) {
    if (i == kMacroSlots) {
      result.setError(ErrValue);
      return;
    }
    variants.push_back(toVariant(*arguments[i], false));
  }
  try {
    answerValue(application_.run(name, variants), result);
  } catch (const ComError&) {
  }
}

void ExcelAdapter::evaluateCall(Cell*, const CallNode& call, const CalcValue* const* arguments,
                                CalcValue& result) {
  size_t count = 0;
  while (arguments && arguments[count]) {
    if (count == kMacroSlots) {
      result.setError(ErrValue);
      return;
    }
    ++count;
  }
  try {
    std::vector<Variant> variants;
    for (size_t i = 0; i < count; ++i)
      variants.push_back(argumentVariant(*arguments[i]));
    answerValue(application_.run(call.name(), variants), result);
  } catch (const ComError&) {
  }
}

int32_t ExcelAdapter::uiLanguage() {
  try {
    DispatchWrapper settings = application_.languageSettings();
    Variant answer = settings.getVariant(dispid::languageSettings::LanguageID,
                                         {Variant::integer(dispid::languageSettings::UserInterface)});
    if (answer.type() == VT_I4) return answer.get().lVal;
    if (answer.type() == VT_I2) return answer.get().iVal;
  } catch (const ComError&) {
  }
  return 0;
}

// ------------------------------------------------------------------ workbook set-up

void ExcelAdapter::collectSheetData(CompiledWorkbook& workbook) {
  int32_t count = 0;
  SheetsWrapper worksheets;
  try {
    worksheets = workbook_.worksheets();
    count = worksheets.count();
  } catch (const ComError&) {
    return;
  }
  for (int32_t i = 1; i <= count; ++i) {
    try {
      WorksheetWrapper sheet = worksheets.sheet(i);
      int32_t position = sheet.index();
      HyperlinksWrapper links = adoptAs<HyperlinksWrapper>(sheet.getObject(dispid::range::Hyperlinks));
      int32_t linkCount = links.count();
      for (int32_t k = 1; k <= linkCount; ++k) {
        HyperlinkWrapper link = links.link(k);
        RangeWrapper anchor = adoptAs<RangeWrapper>(link.objectProperty());
        std::u16string address = link.address();
        std::u16string subAddress = link.subAddress();
        std::u16string text = link.textProperty();
        CellAddress cellAddress = parseCell(anchor.address(), static_cast<uint32_t>(position - 1));
        Cell* cell = cellAddress.isValid() ? workbook.findCell(cellAddress) : nullptr;
        // A hyperlink the model knows already (from its formula) stays the model's.
        if (!cell || cell->hyperlink()) continue;
        HyperlinkRecord record = HyperlinkRecord::parse(address.empty() ? u"#" + subAddress : address);
        if (!subAddress.empty()) record.subAddress = subAddress;
        record.displayText = text;
        cell->setHyperlink(std::make_unique<HyperlinkRecord>(std::move(record)));
      }
    } catch (const ComError&) {
    }
  }
}

void ExcelAdapter::forEachSheet(const std::function<void(int32_t position, WorksheetWrapper& sheet)>& visit) {
  int32_t count = 0;
  try {
    count = sheets_.count();
  } catch (const ComError&) {
    return;
  }
  for (int32_t i = 1; i <= count; ++i) {
    try {
      WorksheetWrapper sheet = sheets_.sheet(i);
      visit(i, sheet);
    } catch (const ComError&) {
    }
  }
}

void ExcelAdapter::applyToSheets(CompiledWorkbook& workbook) {
  forEachSheet([&](int32_t position, WorksheetWrapper& sheet) {
    if (!sheet.isWorksheet()) return;
    const SheetInfo* info = workbook.sheet(static_cast<uint32_t>(position - 1));
    if (!info) return;
    SheetInfo updated = *info;
    updated.codeName = sheet.nameForCode();
    workbook.setSheet(static_cast<uint32_t>(position - 1), std::move(updated));
  });
}

void ExcelAdapter::refreshQueryTables(CompiledWorkbook&) {
  forEachSheet([](int32_t, WorksheetWrapper& sheet) {
    DispatchCollection tables = sheet.queryTables();
    int32_t tableCount = tables.count();
    for (int32_t k = 1; k <= tableCount; ++k) {
      QueryTableWrapper table = adoptAs<QueryTableWrapper>(tables.item(k));
      if (table.stateA() && !table.stateB()) table.refresh(false);
    }
  });
}

bool ExcelAdapter::uses1904Dates() {
  try {
    return workbook_.date1904();
  } catch (const ComError&) {
    return false;
  }
}

bool ExcelAdapter::suspendCalculation() {
  if (suspensions_++ > 0) return true;
  calculationSwitched_ = false;
  try {
    rememberedCalculation_ = application_.calculation();
  } catch (const ComError&) {
    return false;
  }
  if (rememberedCalculation_ != dispid::constant::CalculationManual)
    calculationSwitched_ = application_.putCalculation(dispid::constant::CalculationManual);
  return true;
}

bool ExcelAdapter::resumeCalculation() {
  if (suspensions_ == 0) return true;
  if (--suspensions_ > 0) return true;
  if (!calculationSwitched_) return true;
  calculationSwitched_ = false;
  return application_.putCalculation(rememberedCalculation_);
}

// ------------------------------------------------------------------ linked workbooks

bool ExcelAdapter::ensureSecondary() {
  if (!secondary_.isEmpty()) return true;
  bool created =
      options_.createSecondary ? options_.createSecondary(secondary_) : secondary_.createInstance();
  if (!created || secondary_.isEmpty()) {
    secondary_.attach(nullptr);
    return false;
  }
  try {
    int32_t setting = secondary_.savedSetting();
    secondary_.putIgnoreRemoteRequests(true);
    if (secondary_.savedSetting() != setting) secondary_.putSavedSetting(setting);
  } catch (const ComError&) {
  }
  try {
    secondaryWindow_ = findMainWindow(secondary_);
  } catch (const ComError&) {
    secondaryWindow_ = nullptr;
  }
  return true;
}

void ExcelAdapter::openLinkedWorkbooks(CompiledWorkbook& workbook) {
  std::vector<std::u16string> found;
  for (const ExternalLink& link : workbook.externalLinks()) {
    if (link.fileName.empty()) continue;
    // The link's own folder first, then the application's.
    std::u16string inFolder = link.folder;
    if (!inFolder.empty() && inFolder.back() != u'\\' && inFolder.back() != u'/') inFolder += u'\\';
    std::u16string candidates[] = {inFolder.empty() ? u"" : inFolder + link.fileName,
                                   fullPathUnder(options_.applicationFolder, link.fileName)};
    for (const std::u16string& path : candidates)
      if (!path.empty() && isAbsolutePath(path) && fileExists(path)) {
        found.push_back(path);
        break;
      }
  }
  if (found.empty() || !ensureSecondary()) return;
  for (const std::u16string& path : found)
    openLinkedWorkbook(path);
}

bool ExcelAdapter::openLinkedWorkbook(std::u16string_view path) {
  if (!ensureSecondary()) return false;
  try {
    WorkbookWrapper book = secondary_.workbooks().open(path);
    return !book.isEmpty();
  } catch (const ComError&) {
    return false;
  }
}

int ExcelAdapter::readLinkedCell(std::u16string_view workbookName, std::u16string_view address,
                                 CalcValue& value) {
  SheetPrefix prefix;
  if (!splitSheetPrefix(address, prefix)) return 0;
  for (ApplicationWrapper* excel : {&secondary_, &application_}) {
    if (excel->isEmpty()) continue;
    WorkbookWrapper book;
    try {
      book = excel->workbooks().workbook(workbookName);
    } catch (const ComError&) {
      continue;
    }
    try {
      SheetsWrapper sheets = book.worksheets();
      WorksheetWrapper sheet =
          prefix.hasSheet ? sheets.sheet(std::u16string_view(prefix.sheet)) : sheets.sheet(1);
      RangeWrapper range = sheet.range(prefix.address);
      Variant answer;
      if (!range.value2(answer)) return -1;
      value = fromVariant(answer.get());
      return 1;
    } catch (const ComError&) {
      return 0;
    }
  }
  return 0;
}

void ExcelAdapter::closeLinkedWorkbook(std::u16string_view name) {
  if (secondary_.isEmpty()) return;
  try {
    WorkbooksWrapper books = secondary_.workbooks();
    for (int32_t i = books.count(); i >= 1; --i) {
      WorkbookWrapper book = books.workbook(i);
      if (sameIgnoringCase(book.name(), name)) {
        book.close();
        return;
      }
    }
  } catch (const ComError&) {
  }
}

// ------------------------------------------------------------------ DDE through Excel

int32_t ExcelAdapter::ddeInitiate(std::u16string_view application, std::u16string_view topic) {
  return application_.ddeInitiate(application, topic);
}

void ExcelAdapter::ddeTerminate(int32_t channel) {
  application_.ddeTerminate(channel);
}

void ExcelAdapter::ddeRequest(int32_t channel, std::u16string_view item, CalcValue& value) {
  value = fromVariant(application_.ddeRequest(channel, item).get());
}

// ------------------------------------------------------------------ block write

void ExcelAdapter::writeBlockValues(std::span<const BlockValue> values) {
  std::map<uint32_t, std::vector<CellWrite>> bySheet;
  for (const BlockValue& v : values) {
    if (!v.address.isValid() || v.address.sheet() >= CellAddress::kNoSheet) continue;
    bySheet[v.address.sheet()].push_back(
        CellWrite{v.address.rowIndex(), v.address.column(), cellValueOf(&v.value)});
  }
  if (bySheet.empty()) return;
  QuietExcel quiet(application_);
  for (auto& [sheetIndex, cells] : bySheet) {
    // A sheet that cannot be reached, or is no worksheet, is skipped; a failing write is not.
    WorksheetWrapper sheet = sheetOf(sheetIndex);
    bool worksheet = false;
    try {
      worksheet = !sheet.isEmpty() && sheet.isWorksheet();
    } catch (const ComError&) {
    }
    if (!worksheet) continue;
    unprotectIfAsked(sheetIndex, sheet);
    sheet.writeCells(cells);
  }
}

} // namespace cwbk
