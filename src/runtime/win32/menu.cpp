#include "runtime/win32/menu.h"

#include <windows.h>

#include <ocidl.h>

#include <atomic>
#include <initializer_list>

#include "excel/com_error.h"
#include "platform/utf8.h"
#include "runtime/encoded_strings.h"
#include "runtime/win32/host_effects.h"
#include "runtime/win32/runtime_host.h"
#include "runtime/win32/window_procs.h"

namespace cwbk {

namespace {

constexpr IID kButtonEventsIid = {0x000C0351, 0x0000, 0x0000, {0xC0, 0x00, 0, 0, 0, 0, 0, 0x46}};
constexpr int32_t kHelpMenuId = 30010, kToolsMenuId = 30007, kFileMenuId = 30002, kCustomControlId = 1;
constexpr int32_t kWatchedFileControl = 18;
constexpr char16_t kMenuBarName[] = u"Worksheet Menu Bar";
constexpr char16_t kMainCaption[] = u"Application";
constexpr char16_t kMainTag[] = u"Korvel_MainMenu_Item_Tag";
constexpr char16_t kSubmenuTag[] = u"Korvel_Package_Submenu";

struct ButtonRow {
  const char16_t* caption;
  const char16_t* tag;
  UINT command;      // the parameter of the command message a click posts
  bool dataExchange; // exists only when the settings allow data exchange
};
constexpr ButtonRow kButtons[] = {
    {u"Export Data", u"Korvel_Package_Save_Data_Button", 1168, true},
    {u"Import Data", u"Korvel_Package_Load_Data_Button", 1169, true},
    {u"Export Collected Data", u"Korvel_ExportCollected_Data_Button", 1174, true},
    {u"About", u"Korvel_About_Package_Button", 1170, false},
};

} // namespace

// Receives the Click event of one button and hands it to the menu. Answers IUnknown, IDispatch and
// the button event interface only.
class ButtonClickSink final : public IDispatch {
public:
  explicit ButtonClickSink(MenuBuilder& menu) : menu_(menu) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == kButtonEventsIid) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count) *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }

  // Click (DISPID 1) with the button and the cancel flag (arguments in reverse order); every other
  // event is ignored.
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (id != 1) return S_OK;
    if (!params || params->cArgs != 2 || !params->rgvarg) return E_INVALIDARG;
    VARIANT& button = params->rgvarg[1];
    VARIANT& cancel = params->rgvarg[0];
    // The button stays the caller's: the wrapper holds a reference of its own.
    CommandBarControlWrapper control;
    if (button.vt == VT_DISPATCH && button.pdispVal) control.attach(button.pdispVal);
    const bool cancelled = menu_.onButtonClick(std::move(control));
    // The flag is written only where it arrived as the by-reference Boolean it must be.
    if (cancelled && cancel.vt == (VT_BOOL | VT_BYREF) && cancel.pboolVal) *cancel.pboolVal = VARIANT_TRUE;
    return S_OK;
  }

private:
  MenuBuilder& menu_;
  std::atomic<ULONG> references_{1};
};

MenuBuilder::~MenuBuilder() {
  release();
}

std::u16string MenuBuilder::submenuCaption(std::u16string_view appName) {
  std::u16string caption = std::u16string(kMainCaption) + u" " + std::u16string(appName);
  if (caption.size() > 35) caption = caption.substr(0, 33) + u"...";
  return caption;
}

void MenuBuilder::build() {
  ApplicationWrapper& app = host_.application;
  if (app.isEmpty()) return;
  commandBars_ = adoptAs<CommandBarsWrapper>(app.commandBars());
  menuBar_ = commandBars_.bar(kMenuBarName);

  mainItem_ = menuBar_.findByTag(kMainTag);
  if (mainItem_.isEmpty()) {
    Variant before = Variant::integer(0);
    CommandBarControlWrapper help = menuBar_.findById(kHelpMenuId);
    if (!help.isEmpty()) {
      try {
        before = Variant::integer(help.index());
      } catch (const ComError&) {
        before = Variant::missing();
      }
    }
    mainItem_ = menuBar_.controls().add(kControlPopup, before);
    mainItem_.putCaption(kMainCaption);
    mainItem_.putTag(kMainTag);
  }

  // The Tools menu's custom control, when it has one, runs the runtime's macro.
  CommandBarControlWrapper tools = menuBar_.findById(kToolsMenuId);
  if (!tools.isEmpty()) {
    CommandBarControlWrapper custom = tools.commandBar().findById(kCustomControlId);
    if (!custom.isEmpty()) custom.putOnAction(u"!" + encodedString(EncodedString::ToolsMacro));
  }

  // A submenu and buttons left by an earlier start are found by their tags, so that nothing is made
  // twice and every button that stands gets a sink.
  CommandBarWrapper mainBar = mainItem_.commandBar();
  submenu_ = mainBar.findByTag(kSubmenuTag);
  if (submenu_.isEmpty()) {
    submenu_ = mainItem_.controls().add(kControlPopup);
    submenu_.putCaption(submenuCaption(host_.settings.AppName));
    submenu_.putTag(kSubmenuTag);
  }
  CommandBarWrapper submenuBar = submenu_.commandBar();
  const bool dataExchange = host_.settings.has(SettingsFlag::dataExchange);
  for (int b = 0; b < ButtonCount; ++b) {
    const ButtonRow& row = kButtons[b];
    if (row.dataExchange && !dataExchange) continue;
    buttons_[b] = submenuBar.findByTag(row.tag);
    if (buttons_[b].isEmpty()) {
      buttons_[b] = submenu_.controls().add(kControlButton);
      buttons_[b].putCaption(row.caption);
      buttons_[b].putTag(row.tag);
      if (b == Export) buttons_[b].putEnabled(false);
    }
  }
  for (int b = 0; b < ButtonCount; ++b)
    if (!buttons_[b].isEmpty()) connect(Button(b));
}

void MenuBuilder::connect(Button b) {
  if (sinks_[b]) return;
  IConnectionPointContainer* container = nullptr;
  if (FAILED(buttons_[b].get()->QueryInterface(IID_IConnectionPointContainer,
                                                reinterpret_cast<void**>(&container))) ||
      !container)
    throw ComError(E_NOINTERFACE);
  IConnectionPoint* point = nullptr;
  HRESULT hr = container->FindConnectionPoint(kButtonEventsIid, &point);
  container->Release();
  if (FAILED(hr) || !point) throw ComError(FAILED(hr) ? hr : E_FAIL);
  auto* sink = new ButtonClickSink(*this);
  DWORD cookie = 0;
  hr = point->Advise(sink, &cookie);
  point->Release();
  if (FAILED(hr)) {
    sink->Release();
    throw ComError(hr);
  }
  sinks_[b] = sink;
  cookies_[b] = cookie;
}

void MenuBuilder::release() {
  for (int b = 0; b < ButtonCount; ++b) {
    if (sinks_[b] && !buttons_[b].isEmpty()) {
      IConnectionPointContainer* container = nullptr;
      if (SUCCEEDED(buttons_[b].get()->QueryInterface(IID_IConnectionPointContainer,
                                                       reinterpret_cast<void**>(&container))) &&
          container) {
        IConnectionPoint* point = nullptr;
        if (SUCCEEDED(container->FindConnectionPoint(kButtonEventsIid, &point)) && point) {
          point->Unadvise(cookies_[b]);
          point->Release();
        }
        container->Release();
      }
    }
    if (sinks_[b]) sinks_[b]->Release();
    sinks_[b] = nullptr;
    buttons_[b] = CommandBarControlWrapper();
  }
  submenu_ = CommandBarControlWrapper();
  mainItem_ = CommandBarControlWrapper();
  fileMenu_ = CommandBarControlWrapper();
  menuBar_ = CommandBarWrapper();
  commandBars_ = CommandBarsWrapper();
}

void MenuBuilder::forget() {
  for (int b = 0; b < ButtonCount; ++b) {
    (void)buttons_[b].release();
    sinks_[b] = nullptr;
  }
  for (DispatchWrapper* w : std::initializer_list<DispatchWrapper*>{&submenu_, &mainItem_, &fileMenu_, &menuBar_,
                                                                     &commandBars_})
    (void)w->release();
}

bool MenuBuilder::onButtonClick(CommandBarControlWrapper button) {
  try {
    const std::u16string tag = button.tag();
    UINT command = 1170; // About, also for a tag the menu does not know
    for (const ButtonRow& row : kButtons)
      if (tag == row.tag) command = row.command;
    if (host_.mainWindow) PostMessageW(host_.mainWindow, message::Command, command, 0);
    return true;
  } catch (const Notice4User& notice) {
    showMessage(host_.mainWindow, utf8ToUtf16Replacing(notice.what()),
                encodedString(EncodedString::NoticeCaption), MB_OK | MB_ICONERROR);
  } catch (...) {
    showMessage(host_.mainWindow, u"The error occurred for unknow reason please close Excel and try again.",
                u"Korvel Calvix Compiler", MB_OK | MB_ICONERROR);
  }
  return false;
}

bool MenuBuilder::commandsAvailable() {
  try {
    if (menuBar_.isEmpty()) {
      if (commandBars_.isEmpty()) commandBars_ = adoptAs<CommandBarsWrapper>(host_.application.commandBars());
      menuBar_ = commandBars_.bar(kMenuBarName);
    }
    if (fileMenu_.isEmpty()) fileMenu_ = menuBar_.findById(kFileMenuId);
    if (fileMenu_.isEmpty()) return false;
    CommandBarControlsWrapper controls = fileMenu_.commandBar().controls();
    if (controls.count() < kWatchedFileControl) return false;
    return controls.item(kWatchedFileControl).enabled();
  } catch (const ComError&) {
    return false;
  }
}

void MenuBuilder::enableExport() {
  if (!exportEnabled_ && !buttons_[Export].isEmpty() && host_.settings.has(SettingsFlag::dataExchange)) {
    try {
      buttons_[Export].putEnabled(true);
      exportEnabled_ = true;
    } catch (const ComError&) {
      // Tried again at the next change.
    }
  }
  host_.lastExportSucceeded = false;
}

} // namespace cwbk
