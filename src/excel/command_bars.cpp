#include "excel/command_bars.h"

namespace cwbk {

namespace {

// The control an answer holds, or an empty wrapper for Nothing.
CommandBarControlWrapper controlOf(const Variant& answer) {
  IDispatch* object = answer.toDispatch();
  return object ? CommandBarControlWrapper(object, DispatchWrapper::adopt) : CommandBarControlWrapper();
}

} // namespace

CommandBarControlWrapper CommandBarControlsWrapper::item(int32_t position) {
  return adoptAs<CommandBarControlWrapper>(
      invokeObject(dispid::commandBarControls::Item, {Variant::integer(position)}));
}

CommandBarControlWrapper CommandBarControlsWrapper::add(int32_t type, const Variant& before) {
  return adoptAs<CommandBarControlWrapper>(objectResult(
      call(dispid::commandBarControls::Add,
           {Variant::integer(type), Variant::missing(), Variant::missing(), before, Variant::boolean(true)})));
}

CommandBarWrapper CommandBarControlWrapper::commandBar() {
  return adoptAs<CommandBarWrapper>(getObject(dispid::commandBarControl::CommandBar));
}

CommandBarControlWrapper CommandBarWrapper::findById(int32_t id) {
  return controlOf(call(dispid::commandBar::FindControl, {Variant::missing(), Variant::integer(id)}));
}

CommandBarControlWrapper CommandBarWrapper::findByTag(std::u16string_view tag) {
  return controlOf(
      call(dispid::commandBar::FindControl, {Variant::missing(), Variant::missing(), Variant::text(tag)}));
}

CommandBarWrapper CommandBarsWrapper::bar(std::u16string_view name) {
  return adoptAs<CommandBarWrapper>(invokeObject(dispid::commandBars::Item, {Variant::text(name)}));
}

} // namespace cwbk
