// The runtime's own DDE client: formulas that name a service, a topic and an item are answered through
// one conversation per service and topic, each item with an advise loop; the server's advise data
// recalculates the cells that read the item. Also the link services the engine calls for external and
// DDE references.
#pragma once

#include <windows.h>

#include <ddeml.h>

#include <string>
#include <string_view>
#include <vector>

#include "formula/formula_node.h"
#include "values/cell_address.h"

namespace cwbk {

struct RuntimeHost;

class DdeClient {
public:
  struct Item {
    std::u16string item;
    HSZ name = nullptr; // the item's string handle, kept until the instance ends
    bool advising = false;
    std::vector<CellAddress> cells; // the cells whose formulas read the item
  };
  struct Conversation {
    std::u16string service, topic;
    HCONV handle = nullptr;
    std::vector<Item> items;
  };

  DdeClient() = default;
  ~DdeClient() { uninitialize(); }
  DdeClient(const DdeClient&) = delete;
  DdeClient& operator=(const DdeClient&) = delete;

  // Registers a client-only instance whose callback is ddeCallback; returns whether one is registered.
  bool initialize();
  // Ends the instance with its conversations and advise loops; safe to call more than once.
  void uninitialize();
  DWORD instance() const { return instance_; }

  // Returns the live conversation handle of (service, topic), connecting when there is none yet or the
  // server has ended the last one; null when the server does not answer.
  HCONV connect(std::u16string_view service, std::u16string_view topic);
  // Requests an item in the text format, starting its advise loop first; the answer is a number when
  // the text reads as one, else the text. Returns false, leaving value as it was, on any failure.
  bool request(std::u16string_view service, std::u16string_view topic, std::u16string_view item,
               CalcValue& value);
  // Notes that a cell's formula reads an item (the invalid address notes nothing).
  void noteReader(std::u16string_view service, std::u16string_view topic, std::u16string_view item,
                  CellAddress cell);

  const std::vector<Conversation>& conversations() const { return conversations_; }
  // The conversation of a handle and its item of a name; null when unknown.
  const Item* findItem(HCONV handle, std::u16string_view item) const;

private:
  Conversation& conversation(std::u16string_view service, std::u16string_view topic);
  static Item& itemOf(Conversation& c, std::u16string_view item);

  DWORD instance_ = 0;
  std::vector<Conversation> conversations_;
};

// The DDE library's callback: advise data in the text format recalculates the item's cells (their
// addresses join the pending cells and command 10 is posted to the host window) unless the runtime
// calculates, editing holds commands back, Excel's events are off or its calculation is manual.
// Answers DDE_FACK for advise data it took, DDE_FNOTPROCESSED for advise data it left, and nothing
// for other transactions.
HDDEDATA CALLBACK ddeCallback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                              ULONG_PTR, ULONG_PTR);

// Takes every waiting message of the thread out and dispatches it; returns when the queue is empty. A
// quit message is put back for the loop that owns it, and ends the pumping.
void pumpMessages();

// Turns the bytes of a text-format item into the value the engine sees: one unit per byte up to the
// first NUL, a trailing CR/LF dropped; a number when the whole text reads as one (an Integer when
// integral), else the text.
void ddeTextValue(std::string_view bytes, CalcValue& value);

// The engine's link services inside Excel: DDE references go to the runtime's own client first, then
// to Excel's DDE channels through the adapter. Linked workbooks are not opened from here.
class HostLinks final : public LinkServices {
public:
  explicit HostLinks(RuntimeHost& host) : host_(host) {}
  bool openLinkedWorkbook(std::u16string_view) override { return false; }
  void readLinkedCell(const std::u16string*, std::u16string_view, CalcValue&) override {}
  bool ddeRequestDirect(std::u16string_view application, std::u16string_view topic, std::u16string_view item,
                        CalcValue& value) override;
  int32_t ddeInitiate(std::u16string_view application, std::u16string_view topic) override;
  void ddeRequest(int32_t channel, std::u16string_view item, CalcValue& value) override;
  std::u16string fullPath(std::u16string_view folder) override { return std::u16string(folder); }

private:
  RuntimeHost& host_;
};

} // namespace cwbk
