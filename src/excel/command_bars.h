// Wrappers of the Office command bars behind Excel's menus: the CommandBars collection, a bar, its
// controls, and one control (a popup or a button). Every call raises ComError on failure.
#pragma once

#include <string>
#include <string_view>

#include "excel/dispatch_wrapper.h"

namespace cwbk {

inline constexpr int32_t kControlButton = 1;
inline constexpr int32_t kControlPopup = 10;

class CommandBarWrapper;
class CommandBarControlWrapper;

class CommandBarControlsWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  int32_t count() {
    return invoke(dispid::commandBarControls::Count, DISPATCH_PROPERTYGET, {}).toInteger();
  }
  // The control at a 1-based position.
  CommandBarControlWrapper item(int32_t position);
  // Add(Type, Id, Parameter, Before, Temporary): a temporary control of `type`, at the end or before
  // the 1-based position `before` (missing when it is null).
  CommandBarControlWrapper add(int32_t type, const Variant& before = Variant::missing());
};

class CommandBarControlWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  void putCaption(std::u16string_view text) { putText(dispid::commandBarControl::Caption, text); }
  std::u16string tag() { return getText(dispid::commandBarControl::Tag); }
  void putTag(std::u16string_view text) { putText(dispid::commandBarControl::Tag, text); }
  bool enabled() { return getBoolean(dispid::commandBarControl::Enabled); }
  void putEnabled(bool on) { putBoolean(dispid::commandBarControl::Enabled, on); }
  void putOnAction(std::u16string_view text) { putText(dispid::commandBarControl::OnAction, text); }
  int32_t index() { return getInteger(dispid::commandBarControl::Index); }
  // A popup's own bar and its controls.
  CommandBarWrapper commandBar();
  CommandBarControlsWrapper controls() {
    return adoptAs<CommandBarControlsWrapper>(getObject(dispid::commandBarControl::Controls));
  }
};

class CommandBarWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  CommandBarControlsWrapper controls() {
    return adoptAs<CommandBarControlsWrapper>(getObject(dispid::commandBar::Controls));
  }
  // FindControl by built-in id (type missing) or by tag (id missing); an empty wrapper when no
  // control matches.
  CommandBarControlWrapper findById(int32_t id);
  CommandBarControlWrapper findByTag(std::u16string_view tag);
};

class CommandBarsWrapper : public DispatchWrapper {
public:
  using DispatchWrapper::DispatchWrapper;
  // The bar by name ("Worksheet Menu Bar").
  CommandBarWrapper bar(std::u16string_view name);
};

} // namespace cwbk
