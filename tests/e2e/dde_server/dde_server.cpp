// A DDE server in a process of its own, for the tests of the runtime's DDE client.
//
//   dde_server SERVICE TOPIC [ITEM=VALUE]...
//
// Serves the items of one topic in the text format (a value may hold \r and \n escapes): connects,
// requests, advise loops (hot or warm, with or without acknowledgement) and their ends. It speaks the
// DDE messages itself, as a server written against the protocol does: each request is answered with
// the data or with a negative acknowledgement, never both. Once it listens it writes "HWND\n" (its
// window, in decimal) to its standard output; the test drives it through that window:
//   WM_COPYDATA "ITEM=VALUE"   sets the item (raw bytes) and sends the new data to its advise loops;
//   kCountMessage + Counter    answers how many connects, advise starts or requests came;
//   WM_CLOSE                   ends its conversations and the process.
#include <windows.h>

#include <dde.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "dde_server_protocol.h"

namespace {

std::wstring service, topic;
std::map<std::wstring, std::string> values;
long counts[kCounterCount] = {};
HWND serverWindow = nullptr;

struct Advise {
  HWND client;
  std::wstring item;
  bool ackRequested, deferred;
};
std::vector<HWND> clients;
std::vector<Advise> advises;

std::wstring atomText(ATOM atom) {
  wchar_t text[256] = {};
  GlobalGetAtomNameW(atom, text, 256);
  return text;
}

std::string unescaped(const std::wstring& text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size()) {
      const wchar_t next = text[++i];
      bytes.push_back(next == L'r' ? '\r' : next == L'n' ? '\n' : char(next));
    } else {
      bytes.push_back(char(text[i]));
    }
  }
  return bytes;
}

void acknowledge(HWND client, bool positive, ATOM item) {
  PostMessageW(client, WM_DDE_ACK, WPARAM(serverWindow),
               PackDDElParam(WM_DDE_ACK, positive ? 0x8000 : 0, item));
}

// Posts the item's value as WM_DDE_DATA (a null handle for a warm loop); the client owns what it gets.
void postData(HWND client, const std::wstring& item, bool response, bool ackRequested, bool deferred) {
  const std::string& bytes = values[item];
  HGLOBAL data = nullptr;
  if (!deferred) {
    data = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, sizeof(DDEDATA) + bytes.size() + 1);
    auto* block = static_cast<DDEDATA*>(GlobalLock(data));
    block->fResponse = response;
    block->fRelease = TRUE;
    block->fAckReq = ackRequested;
    block->cfFormat = CF_TEXT;
    std::memcpy(block->Value, bytes.c_str(), bytes.size() + 1);
    GlobalUnlock(data);
  }
  PostMessageW(client, WM_DDE_DATA, WPARAM(serverWindow),
               PackDDElParam(WM_DDE_DATA, UINT_PTR(data), GlobalAddAtomW(item.c_str())));
}

void endConversation(HWND client) {
  std::erase(clients, client);
  std::erase_if(advises, [&](const Advise& a) { return a.client == client; });
}

LRESULT CALLBACK windowProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
  const HWND client = HWND(wParam);
  switch (msg) {
  case WM_DDE_INITIATE: {
    const ATOM app = LOWORD(lParam), asked = HIWORD(lParam);
    if ((app && atomText(app) != service) || (asked && atomText(asked) != topic)) return 0;
    ++counts[Connects];
    clients.push_back(client);
    SendMessageW(client, WM_DDE_ACK, WPARAM(window),
                 MAKELPARAM(GlobalAddAtomW(service.c_str()), GlobalAddAtomW(topic.c_str())));
    return 0;
  }
  case WM_DDE_REQUEST: {
    ++counts[Requests];
    const ATOM item = HIWORD(lParam);
    if (LOWORD(lParam) == CF_TEXT && values.count(atomText(item))) {
      postData(client, atomText(item), true, false, false);
      GlobalDeleteAtom(item);
    } else {
      acknowledge(client, false, item);
    }
    return 0;
  }
  case WM_DDE_ADVISE: {
    UINT_PTR options = 0, item = 0;
    UnpackDDElParam(msg, lParam, &options, &item);
    FreeDDElParam(msg, lParam);
    const auto* advise = static_cast<const DDEADVISE*>(GlobalLock(HGLOBAL(options)));
    const bool taken = advise && advise->cfFormat == CF_TEXT && values.count(atomText(ATOM(item)));
    if (taken) {
      ++counts[AdviseStarts];
      advises.push_back({client, atomText(ATOM(item)), bool(advise->fAckReq), bool(advise->fDeferUpd)});
    }
    if (advise) GlobalUnlock(HGLOBAL(options));
    if (taken) GlobalFree(HGLOBAL(options)); // a refused advise leaves the options to the client
    acknowledge(client, taken, ATOM(item));
    return 0;
  }
  case WM_DDE_UNADVISE: {
    const ATOM item = HIWORD(lParam);
    const std::wstring name = item ? atomText(item) : std::wstring();
    std::erase_if(advises, [&](const Advise& a) { return a.client == client && (!item || a.item == name); });
    acknowledge(client, true, item);
    return 0;
  }
  case WM_DDE_ACK: { // the client's answer to advise data
    UINT_PTR status = 0, item = 0;
    UnpackDDElParam(msg, lParam, &status, &item);
    FreeDDElParam(msg, lParam);
    if (item) GlobalDeleteAtom(ATOM(item));
    return 0;
  }
  case WM_DDE_TERMINATE:
    PostMessageW(client, WM_DDE_TERMINATE, WPARAM(window), 0);
    endConversation(client);
    return 0;
  case WM_COPYDATA: {
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    const std::string text(static_cast<const char*>(data->lpData), data->cbData);
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return FALSE;
    const std::wstring item(text.begin(), text.begin() + equals);
    values[item] = text.substr(equals + 1);
    for (const Advise& a : advises)
      if (a.item == item) postData(a.client, item, false, a.ackRequested, a.deferred);
    return TRUE;
  }
  case WM_CLOSE:
    for (HWND c : clients)
      PostMessageW(c, WM_DDE_TERMINATE, WPARAM(window), 0);
    clients.clear();
    advises.clear();
    DestroyWindow(window);
    return 0;
  case WM_DESTROY:
    PostQuitMessage(0);
    return 0;
  default:
    if (msg >= kCountMessage && msg < kCountMessage + kCounterCount) return counts[msg - kCountMessage];
    return DefWindowProcW(window, msg, wParam, lParam);
  }
}

} // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 3) return 2;
  service = argv[1];
  topic = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::wstring pair = argv[i];
    const size_t equals = pair.find(L'=');
    if (equals != std::wstring::npos) values[pair.substr(0, equals)] = unescaped(pair.substr(equals + 1));
  }

  // A hidden top-level window: the connect request is broadcast to the top-level windows.
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = windowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"CwbkTestDdeServer";
  RegisterClassW(&windowClass);
  serverWindow = CreateWindowW(windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               windowClass.hInstance, nullptr);
  if (!serverWindow) return 3;
  std::printf("%llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(serverWindow)));
  std::fflush(stdout);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    DispatchMessageW(&msg);
  return 0;
}
