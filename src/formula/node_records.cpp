// Node records: reading and linking formula nodes from untrusted bytes, and the record writer.
#include "formula/node_records.h"
#include "values/little_endian.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "formula/array_node.h"
#include "formula/compiled_workbook.h"
#include "formula/constant_nodes.h"
#include "formula/operator_nodes.h"
#include "formula/proxy_nodes.h"
#include "formula/reference_nodes.h"
#include "formula/stream_reader.h"

namespace cwbk {

// ---------------------------------------------------------------- NodeList

NodeList::NodeList(NodeList&& other) noexcept
    : nodes_(std::move(other.nodes_)), depths_(std::move(other.depths_)) {
  other.nodes_.clear();
  other.depths_.clear();
}

NodeList& NodeList::operator=(NodeList&& other) noexcept {
  if (this != &other) {
    destroyRoots();
    nodes_ = std::move(other.nodes_);
    depths_ = std::move(other.depths_);
    other.nodes_.clear();
    other.depths_.clear();
  }
  return *this;
}

NodeList::~NodeList() {
  destroyRoots();
}

void NodeList::destroyRoots() {
  // Roots are found before any is destroyed: destroying a root destroys entries of its subtree.
  for (FormulaNode* root : takeRoots())
    delete root;
}

std::vector<FormulaNode*> NodeList::takeRoots() {
  std::vector<FormulaNode*> roots;
  for (FormulaNode* node : nodes_)
    if (node && !node->parent()) roots.push_back(node);
  nodes_.clear();
  depths_.clear();
  return roots;
}

void NodeList::append(FormulaNode* node, uint32_t depth) {
  nodes_.push_back(node);
  depths_.push_back(depth);
}

// ---------------------------------------------------------------- reading

namespace {

// Returns the UTF-16 text of `bytes` bytes at p, up to the first NUL.
std::u16string textAt(const uint8_t* p, size_t bytes) {
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    char16_t c = getLE<uint16_t>(p + i);
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// The bytes a record of a kind takes: its fixed size, or 0 when the record's own length counts.
size_t fixedSize(uint16_t kind) {
  switch (kind) {
  case 1:
  case 10:
  case 11:
    return 8;
  case 4:
  case 5:
  case 13:
  case 14:
  case 15:
  case 16:
  case 18:
  case 19:
    return 12;
  case 2:
  case 6:
    return 16;
  case 7:
    return 32;
  default:
    return 0;
  }
}

// The smallest valid length of a variable-length record.
size_t minimumLength(uint16_t kind) {
  switch (kind) {
  case 3:
    return 8;
  case 8:
    return 10;
  case 9:
    return 16;
  case 12:
  case 17:
    return 12;
  default:
    return SIZE_MAX; // unknown kinds are never valid
  }
}

// Builds the array constant of a whole kind-12 record; null when the record is malformed: a column
// count of 0 or less, or an element that is not a number, text, boolean or error record of a proper
// length inside the record.
FormulaNode* buildArray(const uint8_t* record, size_t length) {
  int32_t columns = getLE<int32_t>(record + 8);
  if (columns <= 0) return nullptr;
  auto* node = new ArrayNode();
  size_t counter = 12;
  while (counter < length) {
    CalcValue row;
    for (int32_t c = 0; c < columns && counter < length; ++c) {
      if (length - counter < kNodeHeaderSize) {
        delete node;
        return nullptr;
      }
      const uint8_t* element = record + counter;
      size_t elementLength = getLE<uint16_t>(element);
      uint16_t kind = getLE<uint16_t>(element + 2);
      size_t expected = kind == 2 ? 16 : kind == 4 || kind == 5 ? 12 : 0;
      bool valid = kind == 3 ? elementLength >= kNodeHeaderSize : expected && elementLength == expected;
      if (!valid || elementLength > length - counter) {
        delete node;
        return nullptr;
      }
      CalcValue v;
      switch (kind) {
      case 2: {
        double x = getLE<double>(element + 8);
        v.setNumber(std::isfinite(x) ? x : 0.0);
        break;
      }
      case 3:
        v.setText(textAt(element + 8, elementLength - 8));
        break;
      case 4:
        v.setBoolean(getLE<int32_t>(element + 8) != 0);
        break;
      default:
        v.setError(getLE<int32_t>(element + 8));
        break;
      }
      row.appendToArray(v);
      counter += elementLength;
    }
    node->appendRow(row);
  }
  return node;
}

// Builds the node of a complete record (header included); null for a malformed record.
FormulaNode* buildNode(uint16_t kind, const uint8_t* record, size_t length, CompiledWorkbook& workbook) {
  const uint8_t* payload = record + kNodeHeaderSize;
  switch (kind) {
  case 1:
    return new EmptyNode();
  case 2:
    return new NumberNode(getLE<double>(payload));
  case 3:
    return new TextNode(TextNode::unquote(textAt(payload, length - 8)));
  case 4:
    return new BooleanNode(getLE<int32_t>(payload) != 0);
  case 5:
    return new ErrorNode(getLE<int32_t>(payload));
  case 6:
    return new CellRefNode(workbook, addressAt(payload));
  case 7:
    return new AreaRefNode(workbook, addressAt(payload), addressAt(payload + 8), payload[16]);
  case 8:
    return new ExternalRefNode(workbook, getLE<int16_t>(payload), textAt(payload + 2, length - 10));
  case 9:
    return new DdeRefNode(workbook, getLE<int32_t>(payload), getLE<int32_t>(payload + 4));
  case 10:
    return new UnionNode();
  case 11:
    return new IntersectionNode();
  case 12:
    return buildArray(record, length);
  case 13:
    return new NameRefNode(workbook, getLE<int32_t>(payload));
  case 14:
    return new OperandRefNode(getLE<int32_t>(payload));
  case 15:
    return new SharedRefNode(workbook, getLE<int32_t>(payload));
  case 16:
    return new TemplateRefNode(workbook, getLE<int32_t>(payload));
  case 17:
    return new CallNode(textAt(payload + 4, length - 12), getLE<int32_t>(payload));
  case 18:
    return new CompareNode(payload[0]);
  case 19:
    return new ArithmeticNode(payload[0]);
  default:
    return nullptr;
  }
}

} // namespace

// Every record is bounds-checked. A record that is malformed (a length below its header, an unknown
// kind, a bad array constant), cut short by the end of the data, nested too deeply, or linked to a
// parent index that names no usable node of the current list is skipped: it is consumed, its list entry
// stays null, and nothing links to it. Reading always advances, so callers' loops finish.
FormulaNode* readNode(StreamReader& reader, NodeList& list, CompiledWorkbook& workbook, uint64_t budget) {
  uint8_t header[kNodeHeaderSize];
  if (budget < kNodeHeaderSize || !reader.peek(kNodeHeaderSize, header)) {
    // Not even a header fits: the short tail (of the budget or of the data) is consumed. At the end of
    // the data there is no record at all.
    if (reader.skip(static_cast<size_t>(std::min<uint64_t>(budget, kNodeHeaderSize))) > 0)
      list.append(nullptr, 0);
    return nullptr;
  }
  size_t declared = getLE<uint16_t>(header);
  uint16_t kind = getLE<uint16_t>(header + 2);
  int32_t parentIndex = getLE<int32_t>(header + 4);
  if (declared < kNodeHeaderSize) {
    // A length below the header's own size is garbage: step over the header alone.
    reader.skip(kNodeHeaderSize);
    list.append(nullptr, 0);
    return nullptr;
  }

  // The bytes this record takes: fixed kinds by their kind, the others by their declared length.
  size_t fixed = fixedSize(kind);
  size_t length = fixed ? fixed : declared;
  bool wellFormed = fixed || (kind >= 1 && kind <= kLastNodeKind && declared >= minimumLength(kind));
  if (length > budget) {
    reader.skip(static_cast<size_t>(budget));
    list.append(nullptr, 0);
    return nullptr;
  }
  std::vector<uint8_t> record(length);
  if (reader.read(length, record.data()) != length) {
    reader.skip(length); // cut short by the end of the data: the rest is consumed
    list.append(nullptr, 0);
    return nullptr;
  }

  FormulaNode* parent = nullptr;
  uint32_t depth = 0;
  bool linkable = true;
  if (parentIndex != -1) {
    if (parentIndex < 0 || static_cast<size_t>(parentIndex) >= list.size()) {
      linkable = false;
    } else {
      parent = list.at(static_cast<size_t>(parentIndex));
      depth = list.depth(static_cast<size_t>(parentIndex)) + 1;
      linkable = parent && depth <= kMaxNodeDepth;
    }
  }
  FormulaNode* node = wellFormed && linkable ? buildNode(kind, record.data(), length, workbook) : nullptr;
  if (node && parent && !parent->addChild(node)) node = nullptr; // consumed or refused by the parent
  list.append(node, depth);
  return node;
}

NodeList readNodes(StreamReader& reader, uint64_t count, CompiledWorkbook& workbook) {
  NodeList list;
  for (uint64_t i = 0; i < count; ++i) {
    uint64_t before = reader.consumed();
    readNode(reader, list, workbook);
    if (reader.consumed() == before) break; // the data has ended
  }
  return list;
}

NodeList readNodesBytes(StreamReader& reader, uint64_t byteLength, CompiledWorkbook& workbook) {
  NodeList list;
  uint64_t start = reader.consumed();
  while (reader.consumed() - start < byteLength) {
    uint64_t before = reader.consumed();
    readNode(reader, list, workbook, byteLength - (before - start));
    if (reader.consumed() == before) break; // the data has ended
  }
  return list;
}

int32_t writeNodes(const FormulaNode& root, std::vector<uint8_t>& out) {
  int32_t counter = 0;
  root.writeTree(-1, counter, out);
  return counter;
}

// ---------------------------------------------------------------- RecordWriter

RecordWriter::RecordWriter(std::vector<uint8_t>& out, NodeKind kind, int32_t parentIndex)
    : out_(out), start_(out.size()) {
  uint16_t length = 0;
  auto code = static_cast<uint16_t>(kind);
  put(&length, sizeof length);
  put(&code, sizeof code);
  put(&parentIndex, sizeof parentIndex);
}

void RecordWriter::put(const void* p, size_t n) {
  const auto* bytes = static_cast<const uint8_t*>(p);
  out_.insert(out_.end(), bytes, bytes + n);
}

void RecordWriter::text(std::u16string_view t) {
  for (char16_t c : t)
    put(&c, sizeof c);
  char16_t terminator = 0;
  put(&terminator, sizeof terminator);
}

void RecordWriter::finish() {
  if (finished_) return;
  finished_ = true;
  auto total = static_cast<uint16_t>(std::min(length(), kMaxRecordLength));
  std::memcpy(out_.data() + start_, &total, sizeof total);
}

size_t textUnitsThatFit(size_t fixedBytes) {
  return fixedBytes + 2 >= kMaxRecordLength ? 0 : (kMaxRecordLength - fixedBytes) / 2 - 1;
}

} // namespace cwbk
