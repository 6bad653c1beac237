// The runtime's DDE client: conversations, advise loops and requests in the text format, the advise
// callback that recalculates the readers of an item, the message pump, and the engine's link services.
#include "runtime/win32/dde_client.h"

#include <algorithm>

#include "excel/excel_adapter.h"
#include "formula/compiled_workbook.h"
#include "platform/number_text.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/window_procs.h"

namespace cwbk {
namespace {

constexpr DWORD kTimeout = 1000; // ms for every transaction
constexpr int32_t kCalculationManual = -4135;
constexpr DWORD kMaxItemUnits = 512;

// A string handle of the instance, freed when it goes.
class StringHandle {
public:
  StringHandle(DWORD instance, std::u16string_view text) : instance_(instance) {
    std::u16string terminated(text);
    handle_ = DdeCreateStringHandleW(instance, reinterpret_cast<LPCWSTR>(terminated.c_str()), CP_WINUNICODE);
  }
  ~StringHandle() {
    if (handle_) DdeFreeStringHandle(instance_, handle_);
  }
  StringHandle(const StringHandle&) = delete;
  StringHandle& operator=(const StringHandle&) = delete;
  HSZ get() const { return handle_; }

private:
  DWORD instance_;
  HSZ handle_ = nullptr;
};

// Advise data is taken only while a recalculation may start.
bool adviseTaken(RuntimeHost& host) {
  if (host.shutDown || host.calcBusy || focusHold().editHold || !host.model || !host.mainWindow) return false;
  ApplicationWrapper& app = host.application;
  if (app.isEmpty()) return false;
  return app.enableEvents() && app.calculation() != kCalculationManual;
}

} // namespace

bool DdeClient::initialize() {
  if (instance_) return true;
  DWORD instance = 0;
  if (DdeInitializeW(&instance, ddeCallback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR) return false;
  instance_ = instance;
  return true;
}

void DdeClient::uninitialize() {
  if (!instance_) return;
  DdeUninitialize(instance_); // ends the conversations, their advise loops and the string handles
  instance_ = 0;
  conversations_.clear();
}

DdeClient::Conversation& DdeClient::conversation(std::u16string_view service, std::u16string_view topic) {
  for (Conversation& c : conversations_)
    if (c.service == service && c.topic == topic) return c;
  conversations_.push_back({std::u16string(service), std::u16string(topic), nullptr, {}});
  return conversations_.back();
}

DdeClient::Item& DdeClient::itemOf(Conversation& c, std::u16string_view item) {
  for (Item& i : c.items)
    if (i.item == item) return i;
  c.items.push_back({std::u16string(item), nullptr, false, {}});
  return c.items.back();
}

HCONV DdeClient::connect(std::u16string_view service, std::u16string_view topic) {
  if (!instance_) return nullptr;
  Conversation& c = conversation(service, topic);
  if (c.handle) {
    CONVINFO info = {};
    info.cb = sizeof info;
    if (DdeQueryConvInfo(c.handle, QID_SYNC, &info) && (info.wStatus & ST_CONNECTED))
      return c.handle; // the live conversation serves every request of the pair
    // The server ended it: a server that answers again gets a new conversation and new advise loops.
    DdeDisconnect(c.handle);
    c.handle = nullptr;
    for (Item& i : c.items)
      i.advising = false;
  }
  StringHandle serviceName(instance_, service), topicName(instance_, topic);
  if (!serviceName.get() || !topicName.get()) return nullptr;
  c.handle = DdeConnect(instance_, serviceName.get(), topicName.get(), nullptr);
  return c.handle;
}

bool DdeClient::request(std::u16string_view service, std::u16string_view topic, std::u16string_view item,
                        CalcValue& value) {
  HCONV handle = connect(service, topic);
  if (!handle) return false;
  Item& entry = itemOf(conversation(service, topic), item);
  // The item's string handle lives as long as its advise loop, which the library keys by it.
  if (!entry.name)
    entry.name =
        DdeCreateStringHandleW(instance_, reinterpret_cast<LPCWSTR>(entry.item.c_str()), CP_WINUNICODE);
  if (!entry.name) return false;
  if (!entry.advising &&
      DdeClientTransaction(nullptr, 0, handle, entry.name, CF_TEXT, XTYP_ADVSTART, kTimeout, nullptr))
    entry.advising = true;
  HDDEDATA data =
      DdeClientTransaction(nullptr, 0, handle, entry.name, CF_TEXT, XTYP_REQUEST, kTimeout, nullptr);
  if (!data) return false;
  const DWORD size = DdeGetData(data, nullptr, 0, 0);
  std::string bytes(size, '\0');
  const bool read = size > 0 && DdeGetData(data, reinterpret_cast<LPBYTE>(bytes.data()), size, 0) == size;
  DdeFreeDataHandle(data);
  if (!read) {
    pumpMessages();
    return false;
  }
  ddeTextValue(bytes, value);
  return true;
}

void DdeClient::noteReader(std::u16string_view service, std::u16string_view topic, std::u16string_view item,
                           CellAddress cell) {
  if (!cell.isValid()) return;
  std::vector<CellAddress>& cells = itemOf(conversation(service, topic), item).cells;
  if (std::find(cells.begin(), cells.end(), cell) == cells.end()) cells.push_back(cell);
}

const DdeClient::Item* DdeClient::findItem(HCONV handle, std::u16string_view item) const {
  for (const Conversation& c : conversations_) {
    if (c.handle != handle) continue;
    for (const Item& i : c.items)
      if (i.item == item) return &i;
  }
  return nullptr;
}

void ddeTextValue(std::string_view bytes, CalcValue& value) {
  bytes = bytes.substr(0, bytes.find('\0'));
  while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n'))
    bytes.remove_suffix(1);
  std::u16string text;
  text.reserve(bytes.size());
  for (char c : bytes)
    text.push_back(char16_t(static_cast<unsigned char>(c)));
  if (std::optional<double> number = parseDecimalText(text)) {
    value.setNumber(*number);
  } else {
    value.setText(text);
  }
}

HDDEDATA CALLBACK ddeCallback(UINT type, UINT format, HCONV conversation, HSZ, HSZ item, HDDEDATA, ULONG_PTR,
                              ULONG_PTR) {
  if (type != XTYP_ADVDATA) return nullptr;
  try {
    RuntimeHost* host = runtimeHost();
    if (!host || format != CF_TEXT || !adviseTaken(*host)) return HDDEDATA(DDE_FNOTPROCESSED);
    wchar_t name[kMaxItemUnits + 1] = {};
    const DWORD length = DdeQueryStringW(host->dde.instance(), item, name, kMaxItemUnits + 1, CP_WINUNICODE);
    const DdeClient::Item* entry = host->dde.findItem(
        conversation, std::u16string_view(reinterpret_cast<const char16_t*>(name), length));
    if (!entry) return HDDEDATA(DDE_FNOTPROCESSED);
    for (CellAddress address : entry->cells)
      if (Cell* cell = host->model->findCell(address)) host->pendingCells.push_back(cell);
    PostMessageW(host->mainWindow, message::Command, 10, 0);
    return HDDEDATA(DDE_FACK);
  } catch (...) {
    return HDDEDATA(DDE_FNOTPROCESSED);
  }
}

void pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) break;
    if (msg.message == WM_QUIT) {
      PostQuitMessage(int(msg.wParam)); // the loop that owns the quit still sees it
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool HostLinks::ddeRequestDirect(std::u16string_view application, std::u16string_view topic,
                                 std::u16string_view item, CalcValue& value) {
  if (!host_.dde.instance()) return false; // none before attach, nor after the workbook closed
  host_.dde.noteReader(application, topic, item, evaluationContext().currentAddress());
  return host_.dde.request(application, topic, item, value);
}

int32_t HostLinks::ddeInitiate(std::u16string_view application, std::u16string_view topic) {
  try {
    return host_.adapter ? host_.adapter->ddeInitiate(application, topic) : -1;
  } catch (...) {
    return -1; // Excel has no conversation either: the reference fails
  }
}

void HostLinks::ddeRequest(int32_t channel, std::u16string_view item, CalcValue& value) {
  try {
    if (host_.adapter) host_.adapter->ddeRequest(channel, item, value);
  } catch (...) {
    value.setError(ErrRef);
  }
}

} // namespace cwbk
