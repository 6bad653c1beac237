// The application's menu in Excel's classic menu bar: a popup "Application" with the application's
// submenu, whose buttons start the data commands and the About box. A click is turned into a command
// message for the host window, so the command runs after the click has returned.
#pragma once

#include <array>
#include <stdexcept>
#include <string>

#include "excel/command_bars.h"

namespace cwbk {

struct RuntimeHost;
class ButtonClickSink;

// A failure that the runtime reports to the user: its text is shown as it is.
class Notice4User : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class MenuBuilder {
public:
  // The level-3 buttons, in the order they are added.
  enum Button { Export, Import, ExportCollected, About, ButtonCount };

  explicit MenuBuilder(RuntimeHost& host) : host_(host) {}
  ~MenuBuilder();
  MenuBuilder(const MenuBuilder&) = delete;
  MenuBuilder& operator=(const MenuBuilder&) = delete;

  // Builds the menu once Excel is attached: a menu left by an earlier start (found by its tags) is
  // reused, what is missing is added; every button gets its click sink. A COM error stops the build at
  // the step that failed (what was made stays).
  void build();
  // Disconnects the click sinks and lets go of every control (the controls are temporary: Excel drops
  // them when it quits).
  void release();
  // Lets go of every control and sink without a call: while the process ends, Excel's objects may be
  // gone already (the sinks are left to the process's end).
  void forget();
  // A click: posts the button's command to the host window; returns whether Excel's own action is
  // cancelled. Never throws: failures are shown to the user.
  bool onButtonClick(CommandBarControlWrapper button);
  // The menu-state test of the data commands: the File menu's 18th control is enabled.
  bool commandsAvailable();
  // A change from the user entered the model: the export button becomes available (once), and the
  // data counts as not exported since.
  void enableExport();

  // The submenu's caption for an application name.
  static std::u16string submenuCaption(std::u16string_view appName);
  bool hasButton(Button b) const { return !buttons_[b].isEmpty(); }

private:
  void connect(Button b);

  RuntimeHost& host_;
  CommandBarsWrapper commandBars_;
  CommandBarWrapper menuBar_;
  CommandBarControlWrapper mainItem_, submenu_, fileMenu_;
  std::array<CommandBarControlWrapper, ButtonCount> buttons_;
  std::array<ButtonClickSink*, ButtonCount> sinks_{};
  std::array<unsigned long, ButtonCount> cookies_{};
  bool exportEnabled_ = false;
};

} // namespace cwbk
