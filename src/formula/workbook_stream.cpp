// The whole compiled workbook stream: the section loaders over untrusted bytes, and the writer that
// emits the same sections in the same order.
#include "formula/workbook_stream.h"
#include "values/little_endian.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "formula/compiled_workbook.h"
#include "formula/formula_node.h"
#include "formula/node_records.h"
#include "formula/stream_reader.h"
#include "platform/text_services.h"

namespace cwbk {

namespace {

// The longest text a field of the format holds, in code units.
constexpr size_t kMaxTextUnits = 65535;
// The cell record flag that marks its index field as an array-formula index.
constexpr uint32_t kArrayFormulaIndexFlag = 0x10000;
constexpr size_t kCellRecordSize = 40;
constexpr size_t kFormulaCellRecordSize = 24;

size_t clampToSize(uint64_t n) {
  return n > std::numeric_limits<size_t>::max() ? std::numeric_limits<size_t>::max() : static_cast<size_t>(n);
}

// Reads the sections of one stream into one workbook.
class Loader {
public:
  Loader(StreamReader& reader, CompiledWorkbook& workbook) : reader_(reader), workbook_(workbook) {}

  void run() {
    header();
    gridLayout();
    sheetTable();
    sheetControls();
    macroConstants();
    externalLinks();
    ddeLinks();
    definedNames();
    cells();
    formulaCells();
    areas();
    sharedExpressions();
    formulaTemplates();
  }

private:
  // Reads n bytes into buffer (which holds the record's defaults). On short data nothing is copied and
  // the short tail is consumed, so the loops over records end; returns false then.
  bool fixed(void* buffer, size_t n) {
    if (reader_.read(n, buffer) == n) return true;
    reader_.skip(std::numeric_limits<size_t>::max());
    return false;
  }

  // Reads a section header whose first word is its own size: the first n bytes fill buffer, a larger
  // declared size is skipped over. A declared size below n counts as n (the fields are all read).
  bool sectionHeader(void* buffer, size_t n) {
    std::memset(buffer, 0, n);
    uint8_t sizeField[4];
    if (!reader_.peek(4, sizeField)) return fixed(buffer, n);
    uint32_t declared = getLE<uint32_t>(sizeField);
    if (!fixed(buffer, n)) return false;
    if (declared > n) reader_.skip(declared - n);
    return true;
  }

  // Returns the text of a field whose length is in bytes. An odd byte is stepped over; a length beyond
  // the format's limit is skipped as a whole and gives the empty text.
  std::u16string text(uint64_t byteLength) {
    std::u16string out;
    if (byteLength == 0) return out;
    uint64_t units = byteLength / 2;
    if (units > kMaxTextUnits || reader_.readText(static_cast<size_t>(units), out) != 2 * units) {
      out.clear();
      reader_.skip(clampToSize(byteLength));
      return out;
    }
    if (byteLength % 2) reader_.skip(1);
    return out;
  }

  bool more() { return !reader_.atEnd(); }

  void header() {
    uint8_t h[kWorkbookHeaderSize] = {};
    if (!reader_.peek(sizeof h, h)) {
      fixed(h, sizeof h);
      return;
    }
    uint32_t declared = getLE<uint32_t>(h + 4);
    fixed(h, sizeof h);
    if (declared > sizeof h) reader_.skip(declared - sizeof h);
    sheetCount_ = getLE<uint16_t>(h + 10);
    cellCount_ = getLE<uint32_t>(h + 12);
    nameCount_ = getLE<uint32_t>(h + 16);
    workbook_.setWorkbookWord(getLE<uint32_t>(h + 20));
  }

  void gridLayout() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t count = getLE<uint32_t>(h + 4);
    for (uint32_t i = 0; i < count && more(); ++i) {
      uint8_t r[12];
      if (!fixed(r, sizeof r)) return;
      uint32_t sheet = getLE<uint16_t>(r);
      uint32_t column = getLE<uint16_t>(r + 2);
      uint32_t first = getLE<uint32_t>(r + 4);
      uint32_t last = getLE<uint32_t>(r + 8);
      // Records naming no sheet, a column or row beyond the grid, or an inverted span are ignored; a
      // span never reaches beyond its block.
      if (sheet >= CellAddress::kNoSheet || column > CellAddress::kColumnMask ||
          first > CellAddress::kRowMask)
        continue;
      workbook_.grid().setSpan(sheet, column, first, std::min<uint32_t>(last, CellAddress::kRowMask));
    }
  }

  void sheetTable() {
    for (uint32_t i = 0; i < sheetCount_ && more(); ++i) {
      uint8_t r[32] = {};
      if (!reader_.peek(2, r)) {
        fixed(r, 2);
        return;
      }
      size_t declared = std::max<size_t>(getLE<uint16_t>(r), 2);
      size_t take = std::min<size_t>(declared, sizeof r);
      if (!fixed(r, take)) return;
      if (declared > sizeof r) reader_.skip(declared - sizeof r);
      uint32_t index = getLE<uint16_t>(r + 2);
      SheetInfo info;
      info.firstUsed = addressAt(r + 8);
      info.lastUsed = addressAt(r + 16);
      info.flag = r[24];
      info.name = text(getLE<uint16_t>(r + 28));
      info.codeName = text(getLE<uint16_t>(r + 30));
      if (index < CellAddress::kNoSheet) workbook_.setSheet(index, std::move(info));
    }
  }

  void sheetControls() {
    uint8_t h[12];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t groups = getLE<uint32_t>(h + 4);
    for (uint32_t g = 0; g < groups && more(); ++g) {
      uint8_t gr[8];
      if (!fixed(gr, sizeof gr)) return;
      uint32_t w = getLE<uint32_t>(gr + 4);
      uint32_t sheet = w >> 24, objects = w & 0xFFFF;
      for (uint32_t o = 0; o < objects && more(); ++o) {
        uint8_t r[32];
        if (!fixed(r, sizeof r)) return;
        SheetControl control;
        control.word1 = getLE<uint16_t>(r + 4);
        control.word2 = getLE<uint16_t>(r + 6);
        control.linkedCell = addressAt(r + 8);
        control.name = text(getLE<uint32_t>(r + 16));
        control.text2 = text(getLE<uint32_t>(r + 20));
        control.text3 = text(getLE<uint32_t>(r + 24));
        control.groupName = text(getLE<uint32_t>(r + 28));
        std::u16string key = control.name;
        workbook_.sheetControls()[sheet].insert_or_assign(std::move(key), std::move(control));
      }
    }
  }

  void macroConstants() {
    uint8_t h[12];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t count = getLE<uint32_t>(h + 4);
    uint32_t byteLength = getLE<uint32_t>(h + 8);
    if (byteLength == 0) return;
    // The bytes are taken only when the data holds them all: a length beyond it allocates nothing.
    if (!reader_.ensure(byteLength)) {
      reader_.skip(std::numeric_limits<size_t>::max());
      return;
    }
    std::vector<uint8_t> bytes(byteLength);
    if (!fixed(bytes.data(), bytes.size())) return;
    size_t pos = 0;
    for (uint32_t i = 0; i < count && pos < bytes.size(); ++i) {
      CalcValue v;
      uint8_t tag = bytes[pos++];
      pos += v.unpack(tag, bytes.data() + pos, bytes.size() - pos);
      workbook_.macroConstants().push_back(std::move(v));
    }
  }

  // A link whose path repeats an earlier one keeps its slot, so that the indices of later links stay
  // right, and answers through the first link with that path.
  void externalLinks() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t count = getLE<uint32_t>(h + 4);
    std::map<std::u16string, int32_t> byPath;
    for (uint32_t i = 0; i < count && more(); ++i) {
      uint8_t r[8];
      if (!fixed(r, sizeof r)) return;
      auto folderLength = getLE<int16_t>(r + 4);
      auto fileLength = getLE<int16_t>(r + 6);
      ExternalLink link;
      if (folderLength > 0) link.folder = text(static_cast<uint64_t>(folderLength));
      if (fileLength > 0) link.fileName = text(static_cast<uint64_t>(fileLength));
      std::u16string path = link.folder;
      if (path.empty() || path.back() != u'\\') path += u'\\';
      path += link.fileName;
      auto index = static_cast<int32_t>(workbook_.externalLinks().size());
      auto [it, inserted] = byPath.try_emplace(toUpperText(path), index);
      if (!inserted) link.firstWithPath = it->second;
      workbook_.externalLinks().push_back(std::move(link));
    }
  }

  void ddeLinks() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t count = getLE<uint32_t>(h + 4);
    for (uint32_t i = 0; i < count && more(); ++i) {
      uint8_t r[12];
      if (!fixed(r, sizeof r)) return;
      DdeSource source;
      source.application = text(getLE<uint16_t>(r + 4));
      source.topic = text(getLE<uint16_t>(r + 6));
      uint32_t items = getLE<uint32_t>(r + 8);
      for (uint32_t k = 0; k < items && more(); ++k) {
        uint8_t ir[12];
        if (!fixed(ir, sizeof ir)) break;
        DdeItem item;
        item.name = text(getLE<uint32_t>(ir + 4));
        uint32_t cellCount = getLE<uint32_t>(ir + 8);
        for (uint32_t c = 0; c < cellCount && more(); ++c) {
          uint8_t a[8];
          if (!fixed(a, sizeof a)) break;
          item.cells.push_back(addressAt(a));
        }
        std::sort(item.cells.begin(), item.cells.end());
        item.cells.erase(std::unique(item.cells.begin(), item.cells.end()), item.cells.end());
        source.items.push_back(std::move(item));
      }
      workbook_.ddeSources().push_back(std::move(source));
    }
  }

  void definedNames() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    for (uint32_t i = 0; i < nameCount_ && more(); ++i) {
      uint8_t r[12];
      if (!fixed(r, sizeof r)) return;
      DefinedName name;
      name.name = text(getLE<uint16_t>(r + 2));
      name.scope = getLE<int32_t>(r + 4);
      NodeList list = readNodesBytes(reader_, getLE<uint32_t>(r + 8), workbook_);
      std::vector<FormulaNode*> roots = list.takeRoots();
      // The first record is the root; anything else without a parent is stray and dropped.
      for (size_t k = 0; k < roots.size(); ++k) {
        if (k == 0)
          name.root = roots[k];
        else
          delete roots[k];
      }
      workbook_.definedNames().push_back(std::move(name));
    }
  }

  void cells() {
    for (uint32_t i = 0; i < cellCount_ && more(); ++i) {
      uint8_t r[kCellRecordSize] = {};
      if (!reader_.peek(sizeof r, r)) {
        reader_.skip(std::numeric_limits<size_t>::max()); // a record cut short: the data ends here
        return;
      }
      try {
        cellRecord(r);
      } catch (...) {
        // A failure ends this record only.
      }
    }
  }

  void cellRecord(uint8_t* r) {
    // The record is read in full; a longer declared record is skipped over.
    uint32_t declared = getLE<uint32_t>(r);
    if (!fixed(r, kCellRecordSize)) return;
    if (declared > kCellRecordSize) reader_.skip(declared - kCellRecordSize);
    CellAddress address = addressAt(r + 8);
    uint16_t valueLength = getLE<uint16_t>(r + 16);
    uint32_t flags = getLE<uint32_t>(r + 20);
    int32_t index = getLE<int32_t>(r + 24);
    uint32_t hyperlinkUnits = getLE<uint32_t>(r + 28);
    uint32_t arrayLength = getLE<uint32_t>(r + 32);

    Cell* cell = workbook_.findOrCreateCell(address);
    CalcValue stored;
    bool hasStored = false;
    if (valueLength > 0) {
      std::vector<uint8_t> bytes(valueLength);
      if (!fixed(bytes.data(), bytes.size())) return;
      stored.unpack(bytes[0], bytes.data() + 1, bytes.size() - 1);
      hasStored = true;
    }
    std::u16string hyperlink;
    if (hyperlinkUnits > 0) {
      if (hyperlinkUnits > kMaxTextUnits || reader_.readText(hyperlinkUnits, hyperlink) == 0) {
        reader_.skip(clampToSize(uint64_t(hyperlinkUnits) * 2));
        hyperlink.clear();
      }
      size_t nul = hyperlink.find(u'\0');
      if (nul != std::u16string::npos) hyperlink.resize(nul);
    }
    Area arrayArea = Area::invalid();
    if (arrayLength == 16) {
      uint8_t a[16];
      if (!fixed(a, sizeof a)) return;
      arrayArea = canonicalArea(Area{addressAt(a), addressAt(a + 8)});
    } else if (arrayLength > 0) {
      reader_.skip(arrayLength);
    }
    if (!cell) return; // an address that names no cell: the record is stepped over

    if (hasStored) cell->setValue(stored);
    if (hyperlinkUnits > 0)
      cell->setHyperlink(std::make_unique<HyperlinkRecord>(HyperlinkRecord::parse(hyperlink)));
    cell->setArrayArea(arrayArea);
    bool entered = cell->hasFormula() || cell->hasFlag(CellVolatile); // a repeated record
    cell->setFlagWord((cell->flags() & ~kStoredCellFlags) | (flags & kStoredCellFlags));
    if (flags & kArrayFormulaIndexFlag) {
      cell->setArrayFormulaIndex(index);
      cell->setTemplateIndex(-1);
    } else {
      cell->setArrayFormulaIndex(-1);
      cell->setTemplateIndex(index < 0 ? -1 : index);
    }
    if (entered) workbook_.leaveSets(*cell);
    workbook_.enterCell(*cell);
  }

  void formulaCells() {
    uint8_t c[4];
    if (!fixed(c, sizeof c)) return;
    uint32_t count = getLE<uint32_t>(c);
    for (uint32_t i = 0; i < count && more(); ++i) {
      uint8_t r[kFormulaCellRecordSize];
      uint8_t sizeField[4];
      if (!reader_.peek(4, sizeField) || !fixed(r, sizeof r)) return;
      uint32_t declared = getLE<uint32_t>(sizeField);
      if (declared > sizeof r) reader_.skip(declared - sizeof r);
      // A record for a cell that does not exist is not valid: its nodes are read and dropped, and its
      // precedents stepped over, so that the next record is found.
      Cell* cell = workbook_.findCell(addressAt(r + 8));
      NodeList list = readNodes(reader_, getLE<uint32_t>(r + 16), workbook_);
      std::vector<FormulaNode*> roots = list.takeRoots();
      for (FormulaNode* root : roots) {
        if (cell)
          cell->operandRoots().push_back(root);
        else
          delete root;
      }
      uint32_t precedents = getLE<uint32_t>(r + 20);
      for (uint32_t p = 0; p < precedents && more(); ++p) {
        uint8_t a[8];
        if (!fixed(a, sizeof a)) return;
        Cell* read = workbook_.findCell(addressAt(a));
        if (cell && read) workbook_.link(*cell, *read);
      }
    }
  }

  void areas() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    uint32_t count = getLE<uint32_t>(h + 4);
    for (uint32_t i = 0; i < count && more(); ++i) {
      uint8_t r[16];
      if (!fixed(r, sizeof r)) return;
      Area area = canonicalArea(Area{addressAt(r), addressAt(r + 8)});
      if (area.isValid()) workbook_.addToAreaSet(area);
    }
  }

  void sharedExpressions() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    NodeList list = readNodes(reader_, getLE<uint32_t>(h + 4), workbook_);
    for (FormulaNode* root : list.takeRoots())
      workbook_.sharedExpressions().push_back(root);
  }

  // The templates run to the end of the data, whatever the count says.
  void formulaTemplates() {
    uint8_t h[8];
    if (!sectionHeader(h, sizeof h)) return;
    NodeList list = readNodes(reader_, std::numeric_limits<uint64_t>::max(), workbook_);
    for (FormulaNode* root : list.takeRoots())
      workbook_.formulaTemplates().push_back(root);
  }

  StreamReader& reader_;
  CompiledWorkbook& workbook_;
  uint32_t sheetCount_ = 0;
  uint32_t cellCount_ = 0;
  uint32_t nameCount_ = 0;
};

// ---------------------------------------------------------------- writing

class Writer {
public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) { put(&v, sizeof v); }
  void i16(int16_t v) { put(&v, sizeof v); }
  void u32(uint32_t v) { put(&v, sizeof v); }
  void i32(int32_t v) { put(&v, sizeof v); }
  void address(CellAddress a) {
    u32(a.row);
    u32(a.sheetColumn);
  }
  void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  void bytes(const std::vector<uint8_t>& b) { out_.insert(out_.end(), b.begin(), b.end()); }
  // Appends the code units of a text, without terminator.
  void text(std::u16string_view t) {
    for (char16_t c : t)
      put(&c, sizeof c);
  }
  // Overwrites a 32-bit word written earlier.
  void patch32(size_t offset, uint32_t v) { std::memcpy(out_.data() + offset, &v, sizeof v); }
  size_t size() const { return out_.size(); }
  std::vector<uint8_t>& buffer() { return out_; }

private:
  void put(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    out_.insert(out_.end(), b, b + n);
  }
  std::vector<uint8_t>& out_;
};

// Returns the text cut to the units its length field can count.
std::u16string_view fitted(std::u16string_view t, size_t maxUnits) {
  return t.substr(0, std::min(t.size(), maxUnits));
}

// Writes roots as one node list (parent indices shared across the roots); returns the records written.
template <typename Roots> uint32_t writeRoots(const Roots& roots, std::vector<uint8_t>& out) {
  int32_t counter = 0;
  for (const FormulaNode* root : roots)
    if (root) root->writeTree(-1, counter, out);
  return static_cast<uint32_t>(counter);
}

} // namespace

void loadWorkbook(StreamReader& reader, CompiledWorkbook& workbook) {
  Loader(reader, workbook).run();
}

WriteResult writeWorkbook(const CompiledWorkbook& workbook, std::vector<uint8_t>& out) {
  std::vector<uint8_t> bytes;
  Writer w(bytes);
  WriteResult result;

  // Header; the cell count is patched once the cells are written.
  w.u32(kWorkbookMagic);
  w.u32(kWorkbookHeaderSize);
  w.u16(kWorkbookFormatVersion);
  w.u16(static_cast<uint16_t>(std::min<size_t>(workbook.sheets().size(), 0xFFFF)));
  size_t cellCountAt = w.size();
  w.u32(0);
  w.u32(static_cast<uint32_t>(workbook.definedNames().size()));
  w.u32(workbook.workbookWord());

  // Grid layout: one record per row block that has a span.
  {
    size_t countAt = w.size() + 4;
    w.u32(8);
    w.u32(0);
    uint32_t count = 0;
    workbook.grid().forEachSpan([&](uint32_t sheet, uint32_t column, uint32_t low, uint32_t high) {
      w.u16(static_cast<uint16_t>(sheet));
      w.u16(static_cast<uint16_t>(column));
      w.u32(low);
      w.u32(high);
      ++count;
    });
    w.patch32(countAt, count);
  }

  // Sheet table.
  for (const auto& [index, info] : workbook.sheets()) {
    if (index > 0xFFFF) continue;
    std::u16string_view name = fitted(info.name, 0x7FFF), codeName = fitted(info.codeName, 0x7FFF);
    w.u16(32);
    w.u16(static_cast<uint16_t>(index));
    w.u32(0);
    w.address(info.firstUsed);
    w.address(info.lastUsed);
    w.u8(info.flag);
    w.zeros(3);
    w.u16(static_cast<uint16_t>(name.size() * 2));
    w.u16(static_cast<uint16_t>(codeName.size() * 2));
    w.text(name);
    w.text(codeName);
  }

  // Sheet controls: one group per sheet (a sheet index fits 8 bits, a group 65535 objects).
  {
    size_t countAt = w.size() + 4;
    w.u32(12);
    w.u32(0);
    w.u32(0);
    uint32_t groups = 0;
    for (const auto& [sheet, controls] : workbook.sheetControls()) {
      if (sheet > 0xFF || controls.empty()) continue;
      auto it = controls.begin();
      while (it != controls.end()) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(std::distance(it, controls.end()), 0xFFFF));
        w.u32(8);
        w.u32(sheet << 24 | n);
        ++groups;
        for (uint32_t k = 0; k < n; ++k, ++it) {
          const SheetControl& c = it->second;
          std::u16string_view texts[4] = {fitted(c.name, kMaxTextUnits), fitted(c.text2, kMaxTextUnits),
                                          fitted(c.text3, kMaxTextUnits), fitted(c.groupName, kMaxTextUnits)};
          w.u32(32);
          w.u16(c.word1);
          w.u16(c.word2);
          w.address(c.linkedCell);
          for (std::u16string_view t : texts)
            w.u32(static_cast<uint32_t>(t.size() * 2));
          for (std::u16string_view t : texts)
            w.text(t);
        }
      }
    }
    w.patch32(countAt, groups);
  }

  // Macro constants.
  {
    std::vector<uint8_t> packed;
    for (const CalcValue& v : workbook.macroConstants())
      v.pack(packed);
    w.u32(12);
    w.u32(static_cast<uint32_t>(workbook.macroConstants().size()));
    w.u32(static_cast<uint32_t>(packed.size()));
    w.bytes(packed);
  }

  // External links: every slot, repeated paths included, so that link indices keep their meaning.
  w.u32(8);
  w.u32(static_cast<uint32_t>(workbook.externalLinks().size()));
  for (const ExternalLink& link : workbook.externalLinks()) {
    std::u16string_view folder = fitted(link.folder, 0x3FFF), file = fitted(link.fileName, 0x3FFF);
    w.u32(8);
    w.i16(static_cast<int16_t>(folder.size() * 2));
    w.i16(static_cast<int16_t>(file.size() * 2));
    w.text(folder);
    w.text(file);
  }

  // DDE links.
  w.u32(8);
  w.u32(static_cast<uint32_t>(workbook.ddeSources().size()));
  for (const DdeSource& source : workbook.ddeSources()) {
    std::u16string_view application = fitted(source.application, 0x7FFF),
                        topic = fitted(source.topic, 0x7FFF);
    w.u32(12);
    w.u16(static_cast<uint16_t>(application.size() * 2));
    w.u16(static_cast<uint16_t>(topic.size() * 2));
    w.u32(static_cast<uint32_t>(source.items.size()));
    w.text(application);
    w.text(topic);
    for (const DdeItem& item : source.items) {
      std::u16string_view name = fitted(item.name, kMaxTextUnits);
      w.u32(12);
      w.u32(static_cast<uint32_t>(name.size() * 2));
      w.u32(static_cast<uint32_t>(item.cells.size()));
      w.text(name);
      for (CellAddress a : item.cells)
        w.address(a);
    }
  }

  // Defined names: each formula is one node list whose byte length the record gives.
  w.u32(8);
  w.u32(0);
  for (const DefinedName& name : workbook.definedNames()) {
    std::u16string_view text = fitted(name.name, 0x7FFF);
    std::vector<uint8_t> formula;
    if (name.root) writeNodes(*name.root, formula);
    w.u16(12);
    w.u16(static_cast<uint16_t>(text.size() * 2));
    w.i32(name.scope);
    w.u32(static_cast<uint32_t>(formula.size()));
    w.text(text);
    w.bytes(formula);
  }

  // Cells, in grid order.
  uint32_t cellCount = 0;
  workbook.forEachCell([&](Cell& cell) {
    if (!result.ok) return;
    std::vector<uint8_t> stored;
    if (const CalcValue* v = cell.value()) v->pack(stored);
    if (stored.size() > 0xFFFF) {
      // The length field is 16 bits. A computed cell is written without its value, which the next
      // recalculation restores; any other value would be lost, so writing fails.
      if (!cell.hasFormula()) {
        result = WriteResult{false, cell.address()};
        return;
      }
      stored.clear();
    }
    std::u16string hyperlink;
    if (const HyperlinkRecord* h = cell.hyperlink())
      hyperlink = std::u16string(fitted(h->source, kMaxTextUnits - 1));
    bool arrayIndex = cell.arrayFormulaIndex() >= 0;
    w.u32(kCellRecordSize);
    w.u32(0);
    w.address(cell.address());
    w.u16(static_cast<uint16_t>(stored.size()));
    w.u16(0);
    w.u32((cell.flags() & kStoredCellFlags) | (arrayIndex ? kArrayFormulaIndexFlag : 0));
    w.i32(arrayIndex ? cell.arrayFormulaIndex() : cell.templateIndex());
    w.u32(cell.hyperlink() ? static_cast<uint32_t>(hyperlink.size() + 1) : 0);
    w.u32(cell.arrayArea().isValid() ? 16 : 0);
    w.u32(0);
    w.bytes(stored);
    if (cell.hyperlink()) {
      w.text(hyperlink);
      w.u16(0);
    }
    if (cell.arrayArea().isValid()) {
      w.address(cell.arrayArea().first);
      w.address(cell.arrayArea().second);
    }
    ++cellCount;
  });
  if (!result.ok) return result;
  w.patch32(cellCountAt, cellCount);

  // Formula cells: the cells with operand trees or precedents.
  {
    size_t countAt = w.size();
    w.u32(0);
    uint32_t count = 0;
    workbook.forEachCell([&](Cell& cell) {
      if (cell.operandRoots().empty() && cell.precedentCells().empty()) return;
      std::vector<uint8_t> nodes;
      uint32_t records = writeRoots(cell.operandRoots(), nodes);
      w.u32(kFormulaCellRecordSize);
      w.u32(0);
      w.address(cell.address());
      w.u32(records);
      w.u32(static_cast<uint32_t>(cell.precedentCells().size()));
      w.bytes(nodes);
      // The cells keep their precedents in memory order; the stream lists them by address, so that the
      // same model always writes the same bytes.
      std::vector<CellAddress> read;
      read.reserve(cell.precedentCells().size());
      for (const Cell* p : cell.precedentCells())
        read.push_back(p->address());
      std::sort(read.begin(), read.end(), [](CellAddress a, CellAddress b) {
        return a.sheetColumn != b.sheetColumn ? a.sheetColumn < b.sheetColumn : a.row < b.row;
      });
      for (CellAddress a : read)
        w.address(a);
      ++count;
    });
    w.patch32(countAt, count);
  }

  // Areas.
  w.u32(8);
  w.u32(static_cast<uint32_t>(workbook.areaSet().size()));
  for (const Area& area : workbook.areaSet()) {
    w.address(area.first);
    w.address(area.second);
  }

  // Shared expressions: the count is the number of node records.
  {
    std::vector<uint8_t> nodes;
    uint32_t records = writeRoots(workbook.sharedExpressions(), nodes);
    w.u32(8);
    w.u32(records);
    w.bytes(nodes);
  }

  // Formula templates: the count is the number of templates; the records run to the end.
  w.u32(8);
  w.u32(static_cast<uint32_t>(workbook.formulaTemplates().size()));
  writeRoots(workbook.formulaTemplates(), bytes);

  out.insert(out.end(), bytes.begin(), bytes.end());
  return result;
}

} // namespace cwbk
