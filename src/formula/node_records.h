// Node records: reading formula nodes from the stream (readNode, readNodes, readNodesBytes) and the
// little-endian record writer that the nodes use to write themselves back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "formula/formula_node.h"
#include "values/cell_address.h"

namespace cwbk {

class StreamReader;
class CompiledWorkbook;

constexpr size_t kNodeHeaderSize = 8;
constexpr size_t kMaxRecordLength = 0xFFFF;
// Deepest nesting of records accepted in one list; a deeper record is skipped with its subtree.
constexpr uint32_t kMaxNodeDepth = 1024;

// The nodes of one readNodes or readNodesBytes call, by record index. A record that was skipped (bad,
// cut short, or linked to a skipped or refused parent) has a null entry, so that later parent indices
// keep their meaning. The list owns its roots until they are taken; children belong to their parents.
class NodeList {
public:
  NodeList() = default;
  NodeList(const NodeList&) = delete;
  NodeList& operator=(const NodeList&) = delete;
  NodeList(NodeList&& other) noexcept;
  NodeList& operator=(NodeList&& other) noexcept;
  // Destroys the roots that were not taken.
  ~NodeList();

  size_t size() const { return nodes_.size(); }
  // Returns the node of a record index, or null (skipped record, or index out of range).
  FormulaNode* at(size_t index) const { return index < nodes_.size() ? nodes_[index] : nullptr; }
  // Returns the nodes without a parent, in record order, and hands their ownership to the caller.
  std::vector<FormulaNode*> takeRoots();

  // Appends the node of the next record (null for a skipped record) with its depth.
  void append(FormulaNode* node, uint32_t depth);
  uint32_t depth(size_t index) const { return index < depths_.size() ? depths_[index] : 0; }

private:
  void destroyRoots();
  std::vector<FormulaNode*> nodes_;
  std::vector<uint32_t> depths_;
};

// Reads one node record and links it into the list: the new node becomes the last child of the list
// entry its parent index names. Returns the node, or null when the record was skipped. A skipped record
// is still consumed (as far as the data reaches). At most `budget` bytes are consumed: a record that
// would run past the budget is skipped by consuming just the budget.
FormulaNode* readNode(StreamReader& reader, NodeList& list, CompiledWorkbook& workbook,
                      uint64_t budget = UINT64_MAX);
// Reads up to count records (fewer when the data ends).
NodeList readNodes(StreamReader& reader, uint64_t count, CompiledWorkbook& workbook);
// Reads records that fill exactly byteLength bytes (fewer when the data ends).
NodeList readNodesBytes(StreamReader& reader, uint64_t byteLength, CompiledWorkbook& workbook);

// Writes the subtree rooted at node in pre-order (the root gets parent index -1) and returns the
// number of records written.
int32_t writeNodes(const FormulaNode& root, std::vector<uint8_t>& out);

// Appends one record to a byte vector: the header first, with its length patched when the record is
// finished (at the latest by the destructor).
class RecordWriter {
public:
  RecordWriter(std::vector<uint8_t>& out, NodeKind kind, int32_t parentIndex);
  ~RecordWriter() { finish(); }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  void u8(uint8_t v) { out_.push_back(v); }
  void i16(int16_t v) { put(&v, sizeof v); }
  void i32(int32_t v) { put(&v, sizeof v); }
  void u32(uint32_t v) { put(&v, sizeof v); }
  void f64(double v) { put(&v, sizeof v); }
  void address(CellAddress a) {
    u32(a.row);
    u32(a.sheetColumn);
  }
  void zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  // Appends UTF-16LE code units and a terminating NUL.
  void text(std::u16string_view t);
  // Returns the bytes written so far, header included.
  size_t length() const { return out_.size() - start_; }
  // Patches the record length.
  void finish();

private:
  void put(const void* p, size_t n);
  std::vector<uint8_t>& out_;
  size_t start_;
  bool finished_ = false;
};

// Returns how many code units of a text fit (with its NUL) into a record whose other bytes take
// fixedBytes.
size_t textUnitsThatFit(size_t fixedBytes);

} // namespace cwbk
