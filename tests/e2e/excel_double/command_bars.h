// The double's command bars: the CommandBars collection with the classic "Worksheet Menu Bar" and its
// built-in popups (File 30002 with its 20 commands, Tools 30007, Help 30010), bars, their controls, and
// the click events of buttons (a connection point per button that tests fire with click()).
#pragma once

#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "excel_double/double_object.h"

namespace cwbk::testing {

class CommandBarObject;

// The Office button event interface that click sinks answer.
inline constexpr IID kButtonEventsIid = {0x000C0351, 0x0000, 0x0000, {0xC0, 0x00, 0, 0, 0, 0, 0, 0x46}};

class ControlObject : public DoubleObjectOf<ControlObject> {
public:
  ControlObject(ExcelDouble& excel, CommandBarObject& parent, int32_t type, int32_t id, bool temporary);
  ~ControlObject() override;
  std::string label() const override { return "CommandBarControl " + narrow(caption); }
  static const std::vector<Member<ControlObject>>& members();
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;

  // The user clicks the control: every connected sink gets Click(button, cancel). Returns the cancel
  // flag as the sinks left it.
  bool click();
  size_t sinkCount() const { return sinks_.size(); }
  // The popup's own bar (null for a button).
  CommandBarObject* bar() const { return bar_; }
  CommandBarObject* parent() const { return parent_; }

  int32_t type;
  int32_t id;
  bool temporary;
  std::u16string caption, tag, onAction;
  bool enabled = true;
  bool visible = true;
  bool deleted = false;

private:
  // The button's event source: one container with one connection point, for the button event
  // interface only; it lives inside the control and counts its references on the control.
  class EventSource : public IConnectionPointContainer, public IConnectionPoint {
  public:
    explicit EventSource(ControlObject& owner) : owner_(owner) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** point) override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

  private:
    ControlObject& owner_;
  };

  CommandBarObject* parent_;          // not counted: the parent bar owns the control
  CommandBarObject* bar_ = nullptr;   // a popup's bar, one reference
  std::vector<std::pair<DWORD, IDispatch*>> sinks_; // one reference each
  DWORD nextCookie_ = 1;
  EventSource events_{*this};
};

class CommandBarObject : public DoubleObjectOf<CommandBarObject> {
public:
  CommandBarObject(ExcelDouble& excel, std::u16string name) : DoubleObjectOf(excel), name(std::move(name)) {}
  ~CommandBarObject() override;
  std::string label() const override { return "CommandBar " + narrow(name); }
  static const std::vector<Member<CommandBarObject>>& members();

  // Adds a control before 1-based position `before` (at the end when 0 or beyond); the bar keeps
  // the reference.
  ControlObject& add(int32_t type, int32_t id, int32_t before = 0, bool temporary = false);
  void remove(ControlObject& control);
  // The first control that matches (type 0, id 0 and an empty tag match any), searching popups' bars
  // too when recursive; null when none.
  ControlObject* find(int32_t type, int32_t id, std::u16string_view tag, bool recursive) const;
  const std::vector<ControlObject*>& controls() const { return controls_; }

  std::u16string name;

private:
  std::vector<ControlObject*> controls_;
};

class CommandBarsObject : public DoubleObjectOf<CommandBarsObject> {
public:
  // Builds the classic menu bar with its built-in popups.
  explicit CommandBarsObject(ExcelDouble& excel);
  ~CommandBarsObject() override;
  std::string label() const override { return "CommandBars"; }
  static const std::vector<Member<CommandBarsObject>>& members();

  CommandBarObject* find(std::u16string_view name) const;
  CommandBarObject& menuBar() const { return *find(u"Worksheet Menu Bar"); }

private:
  std::vector<CommandBarObject*> bars_;
};

} // namespace cwbk::testing
