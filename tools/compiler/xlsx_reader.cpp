// Reader of .xlsx workbooks: opens the zip with libzip, streams each XML part through expat with a cap
// on its inflated size, and builds the SourceWorkbook (shared formulas are shifted per cell here).
#include "compiler/xlsx_reader.h"

#include "compiler/formula_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <unordered_map>

#include <expat.h>
#include <zip.h>

#include "format/number_format.h"
#include "values/date_serial.h"

namespace cwbk::compiler {

namespace {

// ---------------------------------------------------------------------------------------------------
// Small text helpers

std::string_view localName(const char* name) {
  const char* colon = std::strrchr(name, ':');
  return colon != nullptr ? std::string_view(colon + 1) : std::string_view(name);
}

// Returns the value of the attribute with this local name (namespace prefix ignored), or null.
const char* attribute(const XML_Char** attributes, std::string_view local) {
  for (; *attributes != nullptr; attributes += 2) {
    std::string_view name = attributes[0];
    if (name.starts_with("xmlns")) continue;
    if (localName(attributes[0]) == local) return attributes[1];
  }
  return nullptr;
}

bool isTrue(const char* value) {
  return value != nullptr && (std::strcmp(value, "1") == 0 || std::strcmp(value, "true") == 0);
}

std::u16string wide(std::string_view utf8) {
  // Expat hands out valid UTF-8 only; anything else would be a fault of ours.
  std::optional<std::u16string> text = utf8ToUtf16(utf8);
  if (!text) throw SourceError("text is not valid UTF-8");
  return std::move(*text);
}

int hexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Returns string content with the "_xHHHH_" escapes of the file format decoded ("_x000D_" is a carriage
// return, "_x005F_" an underscore).
std::u16string decodeEscapes(std::u16string text) {
  if (text.find(u"_x") == std::u16string::npos) return text;
  std::u16string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'_' && i + 6 < text.size() && text[i + 1] == u'x' && text[i + 6] == u'_') {
      int code = 0;
      bool hex = true;
      for (size_t k = 2; k < 6; ++k) {
        int d = hexDigit(text[i + k]);
        hex = hex && d >= 0;
        code = code * 16 + d;
      }
      if (hex) {
        out.push_back(static_cast<char16_t>(code));
        i += 6;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

bool parseUnsigned(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool isLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Parses an A1 cell name (each part may carry '$') filling the whole text.
bool parseCellReference(std::string_view text, uint32_t& row, uint32_t& column) {
  size_t i = 0;
  if (i < text.size() && text[i] == '$') ++i;
  uint64_t col = 0;
  size_t letters = 0;
  while (i < text.size() && isLetter(text[i]) && letters < 4) {
    col = col * 26 + uint64_t((text[i] & ~0x20) - 'A' + 1);
    ++i;
    ++letters;
  }
  if (letters == 0 || letters > 3 || col > kMaxColumns) return false;
  if (i < text.size() && text[i] == '$') ++i;
  uint64_t r = 0;
  if (!parseUnsigned(text.substr(i), r) || r == 0 || r > kMaxRows) return false;
  row = static_cast<uint32_t>(r - 1);
  column = static_cast<uint32_t>(col - 1);
  return true;
}

// Parses "A1" or "A1:B2" into a range, top-left first.
bool parseRangeReference(std::string_view text, SourceRange& range) {
  size_t colon = text.find(':');
  std::string_view first = text.substr(0, colon);
  std::string_view second = colon == std::string_view::npos ? first : text.substr(colon + 1);
  uint32_t r1, c1, r2, c2;
  if (!parseCellReference(first, r1, c1) || !parseCellReference(second, r2, c2)) return false;
  range = SourceRange{std::min(r1, r2), std::min(c1, c2), std::max(r1, r2), std::max(c1, c2)};
  return true;
}

// Returns the date serial of an ISO 8601 text "YYYY-MM-DD[THH:MM[:SS[.fff]]]" or "THH:MM:SS" in the
// workbook's date system, or nothing when the text is not such a date.
std::optional<double> isoDateSerial(std::string_view text, bool date1904) {
  auto number = [&](size_t pos, size_t count, int& out) {
    if (pos + count > text.size()) return false;
    out = 0;
    for (size_t i = pos; i < pos + count; ++i) {
      if (!isDigit(text[i])) return false;
      out = out * 10 + (text[i] - '0');
    }
    return true;
  };
  double serial = 0;
  size_t pos = 0;
  if (text.empty()) return std::nullopt;
  if (text[0] != 'T') {
    int y, m, d;
    if (!number(0, 4, y) || text.size() < 10 || text[4] != '-' || !number(5, 2, m) || text[7] != '-' ||
        !number(8, 2, d) || m < 1 || m > 12 || d < 1 || d > 31)
      return std::nullopt;
    std::optional<int32_t> day = serialFromCivil(y, m, d, dateSystemOf(date1904));
    if (!day) return std::nullopt; // before the system's first day
    serial = *day;
    pos = 10;
  }
  if (pos < text.size()) {
    int h, mi, s = 0;
    if (text[pos] != 'T' || !number(pos + 1, 2, h) || text.size() < pos + 6 || text[pos + 3] != ':' ||
        !number(pos + 4, 2, mi))
      return std::nullopt;
    pos += 6;
    double fraction = 0;
    if (pos < text.size() && text[pos] == ':') {
      if (!number(pos + 1, 2, s)) return std::nullopt;
      pos += 3;
      if (pos < text.size() && text[pos] == '.') {
        double scale = 0.1;
        for (++pos; pos < text.size() && isDigit(text[pos]); ++pos, scale /= 10)
          fraction += (text[pos] - '0') * scale;
      }
    }
    if (pos < text.size() && text[pos] == 'Z') ++pos;
    if (pos != text.size() || h > 24 || mi > 59 || s > 59) return std::nullopt;
    serial += (h * 3600 + mi * 60 + s + fraction) / 86400.0;
  }
  return serial;
}

// ---------------------------------------------------------------------------------------------------
// Streaming XML parts out of the zip

// Receives the elements of one XML part; names arrive without their namespace prefix. A handler
// reports a fault by throwing; the parse stops and the fault becomes the part's error.
class XmlHandler {
public:
  virtual ~XmlHandler() = default;
  virtual void start(std::string_view name, const XML_Char** attributes) = 0;
  virtual void end(std::string_view name) = 0;
  virtual void text(std::string_view) {}
};

struct ParseState {
  XML_Parser parser = nullptr;
  XmlHandler* handler = nullptr;
  std::string error;
};

// Runs `action` for a callback from expat; a thrown fault is kept and stops the parser, since
// exceptions must not travel through expat's C frames.
template <typename Action> void guarded(void* data, Action&& action) {
  auto* state = static_cast<ParseState*>(data);
  if (!state->error.empty()) return;
  try {
    action(*state->handler);
  } catch (const std::exception& e) {
    state->error = e.what();
  } catch (...) {
    state->error = "unexpected failure";
  }
  if (!state->error.empty()) XML_StopParser(state->parser, XML_FALSE);
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attributes) {
  guarded(data, [&](XmlHandler& h) { h.start(localName(name), attributes); });
}
void XMLCALL onEnd(void* data, const XML_Char* name) {
  guarded(data, [&](XmlHandler& h) { h.end(localName(name)); });
}
void XMLCALL onText(void* data, const XML_Char* text, int length) {
  guarded(data, [&](XmlHandler& h) { h.text(std::string_view(text, static_cast<size_t>(length))); });
}
// Document type declarations have no place in these parts; refusing them shuts out entity expansion.
void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  guarded(data, [](XmlHandler&) {
    throw SourceError("a document type declaration is refused: its entities could expand without limit");
  });
}

struct ZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct ZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
struct ParserFree {
  void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

// Returns a part name as the package compares it: backslashes read as '/', no leading '/', ASCII letters
// in lower case (writers differ in all three, and Excel opens them alike).
std::string partKey(std::string_view name) {
  std::string key;
  for (char c : name)
    key.push_back(c == '\\' ? '/' : c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  size_t slashes = key.find_first_not_of('/');
  return key.substr(slashes == std::string::npos ? key.size() : slashes);
}

class Package {
public:
  Package(zip_t* archive, std::string sourceName, const XlsxReadOptions& options)
      : archive_(archive), sourceName_(std::move(sourceName)), options_(options) {
    zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t index = 0; index < count; ++index)
      if (const char* name = zip_get_name(archive, static_cast<zip_uint64_t>(index), 0))
        entries_.try_emplace(partKey(name), index);
  }

  [[noreturn]] void fail(const std::string& message) const {
    throw SourceError(sourceName_ + ": " + message);
  }

  bool has(const std::string& part) const { return locate(part) >= 0; }
  const XlsxReadOptions& options() const { return options_; }

  // Streams the part through `handler`; throws SourceError naming the part on any fault.
  void parse(const std::string& part, XmlHandler& handler) {
    zip_int64_t index = locate(part);
    if (index < 0) fail("the part " + part + " is missing");
    std::unique_ptr<zip_file_t, ZipFileCloser> file(zip_fopen_index(archive_.get(), index, 0));
    if (!file) fail("cannot open the part " + part + ": " + zip_strerror(archive_.get()));
    std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser) throw std::bad_alloc();
    ParseState state;
    state.parser = parser.get();
    state.handler = &handler;
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), onStart, onEnd);
    XML_SetCharacterDataHandler(parser.get(), onText);
    XML_SetStartDoctypeDeclHandler(parser.get(), onDoctype);

    auto partFail = [&](const std::string& message) {
      fail("part " + part + ", line " + std::to_string(XML_GetCurrentLineNumber(parser.get())) + ": " +
           message);
    };
    std::vector<char> buffer(64 * 1024);
    uint64_t partSize = 0;
    for (;;) {
      zip_int64_t got = zip_fread(file.get(), buffer.data(), buffer.size());
      if (got < 0) fail("cannot inflate the part " + part + ": " + zip_file_strerror(file.get()));
      partSize += static_cast<uint64_t>(got);
      totalSize_ += static_cast<uint64_t>(got);
      if (partSize > options_.maxPartSize)
        fail("the part " + part + " inflates to more than " + std::to_string(options_.maxPartSize) +
             " bytes");
      if (totalSize_ > options_.maxTotalSize)
        fail("the parts inflate to more than " + std::to_string(options_.maxTotalSize) + " bytes in all");
      bool last = got == 0;
      if (XML_Parse(parser.get(), buffer.data(), static_cast<int>(got), last) == XML_STATUS_ERROR) {
        if (!state.error.empty()) partFail(state.error);
        partFail(std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(parser.get())));
      }
      if (!state.error.empty()) partFail(state.error);
      if (last) break;
    }
  }

private:
  zip_int64_t locate(const std::string& part) const {
    zip_int64_t index = zip_name_locate(archive_.get(), part.c_str(), 0);
    if (index >= 0) return index;
    auto it = entries_.find(partKey(part));
    return it == entries_.end() ? -1 : it->second;
  }

  std::unique_ptr<zip_t, ZipCloser> archive_;
  std::unordered_map<std::string, zip_int64_t> entries_; // by partKey; the first entry of a key
  std::string sourceName_;
  XlsxReadOptions options_;
  uint64_t totalSize_ = 0;
};

// ---------------------------------------------------------------------------------------------------
// Relationships

struct Relationship {
  std::string type;
  std::string target;
  bool external = false;
};
using Relationships = std::map<std::string, Relationship>;

bool typeIs(const Relationship& relationship, std::string_view suffix) {
  return relationship.type.ends_with(suffix);
}

class RelationshipsHandler : public XmlHandler {
public:
  explicit RelationshipsHandler(Relationships& out) : out_(out) {}
  void start(std::string_view name, const XML_Char** attributes) override {
    if (name != "Relationship") return;
    const char* id = attribute(attributes, "Id");
    const char* type = attribute(attributes, "Type");
    const char* target = attribute(attributes, "Target");
    const char* mode = attribute(attributes, "TargetMode");
    if (id == nullptr || target == nullptr) return;
    out_[id] = Relationship{type != nullptr ? type : "", target,
                            mode != nullptr && std::strcmp(mode, "External") == 0};
  }
  void end(std::string_view) override {}

private:
  Relationships& out_;
};

std::string folderOf(const std::string& part) {
  size_t slash = part.rfind('/');
  return slash == std::string::npos ? std::string() : part.substr(0, slash + 1);
}

// Returns the part named by a relationship target relative to the part `from` ("/xl/x.xml" is absolute;
// "../a.xml" climbs; %XX escapes are decoded; a backslash reads as '/').
std::string resolvePart(const std::string& from, const std::string& target) {
  std::string decoded;
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == '%' && i + 2 < target.size() && hexDigit(target[i + 1]) >= 0 &&
        hexDigit(target[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(hexDigit(target[i + 1]) * 16 + hexDigit(target[i + 2])));
      i += 2;
    } else {
      decoded.push_back(target[i] == '\\' ? '/' : target[i]);
    }
  }
  std::string joined = !decoded.empty() && decoded[0] == '/' ? decoded.substr(1) : folderOf(from) + decoded;
  std::vector<std::string> segments;
  size_t start = 0;
  while (start <= joined.size()) {
    size_t slash = joined.find('/', start);
    if (slash == std::string::npos) slash = joined.size();
    std::string segment = joined.substr(start, slash - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = slash + 1;
  }
  std::string out;
  for (const std::string& segment : segments)
    out += (out.empty() ? "" : "/") + segment;
  return out;
}

Relationships readRelationships(Package& package, const std::string& part) {
  Relationships relationships;
  std::string rels = folderOf(part) + "_rels/" + part.substr(folderOf(part).size()) + ".rels";
  if (package.has(rels)) {
    RelationshipsHandler handler(relationships);
    package.parse(rels, handler);
  }
  return relationships;
}

// ---------------------------------------------------------------------------------------------------
// [Content_Types].xml: the content types the package states for its parts by name (<Override>).

class ContentTypesHandler : public XmlHandler {
public:
  std::map<std::string, std::string> byPart; // by partKey

  void start(std::string_view name, const XML_Char** attributes) override {
    const char* type = attribute(attributes, "ContentType");
    const char* part = attribute(attributes, "PartName");
    if (name == "Override" && type != nullptr && part != nullptr) byPart[partKey(part)] = type;
  }
  void end(std::string_view) override {}
};

// Refuses a main part whose stated content type is not a workbook's in XML: of a workbook or a
// template, either with macros (.xlsx, .xltx, .xlsm, .xltm). A package that states no type of its own
// for the part is read.
void checkWorkbookType(Package& package, const std::string& workbookPart) {
  if (!package.has("[Content_Types].xml")) return;
  ContentTypesHandler types;
  package.parse("[Content_Types].xml", types);
  auto stated = types.byPart.find(partKey(workbookPart));
  std::string type = stated != types.byPart.end() ? stated->second : "";
  static constexpr std::string_view kWorkbookTypes[] = {
      "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml",
      "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml",
      "application/vnd.ms-excel.sheet.macroEnabled.main+xml",
      "application/vnd.ms-excel.template.macroEnabled.main+xml"};
  if (type.empty() ||
      std::find(std::begin(kWorkbookTypes), std::end(kWorkbookTypes), type) != std::end(kWorkbookTypes))
    return;
  if (type == "application/vnd.ms-excel.sheet.binary.macroEnabled.main")
    package.fail("binary .xlsb workbook: save it as .xlsx");
  package.fail("not a spreadsheet package: the main part " + workbookPart + " is of type " + type);
}

// ---------------------------------------------------------------------------------------------------
// workbook.xml

struct SheetEntry {
  std::string name;
  std::string relationship;
};

class WorkbookHandler : public XmlHandler {
public:
  std::vector<SheetEntry> sheets;
  std::vector<SourceName> names;
  std::vector<std::string> externalReferences;
  bool date1904 = false;

  void start(std::string_view name, const XML_Char** attributes) override {
    if (name == "sheet") {
      const char* sheetName = attribute(attributes, "name");
      const char* id = attribute(attributes, "id");
      if (sheetName == nullptr) throw SourceError("a sheet entry lacks its name");
      sheets.push_back({sheetName, id != nullptr ? id : ""});
    } else if (name == "workbookPr") {
      date1904 = isTrue(attribute(attributes, "date1904"));
    } else if (name == "externalReference") {
      const char* id = attribute(attributes, "id");
      externalReferences.push_back(id != nullptr ? id : "");
    } else if (name == "definedName") {
      const char* nameText = attribute(attributes, "name");
      if (nameText == nullptr) throw SourceError("a defined name lacks its name");
      SourceName defined;
      defined.name = wide(nameText);
      defined.hidden = isTrue(attribute(attributes, "hidden"));
      if (const char* scope = attribute(attributes, "localSheetId")) {
        uint64_t index = 0;
        if (!parseUnsigned(scope, index) || index > 0xFFFF)
          throw SourceError(std::string("the defined name ") + nameText + " has a bad localSheetId");
        defined.scope = static_cast<int32_t>(index);
      }
      names.push_back(std::move(defined));
      inName_ = true;
      text_.clear();
    }
  }
  void end(std::string_view name) override {
    if (name == "definedName" && inName_) {
      std::u16string formula = wide(text_);
      if (!formula.empty() && formula[0] == u'=') formula.erase(0, 1);
      names.back().formula = std::move(formula);
      inName_ = false;
    }
  }
  void text(std::string_view data) override {
    if (inName_) text_.append(data);
  }

private:
  bool inName_ = false;
  std::string text_;
};

// ---------------------------------------------------------------------------------------------------
// sharedStrings.xml: each <si> is one string, its <t> texts (plain or in rich text runs) concatenated;
// phonetic runs (<rPh>) are not part of the text.

class SharedStringsHandler : public XmlHandler {
public:
  std::vector<std::u16string> strings;

  void start(std::string_view name, const XML_Char**) override {
    if (name == "si") {
      inItem_ = true;
      text_.clear();
    } else if (name == "rPh") {
      ++phonetic_;
    } else if (name == "t" && inItem_ && phonetic_ == 0) {
      inText_ = true;
    }
  }
  void end(std::string_view name) override {
    if (name == "si" && inItem_) {
      strings.push_back(decodeEscapes(wide(text_)));
      inItem_ = false;
    } else if (name == "rPh" && phonetic_ > 0) {
      --phonetic_;
    } else if (name == "t") {
      inText_ = false;
    }
  }
  void text(std::string_view data) override {
    if (inText_) text_.append(data);
  }

private:
  bool inItem_ = false;
  bool inText_ = false;
  int phonetic_ = 0;
  std::string text_;
};

// ---------------------------------------------------------------------------------------------------
// styles.xml: which cell formats (<cellXfs>, by index) leave their cells unlocked, and the number
// format code of each. A format locks its cells unless its <protection> says locked="0"; its numFmtId
// names a <numFmt> of the workbook or a built-in format.

class StylesHandler : public XmlHandler {
public:
  std::vector<bool> unlocked;
  std::vector<uint32_t> formatIds; // numFmtId of each cell format

  // Returns the number format code of each cell format.
  std::vector<std::u16string> formatCodes() const {
    std::vector<std::u16string> codes;
    codes.reserve(formatIds.size());
    for (uint32_t id : formatIds) {
      auto it = customCodes_.find(id);
      codes.push_back(it != customCodes_.end() ? it->second : std::u16string(builtInFormatCode(id)));
    }
    return codes;
  }

  void start(std::string_view name, const XML_Char** attributes) override {
    if (name == "cellXfs") {
      inCellFormats_ = true;
    } else if (inCellFormats_ && name == "xf") {
      unlocked.push_back(false);
      uint64_t id = 0;
      const char* numFmtId = attribute(attributes, "numFmtId");
      formatIds.push_back(numFmtId && parseUnsigned(numFmtId, id) && id <= UINT32_MAX ? uint32_t(id) : 0);
    } else if (inCellFormats_ && name == "protection" && !unlocked.empty()) {
      const char* locked = attribute(attributes, "locked");
      unlocked.back() = locked != nullptr && !isTrue(locked);
    } else if (name == "numFmts") {
      inNumberFormats_ = true;
    } else if (inNumberFormats_ && name == "numFmt") {
      uint64_t id = 0;
      const char* numFmtId = attribute(attributes, "numFmtId");
      const char* code = attribute(attributes, "formatCode");
      if (numFmtId && code && parseUnsigned(numFmtId, id) && id <= UINT32_MAX)
        customCodes_[uint32_t(id)] = wide(code);
    }
  }
  void end(std::string_view name) override {
    if (name == "cellXfs") inCellFormats_ = false;
    if (name == "numFmts") inNumberFormats_ = false;
  }
  void text(std::string_view) override {}

private:
  bool inCellFormats_ = false;
  // Inside the workbook's own codes; the differential formats of conditional formatting hold codes
  // of their own that cells never name.
  bool inNumberFormats_ = false;
  std::map<uint32_t, std::u16string> customCodes_;
};

// ---------------------------------------------------------------------------------------------------
// tables/tableN.xml: a table's name, area, header and totals rows, and its columns' names.

class TableHandler : public XmlHandler {
public:
  explicit TableHandler(SourceTable& table) : table_(table) {}

  void start(std::string_view name, const XML_Char** attributes) override {
    if (name == "table") {
      const char* display = attribute(attributes, "displayName");
      if (display == nullptr) display = attribute(attributes, "name");
      const char* ref = attribute(attributes, "ref");
      if (display == nullptr || *display == '\0' || ref == nullptr)
        throw SourceError("a table lacks its name or area");
      table_.name = wide(display);
      if (!parseRangeReference(ref, table_.range))
        throw SourceError("table " + std::string(display) + " has a bad area '" + ref + "'");
      table_.headerRows = rowCount(attributes, "headerRowCount", 1);
      table_.totalsRows = rowCount(attributes, "totalsRowCount", 0);
      if (table_.headerRows + table_.totalsRows > table_.range.lastRow - table_.range.firstRow + 1)
        throw SourceError("table " + std::string(display) + " has more header and totals rows than rows");
    } else if (name == "tableColumn") {
      const char* column = attribute(attributes, "name");
      if (column == nullptr)
        throw SourceError("a column of table " + utf16ToUtf8(table_.name) + " lacks its name");
      table_.columns.push_back(decodeEscapes(wide(column)));
    }
  }
  void end(std::string_view) override {}
  void text(std::string_view) override {}

private:
  // Returns the count of header or totals rows, 0 or 1; `absent` when the attribute is not given.
  uint32_t rowCount(const XML_Char** attributes, std::string_view which, uint32_t absent) const {
    const char* text = attribute(attributes, which);
    uint64_t count = absent;
    if (text != nullptr && (!parseUnsigned(text, count) || count > 1))
      throw SourceError("table " + utf16ToUtf8(table_.name) + " has a bad " + std::string(which));
    return static_cast<uint32_t>(count);
  }

  SourceTable& table_;
};

// Reads the tables of a sheet, reached through the sheet's relationships, into the workbook.
void readTables(Package& package, SourceWorkbook& workbook, uint32_t sheet, const std::string& sheetPart,
                const Relationships& relationships) {
  for (const auto& [id, relationship] : relationships) {
    if (!typeIs(relationship, "/table") || relationship.external) continue;
    std::string part = resolvePart(sheetPart, relationship.target);
    SourceTable table;
    table.sheet = sheet;
    TableHandler handler(table);
    package.parse(part, handler);
    if (table.columns.size() != table.range.lastColumn - table.range.firstColumn + 1)
      package.fail("part " + part + ": table " + utf16ToUtf8(table.name) + " names " +
                   std::to_string(table.columns.size()) + " columns for an area " +
                   std::to_string(table.range.lastColumn - table.range.firstColumn + 1) + " wide");
    if (workbook.findTable(table.name))
      package.fail("part " + part + ": two tables are named " + utf16ToUtf8(table.name));
    workbook.tables.push_back(std::move(table));
  }
}

// ---------------------------------------------------------------------------------------------------
// Worksheet parts

// Counts the text that the description holds. Shared strings, shared formulas and hyperlinks repeat
// one text for many cells, so a small file could ask for far more memory than its size suggests.
class TextBudget {
public:
  explicit TextBudget(uint64_t limit) : left_(limit) {}
  // Takes `units` code units from the budget; throws SourceError when it is spent.
  void charge(size_t units) {
    if (units > left_) throw SourceError("the workbook's texts exceed the limit of the reader");
    left_ -= units;
  }

private:
  uint64_t left_;
};

struct PendingHyperlink {
  SourceRange range;
  std::string relationship;
  std::string location;
};

struct SharedMaster {
  uint32_t row;
  uint32_t column;
  std::u16string formula;
};

class SheetHandler : public XmlHandler {
public:
  SheetHandler(SourceWorkbook& workbook, uint32_t sheet, const std::vector<std::u16string>& sharedStrings,
               const std::vector<bool>& unlockedFormats, TextBudget& budget)
      : workbook_(workbook), sheet_(sheet), sharedStrings_(sharedStrings), unlockedFormats_(unlockedFormats),
        budget_(budget) {}

  std::u16string codeName;
  std::vector<PendingHyperlink> hyperlinks;

  void start(std::string_view name, const XML_Char** attributes) override {
    if (inCell_) return startInCell(name, attributes);
    if (name == "sheetData") {
      inData_ = true;
    } else if (name == "row" && inData_) {
      uint64_t r = 0;
      if (const char* rowText = attribute(attributes, "r")) {
        if (!parseUnsigned(rowText, r) || r == 0 || r > kMaxRows)
          throw SourceError(std::string("bad row number '") + rowText + "'");
        row_ = static_cast<uint32_t>(r - 1);
      } else {
        row_ = rowSeen_ ? row_ + 1 : 0;
        if (row_ >= kMaxRows) throw SourceError("too many rows");
      }
      rowSeen_ = true;
      column_ = -1;
    } else if (name == "c" && inData_) {
      startCell(attributes);
    } else if (name == "sheetPr") {
      if (const char* code = attribute(attributes, "codeName")) codeName = wide(code);
    } else if (name == "hyperlink") {
      const char* ref = attribute(attributes, "ref");
      PendingHyperlink link;
      if (ref == nullptr || !parseRangeReference(ref, link.range))
        return; // a link without a cell shows nowhere
      if (const char* id = attribute(attributes, "id")) link.relationship = id;
      if (const char* location = attribute(attributes, "location")) link.location = location;
      if (!link.relationship.empty() || !link.location.empty()) hyperlinks.push_back(std::move(link));
    }
  }

  void end(std::string_view name) override {
    if (inCell_) {
      if (name == "c" && depth_ == 0) return finishCell();
      if (collect_ != Collect::None && name == collectElement_ && depth_ == collectDepth_)
        collect_ = Collect::None;
      if (name == "rPh" && phonetic_ > 0) --phonetic_;
      if (name == "is" && depth_ == 1) inInline_ = false;
      --depth_;
      return;
    }
    if (name == "sheetData") inData_ = false;
  }

  void text(std::string_view data) override {
    if (collect_ == Collect::Value) value_.append(data);
    if (collect_ == Collect::Formula) formula_.append(data);
    if (collect_ == Collect::Inline && phonetic_ == 0) inline_.append(data);
  }

  // Gives each dependent cell of a shared formula its master's formula, shifted to the cell: the
  // master is parsed once, at its own cell so that its structured references read as plain ones, and
  // its tree moved for each cell. A master that does not parse is given unchanged (compiling reports
  // it, for every cell of the group alike).
  void resolveSharedFormulas() {
    std::map<int32_t, std::optional<AstNode>> trees;
    for (auto [index, group] : sharedDependents_) {
      SourceCell& cell = workbook_.cells[index];
      auto master = sharedMasters_.find(group);
      if (master == sharedMasters_.end())
        throw SourceError("cell " + cellName(cell.row, cell.column) + " uses shared formula " +
                          std::to_string(group) + ", which has no master cell");
      budget_.charge(master->second.formula.size() + 8);
      auto [tree, fresh] = trees.try_emplace(group);
      if (fresh) {
        FormulaSite site{&workbook_, sheet_, true, master->second.row, master->second.column};
        ParseResult parsed = parseFormula(master->second.formula, &site);
        if (parsed.ok()) tree->second = std::move(parsed.tree);
      }
      if (!tree->second) {
        cell.formula = master->second.formula;
        continue;
      }
      AstNode shifted = *tree->second;
      shiftReferences(shifted, int64_t(cell.row) - master->second.row,
                      int64_t(cell.column) - master->second.column);
      cell.formula = formulaToText(shifted);
    }
  }

  // Returns the index of the cell of this sheet at (row, column), or -1.
  int64_t cellIndex(uint32_t row, uint32_t column) const {
    auto it = positions_.find(key(row, column));
    return it == positions_.end() ? -1 : int64_t(it->second);
  }
  // Records that the cell at (row, column) is now workbook cell `index`.
  void rememberCell(uint32_t row, uint32_t column, size_t index) { positions_[key(row, column)] = index; }

private:
  enum class Collect { None, Value, Formula, Inline };

  static uint64_t key(uint32_t row, uint32_t column) { return (uint64_t(row) << 32) | column; }

  void startCell(const XML_Char** attributes) {
    if (const char* ref = attribute(attributes, "r")) {
      if (!parseCellReference(ref, cellRow_, cellColumn_))
        throw SourceError(std::string("bad cell reference '") + ref + "'");
    } else {
      cellRow_ = rowSeen_ ? row_ : 0;
      if (column_ + 1 >= int64_t(kMaxColumns))
        throw SourceError("too many cells in row " + std::to_string(row_ + 1));
      cellColumn_ = static_cast<uint32_t>(column_ + 1);
    }
    column_ = cellColumn_;
    const char* type = attribute(attributes, "t");
    type_ = type != nullptr ? type : "n";
    uint64_t format = 0;
    const char* style = attribute(attributes, "s");
    unlocked_ = style != nullptr && parseUnsigned(style, format) && format < unlockedFormats_.size() &&
                unlockedFormats_[format];
    format_ = style != nullptr && format < unlockedFormats_.size() ? static_cast<uint32_t>(format) : 0;
    inCell_ = true;
    depth_ = 0;
    hasValue_ = hasFormula_ = hasInline_ = inInline_ = false;
    value_.clear();
    formula_.clear();
    inline_.clear();
    formulaType_.clear();
    formulaRef_.clear();
    sharedIndex_ = -1;
    volatile_ = false;
    table_ = SourceDataTable();
  }

  void startInCell(std::string_view name, const XML_Char** attributes) {
    ++depth_;
    if (depth_ == 1 && name == "v") {
      beginCollect(Collect::Value, name);
      hasValue_ = true;
    } else if (depth_ == 1 && name == "f") {
      beginCollect(Collect::Formula, name);
      hasFormula_ = true;
      const char* type = attribute(attributes, "t");
      formulaType_ = type != nullptr ? type : "normal";
      const char* ref = attribute(attributes, "ref");
      formulaRef_ = ref != nullptr ? ref : "";
      volatile_ = isTrue(attribute(attributes, "ca"));
      if (const char* si = attribute(attributes, "si")) {
        uint64_t index = 0;
        if (!parseUnsigned(si, index) || index > 0x7FFFFFFF)
          throw SourceError("cell " + here() + ": bad shared formula index");
        sharedIndex_ = static_cast<int32_t>(index);
      }
      if (formulaType_ == "dataTable") readTableInputs(attributes);
    } else if (depth_ == 1 && name == "is") {
      inInline_ = true;
      hasInline_ = true;
    } else if (inInline_ && name == "t" && phonetic_ == 0) {
      beginCollect(Collect::Inline, name); // plain or in a rich text run; blanks between runs do not count
    } else if (name == "rPh") {
      ++phonetic_;
    }
  }

  void beginCollect(Collect what, std::string_view element) {
    collect_ = what;
    collectElement_ = std::string(element);
    collectDepth_ = depth_;
  }

  void readTableInputs(const XML_Char** attributes) {
    table_.twoDimensional = isTrue(attribute(attributes, "dt2D"));
    bool rowInput = isTrue(attribute(attributes, "dtr"));
    auto input = [&](const char* cellName, const char* deleted) -> std::u16string {
      if (isTrue(attribute(attributes, deleted))) return u"#REF!";
      const char* text = attribute(attributes, cellName);
      uint32_t r, c;
      if (text == nullptr) return u"";
      if (!parseCellReference(text, r, c))
        throw SourceError("cell " + here() + ": bad data table input '" + text + "'");
      return wide(text);
    };
    std::u16string first = input("r1", "del1");
    std::u16string second = input("r2", "del2");
    if (table_.twoDimensional) {
      table_.rowInputCell = std::move(first);
      table_.columnInputCell = std::move(second);
    } else if (rowInput) {
      table_.rowInputCell = std::move(first);
    } else {
      table_.columnInputCell = std::move(first);
    }
  }

  std::string here() const { return cellName(cellRow_, cellColumn_); }

  SourceValue cellValue() const {
    if (type_ == "inlineStr") {
      if (hasInline_) return SourceValue::ofText(decodeEscapes(wide(inline_)));
      if (hasValue_) return SourceValue::ofText(decodeEscapes(wide(value_)));
      return SourceValue();
    }
    if (!hasValue_) return SourceValue();
    if (type_ == "str") return SourceValue::ofText(decodeEscapes(wide(value_)));
    std::string_view text = value_;
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t'))
      text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t'))
      text.remove_suffix(1);
    if (type_ == "n") {
      if (text.empty()) return SourceValue();
      double number = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
      if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(number))
        throw SourceError("cell " + here() + ": bad number '" + std::string(text) + "'");
      return SourceValue::ofNumber(number);
    }
    if (type_ == "s") {
      if (text.empty()) return SourceValue(); // written so by some tools for an empty cell
      uint64_t index = 0;
      if (!parseUnsigned(text, index) || index >= sharedStrings_.size())
        throw SourceError("cell " + here() + ": shared string index '" + std::string(text) +
                          "' is out of range");
      return SourceValue::ofText(sharedStrings_[index]);
    }
    if (type_ == "b") {
      if (text == "1" || text == "true") return SourceValue::ofBoolean(true);
      if (text == "0" || text == "false") return SourceValue::ofBoolean(false);
      throw SourceError("cell " + here() + ": bad boolean '" + std::string(text) + "'");
    }
    if (type_ == "e") {
      std::u16string errorText = wide(text);
      std::optional<CalcError> error = errorFromEnglishText(errorText);
      SourceValue value = SourceValue::ofError(error.value_or(ErrNA));
      value.text = std::move(errorText);
      return value;
    }
    if (type_ == "d") {
      std::optional<double> serial = isoDateSerial(text, workbook_.date1904);
      if (!serial) throw SourceError("cell " + here() + ": bad date '" + std::string(text) + "'");
      return SourceValue::ofNumber(*serial);
    }
    throw SourceError("cell " + here() + ": unknown cell type '" + type_ + "'");
  }

  void finishCell() {
    inCell_ = false;
    collect_ = Collect::None;
    phonetic_ = 0;
    SourceCell cell;
    cell.sheet = sheet_;
    cell.row = cellRow_;
    cell.column = cellColumn_;
    cell.unlocked = unlocked_;
    cell.format = format_;
    SourceValue value = cellValue();
    std::u16string formula = hasFormula_ ? wide(formula_) : std::u16string();
    bool dependent = false;
    if (!hasFormula_ || (formula.empty() && formulaType_ == "normal")) {
      if (value.isNone()) return; // a formatted but empty cell holds nothing to describe
      cell.value = std::move(value);
    } else {
      cell.cached = std::move(value);
      cell.flags = volatile_ ? kFlagVolatile : 0;
      if (formulaType_ == "normal") {
        cell.kind = CellKind::Formula;
        cell.formula = std::move(formula);
      } else if (formulaType_ == "shared") {
        if (sharedIndex_ < 0) throw SourceError("cell " + here() + ": a shared formula lacks its index");
        cell.kind = CellKind::SharedFormula;
        cell.sharedGroup = sharedIndex_;
        if (!formula.empty()) {
          // The group's master carries the area; a writer that repeats the text on other cells of
          // the group is read cell by cell.
          if (!formulaRef_.empty() || !sharedMasters_.contains(sharedIndex_))
            sharedMasters_[sharedIndex_] = SharedMaster{cellRow_, cellColumn_, formula};
          cell.formula = std::move(formula);
        } else {
          dependent = true;
        }
      } else if (formulaType_ == "array") {
        if (formula.empty()) throw SourceError("cell " + here() + ": the array formula is empty");
        cell.kind = CellKind::ArrayFormula;
        cell.master = true;
        cell.formula = std::move(formula);
        cell.range = SourceRange{cellRow_, cellColumn_, cellRow_, cellColumn_};
        if (!formulaRef_.empty() && !parseRangeReference(formulaRef_, cell.range))
          throw SourceError("cell " + here() + ": bad array formula area '" + formulaRef_ + "'");
      } else if (formulaType_ == "dataTable") {
        table_.sheet = sheet_;
        if (!parseRangeReference(formulaRef_, table_.range))
          throw SourceError("cell " + here() + ": bad data table area '" + formulaRef_ + "'");
        cell.kind = CellKind::DataTable;
        cell.master = true;
        cell.range = table_.range;
        cell.dataTable = static_cast<int32_t>(workbook_.dataTables.size());
        workbook_.dataTables.push_back(std::move(table_));
      } else {
        throw SourceError("cell " + here() + ": unknown formula type '" + formulaType_ + "'");
      }
    }
    auto [it, fresh] = positions_.emplace(key(cellRow_, cellColumn_), workbook_.cells.size());
    if (!fresh) throw SourceError("cell " + here() + " appears twice");
    if (dependent) sharedDependents_.emplace_back(workbook_.cells.size(), sharedIndex_);
    budget_.charge(cell.value.text.size() + cell.cached.text.size() + cell.formula.size());
    workbook_.cells.push_back(std::move(cell));
  }

  SourceWorkbook& workbook_;
  uint32_t sheet_;
  const std::vector<std::u16string>& sharedStrings_;
  const std::vector<bool>& unlockedFormats_;
  TextBudget& budget_;
  std::unordered_map<uint64_t, size_t> positions_;
  std::map<int32_t, SharedMaster> sharedMasters_;
  std::vector<std::pair<size_t, int32_t>> sharedDependents_;

  bool inData_ = false;
  bool rowSeen_ = false;
  uint32_t row_ = 0;
  int64_t column_ = -1;

  bool inCell_ = false;
  int depth_ = 0;
  int phonetic_ = 0;
  uint32_t cellRow_ = 0;
  uint32_t cellColumn_ = 0;
  std::string type_;
  bool hasValue_ = false, hasFormula_ = false, hasInline_ = false, inInline_ = false;
  std::string value_, formula_, inline_;
  Collect collect_ = Collect::None;
  std::string collectElement_;
  int collectDepth_ = 0;
  std::string formulaType_, formulaRef_;
  int32_t sharedIndex_ = -1;
  bool volatile_ = false;
  bool unlocked_ = false; // the cell's format leaves it unlocked
  uint32_t format_ = 0;   // the cell's format, an index into the workbook's cell formats
  SourceDataTable table_;
};

// Largest area over which one hyperlink is copied to every existing cell; beyond it only the link's
// top-left cell carries it.
constexpr uint64_t kMaxHyperlinkArea = 65536;

void applyHyperlinks(SourceWorkbook& workbook, uint32_t sheet, SheetHandler& handler, TextBudget& budget,
                     const std::vector<PendingHyperlink>& links, const Relationships& relationships) {
  for (const PendingHyperlink& link : links) {
    std::string target;
    if (!link.relationship.empty()) {
      auto it = relationships.find(link.relationship);
      if (it == relationships.end()) continue; // a dangling link: nothing to show
      target = it->second.target;
      if (!link.location.empty()) target += "#" + link.location;
    } else {
      target = "#" + link.location;
    }
    std::u16string text = wide(target);
    auto attach = [&](uint32_t row, uint32_t column, bool create) {
      int64_t index = handler.cellIndex(row, column);
      if (index >= 0 || create) budget.charge(text.size());
      if (index >= 0) {
        if (workbook.cells[index].hyperlink.empty()) workbook.cells[index].hyperlink = text;
      } else if (create) {
        SourceCell cell;
        cell.sheet = sheet;
        cell.row = row;
        cell.column = column;
        cell.hyperlink = text;
        handler.rememberCell(row, column, workbook.cells.size());
        workbook.cells.push_back(std::move(cell));
      }
    };
    if (link.range.cellCount() <= kMaxHyperlinkArea) {
      for (uint32_t row = link.range.firstRow; row <= link.range.lastRow; ++row)
        for (uint32_t column = link.range.firstColumn; column <= link.range.lastColumn; ++column)
          if (row != link.range.firstRow || column != link.range.firstColumn) attach(row, column, false);
    }
    attach(link.range.firstRow, link.range.firstColumn,
           handler.cellIndex(link.range.firstRow, link.range.firstColumn) < 0);
  }
}

// ---------------------------------------------------------------------------------------------------
// The whole package

SourceWorkbook readPackage(Package& package, const std::string& sourceName) {
  // The package's relationships name its main part, wherever the writer put it.
  Relationships root = readRelationships(package, "");
  std::string workbookPart;
  for (const auto& [id, relationship] : root)
    if (typeIs(relationship, "/officeDocument") && !relationship.external)
      workbookPart = resolvePart("", relationship.target);
  if (workbookPart.empty())
    package.fail("not a spreadsheet package: the package relationships name no main part");
  if (!package.has(workbookPart))
    package.fail("not a spreadsheet package: the part " + workbookPart + " is missing");
  checkWorkbookType(package, workbookPart);

  WorkbookHandler workbookHandler;
  package.parse(workbookPart, workbookHandler);
  Relationships workbookRelationships = readRelationships(package, workbookPart);

  SourceWorkbook workbook;
  workbook.date1904 = workbookHandler.date1904;
  if (workbookHandler.sheets.size() > 0xFFFF) package.fail("the workbook has too many sheets");
  for (const SourceName& name : workbookHandler.names)
    if (name.scope >= 0 && static_cast<size_t>(name.scope) >= workbookHandler.sheets.size())
      package.fail("the defined name " + utf16ToUtf8(name.name) +
                   " is scoped to a sheet that does not exist");

  for (const std::string& id : workbookHandler.externalReferences) {
    std::u16string path;
    auto it = workbookRelationships.find(id);
    if (it != workbookRelationships.end() && !it->second.external) {
      std::string linkPart = resolvePart(workbookPart, it->second.target);
      for (const auto& [linkId, relationship] : readRelationships(package, linkPart))
        if (typeIs(relationship, "/externalLinkPath") ||
            typeIs(relationship, "/xlExternalLinkPath/xlPathMissing"))
          path = wide(relationship.target);
    }
    workbook.externalLinks.push_back(std::move(path));
  }

  TextBudget budget(package.options().maxTextUnits);
  std::vector<std::u16string> sharedStrings;
  // The shared strings and the styles are optional parts: a workbook without them has none.
  for (const auto& [id, relationship] : workbookRelationships) {
    std::string part = resolvePart(workbookPart, relationship.target);
    if (relationship.external || !package.has(part)) continue;
    if (typeIs(relationship, "/sharedStrings")) {
      SharedStringsHandler handler;
      package.parse(part, handler);
      sharedStrings = std::move(handler.strings);
    }
  }
  std::vector<bool> unlockedFormats;
  for (const auto& [id, relationship] : workbookRelationships) {
    std::string part = resolvePart(workbookPart, relationship.target);
    if (relationship.external || !package.has(part)) continue;
    if (typeIs(relationship, "/styles")) {
      StylesHandler handler;
      package.parse(part, handler);
      unlockedFormats = std::move(handler.unlocked);
      workbook.cellFormats = handler.formatCodes();
    }
  }

  // Every sheet's name, kind and tables come first: a formula may reach the table of a later sheet. A
  // sheet whose relationship is missing or empty (some writers leave macro and dialog sheets so) has
  // no part to read: it is skipped with a warning, and the names scoped to it with it.
  std::vector<int32_t> sheetIndex(workbookHandler.sheets.size(), -1); // entry -> index in the workbook
  std::vector<std::string> cellParts;                                 // empty for a sheet without cells
  for (size_t entryIndex = 0; entryIndex < workbookHandler.sheets.size(); ++entryIndex) {
    const SheetEntry& entry = workbookHandler.sheets[entryIndex];
    SourceSheet sheet;
    sheet.name = wide(entry.name);
    if (sheet.name.empty()) package.fail("sheet " + std::to_string(entryIndex + 1) + " has an empty name");
    if (workbook.findSheet(sheet.name) >= 0) package.fail("two sheets are named " + entry.name);
    auto it = workbookRelationships.find(entry.relationship);
    if (it == workbookRelationships.end() || it->second.external) {
      workbook.warnings.push_back(sourceName + ": sheet " + entry.name + " is skipped: " +
                                  (entry.relationship.empty()
                                       ? std::string("it names no relationship")
                                       : "its relationship " + entry.relationship + " does not exist"));
      continue;
    }
    uint32_t index = static_cast<uint32_t>(workbook.sheets.size());
    sheetIndex[entryIndex] = static_cast<int32_t>(index);
    const Relationship& relationship = it->second;
    bool hasCells = true;
    if (typeIs(relationship, "/worksheet")) {
      sheet.kind = SheetKind::Worksheet;
    } else if (typeIs(relationship, "/xlMacrosheet") || typeIs(relationship, "/xlIntlMacrosheet")) {
      sheet.kind = SheetKind::MacroSheet;
    } else if (typeIs(relationship, "/chartsheet")) {
      sheet.kind = SheetKind::ChartSheet;
      hasCells = false;
    } else if (typeIs(relationship, "/dialogsheet")) {
      sheet.kind = SheetKind::DialogSheet;
      hasCells = false;
    } else {
      package.fail("sheet " + entry.name + " has an unknown kind: " + relationship.type);
    }
    workbook.sheets.push_back(std::move(sheet));
    cellParts.emplace_back();
    if (!hasCells) continue;
    cellParts[index] = resolvePart(workbookPart, relationship.target);
    readTables(package, workbook, index, cellParts[index], readRelationships(package, cellParts[index]));
  }
  if (workbook.sheets.empty()) package.fail("the workbook has no sheets");
  for (SourceName& name : workbookHandler.names) {
    if (name.scope >= 0) {
      name.scope = sheetIndex[static_cast<size_t>(name.scope)];
      if (name.scope < 0) continue; // scoped to a skipped sheet
    }
    workbook.names.push_back(std::move(name));
  }

  for (size_t index = 0; index < cellParts.size(); ++index) {
    const std::string& part = cellParts[index];
    if (part.empty()) continue;
    SheetHandler handler(workbook, static_cast<uint32_t>(index), sharedStrings, unlockedFormats, budget);
    package.parse(part, handler);
    workbook.sheets[index].codeName = handler.codeName;
    Relationships sheetRelationships;
    if (!handler.hyperlinks.empty()) sheetRelationships = readRelationships(package, part);
    try {
      handler.resolveSharedFormulas();
      applyHyperlinks(workbook, static_cast<uint32_t>(index), handler, budget, handler.hyperlinks,
                      sheetRelationships);
    } catch (const SourceError& e) {
      package.fail("part " + part + ": " + e.what());
    }
  }
  finishWorkbook(workbook, sourceName);
  return workbook;
}

std::unique_ptr<zip_t, ZipCloser> openArchive(zip_source_t* source, const std::string& sourceName) {
  zip_error_t error;
  zip_error_init(&error);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  if (archive == nullptr) {
    zip_source_free(source);
    std::string message = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw SourceError(sourceName + ": not a readable zip archive: " + message);
  }
  zip_error_fini(&error);
  return std::unique_ptr<zip_t, ZipCloser>(archive);
}

SourceWorkbook readArchive(std::unique_ptr<zip_t, ZipCloser> archive, const std::string& sourceName,
                           const XlsxReadOptions& options) {
  Package package(archive.release(), sourceName, options);
  return readPackage(package, sourceName);
}

// ---------------------------------------------------------------------------------------------------
// Shifting shared formulas

// Moves a corner's relative row and column; returns false when the corner leaves the grid.
bool shiftCorner(RefCorner& corner, int64_t rows, int64_t columns, bool moveRow, bool moveColumn) {
  int64_t row = corner.row, column = corner.column;
  if (moveRow && !corner.rowAbsolute) row += rows;
  if (moveColumn && !corner.columnAbsolute) column += columns;
  if (row < 0 || row >= int64_t(kMaxRows) || column < 0 || column >= int64_t(kMaxColumns)) return false;
  corner.row = static_cast<uint32_t>(row);
  corner.column = static_cast<uint32_t>(column);
  return true;
}

} // namespace

void shiftReferences(AstNode& node, int64_t rows, int64_t columns) {
  bool inside = true;
  if (node.kind == AstKind::CellRef) {
    inside = shiftCorner(node.first, rows, columns, true, true);
  } else if (node.kind == AstKind::AreaRef && !node.isComputedArea()) {
    // Whole rows span every column and whole columns every row: only their own parts move.
    bool moveRows = !node.wholeColumns, moveColumns = !node.wholeRows;
    inside = shiftCorner(node.first, rows, columns, moveRows, moveColumns);
    inside = shiftCorner(node.second, rows, columns, moveRows, moveColumns) && inside;
  }
  if (!inside) {
    AstNode deleted;
    deleted.kind = AstKind::Error;
    deleted.error = ErrRef;
    deleted.position = node.position;
    node = std::move(deleted);
    return;
  }
  for (AstNode& child : node.children)
    shiftReferences(child, rows, columns);
}

std::u16string shiftFormula(std::u16string_view formula, int64_t rows, int64_t columns) {
  ParseResult parsed = parseFormula(formula);
  if (!parsed.ok()) return std::u16string(formula);
  shiftReferences(parsed.tree, rows, columns);
  return formulaToText(parsed.tree);
}

SourceWorkbook readXlsxFile(const std::string& path, const XlsxReadOptions& options) {
  int errorCode = 0;
  zip_t* archive = zip_open(path.c_str(), ZIP_RDONLY, &errorCode);
  if (archive == nullptr) {
    zip_error_t error;
    zip_error_init_with_code(&error, errorCode);
    std::string message = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw SourceError(path + ": not a readable zip archive: " + message);
  }
  return readArchive(std::unique_ptr<zip_t, ZipCloser>(archive), path, options);
}

SourceWorkbook readXlsxBuffer(std::string_view data, const std::string& sourceName,
                              const XlsxReadOptions& options) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(data.data(), data.size(), 0, &error);
  if (source == nullptr) {
    std::string message = zip_error_strerror(&error);
    zip_error_fini(&error);
    throw SourceError(sourceName + ": " + message);
  }
  zip_error_fini(&error);
  return readArchive(openArchive(source, sourceName), sourceName, options);
}

} // namespace cwbk::compiler
