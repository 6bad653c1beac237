#include "excel_double/command_bars.h"

#include <algorithm>

#include "excel/excel_members.h"
#include "excel_double/excel_double.h"

namespace cwbk::testing {

namespace ctl = dispid::commandBarControl;
namespace bars = dispid::commandBars;
namespace ctls = dispid::commandBarControls;

namespace {

constexpr int32_t kPopup = 10;

// A bar's Controls: a new view per access, holding a reference to its bar.
class ControlsObject : public DoubleObjectOf<ControlsObject> {
public:
  explicit ControlsObject(CommandBarObject& bar) : DoubleObjectOf(bar.excel()), bar_(bar) { bar_.AddRef(); }
  ~ControlsObject() override { bar_.Release(); }
  std::string label() const override { return "CommandBarControls " + narrow(bar_.name); }
  static const std::vector<Member<ControlsObject>>& members() {
    static const std::vector<Member<ControlsObject>> table = {
        {ctls::Item, "Item",
         [](ControlsObject& self, DispatchCall& call) -> HRESULT {
           const int32_t index = call.intArg(0);
           const auto& controls = self.bar_.controls();
           if (index < 1 || size_t(index) > controls.size()) return call.raise(E_INVALIDARG, u"Invalid index.");
           controls[size_t(index - 1)]->AddRef();
           return call.answerObject(controls[size_t(index - 1)]);
         }},
        {ctls::Count, "Count",
         [](ControlsObject& self, DispatchCall& call) {
           return call.answer(Variant::integer(int32_t(self.bar_.controls().size())));
         }},
        // Add(Type, Id, Parameter, Before, Temporary)
        {ctls::Add, "Add",
         [](ControlsObject& self, DispatchCall& call) {
           ControlObject& added = self.bar_.add(call.intArg(0, 1), call.intArg(1, 1), call.intArg(3, 0),
                                                call.boolArg(4, false));
           added.AddRef();
           return call.answerObject(&added);
         }},
    };
    return table;
  }

private:
  CommandBarObject& bar_;
};

HRESULT answerControls(CommandBarObject* bar, DispatchCall& call) {
  if (!bar) return call.raise(E_FAIL, u"The control has no command bar.");
  return call.answerObject(new ControlsObject(*bar));
}

template <std::u16string ControlObject::*field> HRESULT textProperty(ControlObject& self, DispatchCall& call) {
  if (call.isPut()) {
    self.*field = Variant(*call.value).toText();
    return S_OK;
  }
  return call.answer(Variant::text(self.*field));
}

template <bool ControlObject::*field> HRESULT booleanProperty(ControlObject& self, DispatchCall& call) {
  if (call.isPut()) {
    self.*field = Variant(*call.value).toBoolean();
    return S_OK;
  }
  return call.answer(Variant::boolean(self.*field));
}

} // namespace

// --- ControlObject

ControlObject::ControlObject(ExcelDouble& excel, CommandBarObject& parent, int32_t type, int32_t id,
                             bool temporary)
    : DoubleObjectOf(excel), type(type), id(id), temporary(temporary), parent_(&parent) {
  if (type == kPopup) bar_ = new CommandBarObject(excel, u"popup");
}

ControlObject::~ControlObject() {
  for (auto& [cookie, sink] : sinks_)
    sink->Release();
  if (bar_) bar_->Release();
}

HRESULT STDMETHODCALLTYPE ControlObject::QueryInterface(REFIID iid, void** object) {
  if (object && iid == IID_IConnectionPointContainer && type != kPopup) {
    *object = static_cast<IConnectionPointContainer*>(&events_);
    AddRef();
    return S_OK;
  }
  return DoubleObjectOf::QueryInterface(iid, object);
}

bool ControlObject::click() {
  VARIANT_BOOL cancel = VARIANT_FALSE;
  const auto sinks = sinks_; // a handler may disconnect
  for (auto& [cookie, sink] : sinks) {
    VARIANT args[2]; // in reverse: the cancel flag by reference, then the button
    VariantInit(&args[0]);
    args[0].vt = VT_BOOL | VT_BYREF;
    args[0].pboolVal = &cancel;
    VariantInit(&args[1]);
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = this; // the caller's reference: the handler adds its own where it keeps one
    DISPPARAMS params{args, nullptr, 2, 0};
    sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
  return cancel == VARIANT_TRUE;
}

HRESULT STDMETHODCALLTYPE ControlObject::EventSource::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IConnectionPointContainer) {
    *object = static_cast<IConnectionPointContainer*>(this);
  } else if (iid == IID_IConnectionPoint) {
    *object = static_cast<IConnectionPoint*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::EventSource::FindConnectionPoint(REFIID iid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (iid != kButtonEventsIid) return CONNECT_E_NOCONNECTION;
  *point = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::EventSource::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = kButtonEventsIid;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE
ControlObject::EventSource::GetConnectionPointContainer(IConnectionPointContainer** container) {
  if (!container) return E_POINTER;
  *container = this;
  AddRef();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::EventSource::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  void* events = nullptr;
  if (FAILED(sink->QueryInterface(kButtonEventsIid, &events)) || !events) return CONNECT_E_CANNOTCONNECT;
  static_cast<IUnknown*>(events)->Release();
  IDispatch* dispatch = nullptr;
  if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) || !dispatch)
    return CONNECT_E_CANNOTCONNECT;
  *cookie = owner_.nextCookie_++;
  owner_.sinks_.emplace_back(*cookie, dispatch);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ControlObject::EventSource::Unadvise(DWORD cookie) {
  auto& sinks = owner_.sinks_;
  auto it = std::find_if(sinks.begin(), sinks.end(), [&](const auto& s) { return s.first == cookie; });
  if (it == sinks.end()) return CONNECT_E_NOCONNECTION;
  IDispatch* sink = it->second;
  sinks.erase(it);
  sink->Release();
  return S_OK;
}

const std::vector<Member<ControlObject>>& ControlObject::members() {
  static const std::vector<Member<ControlObject>> table = {
      {ctl::Caption, "Caption", textProperty<&ControlObject::caption>},
      {ctl::Tag, "Tag", textProperty<&ControlObject::tag>},
      {ctl::OnAction, "OnAction", textProperty<&ControlObject::onAction>},
      {ctl::Enabled, "Enabled", booleanProperty<&ControlObject::enabled>},
      {ctl::Visible, "Visible", booleanProperty<&ControlObject::visible>},
      {ctl::Index, "Index",
       [](ControlObject& self, DispatchCall& call) -> HRESULT {
         const auto& siblings = self.parent_->controls();
         auto it = std::find(siblings.begin(), siblings.end(), &self);
         if (it == siblings.end()) return call.raise(E_FAIL, u"The control was deleted.");
         return call.answer(Variant::integer(int32_t(it - siblings.begin()) + 1));
       }},
      {ctl::Delete, "Delete",
       [](ControlObject& self, DispatchCall&) -> HRESULT {
         self.parent_->remove(self);
         return S_OK;
       }},
      {ctl::CommandBar, "CommandBar",
       [](ControlObject& self, DispatchCall& call) -> HRESULT {
         if (!self.bar_) return call.raise(E_FAIL, u"The control has no command bar.");
         self.bar_->AddRef();
         return call.answerObject(self.bar_);
       }},
      {ctl::Controls, "Controls",
       [](ControlObject& self, DispatchCall& call) { return answerControls(self.bar_, call); }},
  };
  return table;
}

// --- CommandBarObject

CommandBarObject::~CommandBarObject() {
  for (ControlObject* c : controls_)
    c->Release();
}

ControlObject& CommandBarObject::add(int32_t type, int32_t id, int32_t before, bool temporary) {
  auto* control = new ControlObject(excel(), *this, type, id, temporary);
  const size_t at = before >= 1 && size_t(before) <= controls_.size() ? size_t(before - 1) : controls_.size();
  controls_.insert(controls_.begin() + std::ptrdiff_t(at), control);
  return *control;
}

void CommandBarObject::remove(ControlObject& control) {
  auto it = std::find(controls_.begin(), controls_.end(), &control);
  if (it == controls_.end()) return;
  controls_.erase(it);
  control.deleted = true;
  control.Release();
}

ControlObject* CommandBarObject::find(int32_t type, int32_t id, std::u16string_view tag, bool recursive) const {
  for (ControlObject* c : controls_) {
    if ((type == 0 || c->type == type) && (id == 0 || c->id == id) && (tag.empty() || c->tag == tag)) return c;
    if (recursive && c->bar())
      if (ControlObject* inner = c->bar()->find(type, id, tag, true)) return inner;
  }
  return nullptr;
}

const std::vector<Member<CommandBarObject>>& CommandBarObject::members() {
  static const std::vector<Member<CommandBarObject>> table = {
      {dispid::commandBar::Controls, "Controls",
       [](CommandBarObject& self, DispatchCall& call) { return answerControls(&self, call); }},
      // FindControl(Type, Id, Tag, Visible, Recursive): Nothing when no control matches.
      {dispid::commandBar::FindControl, "FindControl",
       [](CommandBarObject& self, DispatchCall& call) -> HRESULT {
         ControlObject* found = self.find(call.intArg(0, 0), call.intArg(1, 0), call.textArg(2), call.boolArg(4));
         if (found) found->AddRef();
         return call.answerObject(found);
       }},
  };
  return table;
}

// --- CommandBarsObject

CommandBarsObject::CommandBarsObject(ExcelDouble& excel) : DoubleObjectOf(excel) {
  auto* menuBar = new CommandBarObject(excel, u"Worksheet Menu Bar");
  bars_.push_back(menuBar);
  struct BuiltIn {
    int32_t id;
    const char16_t* caption;
  };
  for (BuiltIn b : {BuiltIn{30002, u"&File"}, {30003, u"&Edit"}, {30007, u"&Tools"}, {30010, u"&Help"}}) {
    ControlObject& popup = menuBar->add(kPopup, b.id);
    popup.caption = b.caption;
  }
  // The File menu's commands; the 18th is the one the runtime watches.
  CommandBarObject& file = *menuBar->find(kPopup, 30002, u"", false)->bar();
  for (int32_t i = 1; i <= 20; ++i)
    file.add(1, 100 + i).caption = u"File command " + std::u16string(1, char16_t(u'A' + i - 1));
}

CommandBarsObject::~CommandBarsObject() {
  for (CommandBarObject* b : bars_)
    b->Release();
}

CommandBarObject* CommandBarsObject::find(std::u16string_view name) const {
  for (CommandBarObject* b : bars_)
    if (b->name == name) return b;
  return nullptr;
}

const std::vector<Member<CommandBarsObject>>& CommandBarsObject::members() {
  static const std::vector<Member<CommandBarsObject>> table = {
      {bars::Item, "Item",
       [](CommandBarsObject& self, DispatchCall& call) -> HRESULT {
         CommandBarObject* bar = self.find(call.textArg(0));
         if (!bar) return call.raise(E_INVALIDARG, u"Invalid procedure call or argument");
         bar->AddRef();
         return call.answerObject(bar);
       }},
      {bars::Count, "Count",
       [](CommandBarsObject& self, DispatchCall& call) {
         return call.answer(Variant::integer(int32_t(self.bars_.size())));
       }},
      {bars::Add, "Add",
       [](CommandBarsObject& self, DispatchCall& call) {
         auto* bar = new CommandBarObject(self.excel(), call.textArg(0));
         self.bars_.push_back(bar);
         bar->AddRef();
         return call.answerObject(bar);
       }},
  };
  return table;
}

} // namespace cwbk::testing
