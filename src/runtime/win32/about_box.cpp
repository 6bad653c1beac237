#include "runtime/win32/about_box.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <vector>

#include "runtime/encoded_strings.h"
#include "runtime/win32/dialog_template.h"
#include "runtime/win32/runtime_host.h"

namespace cwbk {

namespace {

constexpr int kMargin = 11;
constexpr int kFrameInset = 5;
constexpr int kButtonWidth = 65, kButtonHeight = 23;
// Lines wider than this wrap: a long name or legal notice is shown whole, on several lines.
constexpr int kMaxLineWidth = 480;

struct Line {
  std::u16string text;
  HFONT font;
  int gapBefore = 0, gapAfter = 0;
};

struct AboutState {
  RuntimeHost* host = nullptr;
  HFONT titleFont = nullptr, largeFont = nullptr, normalFont = nullptr, smallFont = nullptr;
  std::vector<Line> lines;

  ~AboutState() {
    for (HFONT f : {titleFont, largeFont, normalFont, smallFont})
      if (f) DeleteObject(f);
  }
};

HFONT makeFont(int height, int weight) {
  return CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                     CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, FF_SWISS | DEFAULT_PITCH, L"Arial");
}

const wchar_t* wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

void appendDecimal(std::u16string& text, uint32_t n) {
  char digits[4];
  const auto end = std::to_chars(digits, digits + sizeof digits, n & 0xFF).ptr;
  text.append(digits, end);
}

// The extent of a text in a font: one line as it is, or wrapped to `width` (a width of 0 measures the
// text unwrapped).
SIZE measure(HDC dc, const Line& line, int width) {
  HGDIOBJ before = SelectObject(dc, line.font);
  RECT r{0, 0, width > 0 ? width : kMaxLineWidth * 4, 0};
  const UINT flags = DT_CALCRECT | DT_NOPREFIX | DT_CENTER | (width > 0 ? DT_WORDBREAK : DT_SINGLELINE);
  DrawTextW(dc, wide(line.text), int(line.text.size()), &r, flags);
  SelectObject(dc, before);
  if (width <= 0 && line.text.find(u'\n') != std::u16string::npos) {
    // Measured again over its lines: the widest one counts.
    RECT all{0, 0, kMaxLineWidth * 4, 0};
    before = SelectObject(dc, line.font);
    DrawTextW(dc, wide(line.text), int(line.text.size()), &all, DT_CALCRECT | DT_NOPREFIX);
    SelectObject(dc, before);
    return {all.right - all.left, all.bottom - all.top};
  }
  return {r.right - r.left, r.bottom - r.top};
}

// Places the lines, the frame around them and the OK button, sizes the window to hold them and
// centres it over its owner (or the work area).
void layOut(HWND dialog, AboutState& state) {
  RECT client;
  GetClientRect(dialog, &client);
  HDC dc = GetDC(dialog);
  int width = client.right - client.left - kMargin;
  for (const Line& line : state.lines)
    width = std::max(width, std::min<int>(measure(dc, line, 0).cx, kMaxLineWidth));
  int top = client.top + kMargin;
  for (const Line& line : state.lines) {
    if (line.text.empty()) continue;
    top += line.gapBefore;
    const int height = measure(dc, line, width).cy;
    HWND item = CreateWindowExW(0, L"STATIC", wide(line.text), WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_CENTER | SS_NOPREFIX,
                                kFrameInset + kMargin / 2, top, width, height, dialog, nullptr, nullptr, nullptr);
    SendMessageW(item, WM_SETFONT, WPARAM(line.font), FALSE);
    top += height + line.gapAfter;
  }
  ReleaseDC(dialog, dc);

  const int frameWidth = width + kMargin, frameHeight = top - (client.top + kMargin) + kMargin;
  // The frame lies under the lines and does not paint over them.
  HWND frame = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SS_SUNKEN, kFrameInset,
                               client.top + kFrameInset, frameWidth, frameHeight, dialog, nullptr, nullptr,
                               nullptr);
  SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  const int buttonTop = client.top + kFrameInset + frameHeight + kFrameInset;
  const std::u16string ok = encodedString(EncodedString::AboutOkCaption);
  HWND button = CreateWindowExW(0, L"BUTTON", wide(ok), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON | BS_FLAT,
                                kFrameInset + (frameWidth - kButtonWidth) / 2, buttonTop, kButtonWidth,
                                kButtonHeight, dialog, HMENU(IDOK), nullptr, nullptr);
  SendMessageW(button, WM_SETFONT, WPARAM(state.normalFont), FALSE);
  SetFocus(button);

  // The window holds the frame and the button with the same margins.
  RECT wanted{0, 0, frameWidth + 2 * kFrameInset, buttonTop + kButtonHeight + kFrameInset};
  AdjustWindowRectEx(&wanted, DWORD(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                     DWORD(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
  const int w = wanted.right - wanted.left, h = wanted.bottom - wanted.top;
  RECT area;
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT over = area;
  HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &over);
  int x = over.left + ((over.right - over.left) - w) / 2, y = over.top + ((over.bottom - over.top) - h) / 2;
  x = std::max<int>(area.left, std::min<int>(x, area.right - w));
  y = std::max<int>(area.top, std::min<int>(y, area.bottom - h));
  SetWindowPos(dialog, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
}

void initialize(HWND dialog, AboutState& state) {
  RuntimeHost& host = *state.host;
  if (host.appIcon) {
    SendMessageW(dialog, WM_SETICON, ICON_BIG, LPARAM(host.appIcon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, LPARAM(host.appIcon));
  }
  state.titleFont = makeFont(-14, 600);
  state.largeFont = makeFont(-12, 500);
  state.normalFont = makeFont(-11, 400);
  state.smallFont = makeFont(-10, 300);
  SendMessageW(dialog, WM_SETFONT, WPARAM(state.largeFont), FALSE);

  const std::u16string& name = host.settings.AppName;
  state.lines.push_back({name, state.titleFont});
  state.lines.push_back({aboutVersionLine(host.settings.appVersion), state.largeFont});
  if (!host.settings.legalNotice.empty()) {
    state.lines.push_back({u"Application legal copyright:", state.largeFont, 3, 0});
    state.lines.push_back({host.settings.legalNotice, state.largeFont, 0, kMargin});
  }
  state.lines.push_back({encodedString(EncodedString::AboutProductLine), state.normalFont});
  layOut(dialog, state);
  if (!name.empty()) {
    const std::u16string title = u"About " + name + u" Application";
    SetWindowTextW(dialog, wide(title));
  }
}

INT_PTR CALLBACK aboutProcedure(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
  case WM_INITDIALOG:
    initialize(dialog, *reinterpret_cast<AboutState*>(lParam));
    return FALSE; // the focus is on the OK button already
  case WM_COMMAND:
    if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
      EndDialog(dialog, LOWORD(wParam));
      return TRUE;
    }
    return FALSE;
  default:
    return FALSE;
  }
}

} // namespace

std::u16string aboutVersionLine(uint32_t version) {
  if (version == 0) return {};
  std::u16string line = u"Version: ";
  appendDecimal(line, version >> 24);
  line += u'.';
  appendDecimal(line, version >> 16);
  if ((version >> 8) & 0xFF) {
    line += u'.';
    appendDecimal(line, version >> 8);
  }
  return line;
}

void showAbout(RuntimeHost& host) {
  AboutState state;
  state.host = &host;
  // An empty modal dialog; the lines are made when it opens.
  const DialogTemplate frame(186, 95, u"About", 8, u"MS Sans Serif");
  DialogBoxIndirectParamW(host.moduleHandle, frame.get(), GetActiveWindow(), aboutProcedure,
                          reinterpret_cast<LPARAM>(&state));
}

} // namespace cwbk
