// Dialog templates made in memory (the runtime carries no resources): the dialog's frame, font and
// controls, for DialogBoxIndirectParamW.
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

namespace cwbk {

class DialogTemplate {
public:
  // A modal dialog of cx x cy dialog units with a caption and a system menu, in the named font.
  DialogTemplate(short cx, short cy, std::u16string_view title, WORD pointSize, std::u16string_view face);
  // Adds a control of a predefined class (0x0080 button, 0x0081 edit, 0x0082 static), visible, with
  // its own style bits.
  void add(WORD windowClass, DWORD style, short x, short y, short cx, short cy, WORD id, std::u16string_view text);
  // The template, valid while this object lives and is not changed.
  const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
  void text(std::u16string_view t);
  void alignToDword();
  std::vector<WORD> words_;
};

} // namespace cwbk
