#include "runtime/win32/dialog_template.h"

#include <cstring>

namespace cwbk {

namespace {

template <class T> void append(std::vector<WORD>& words, const T& value) {
  const size_t at = words.size();
  words.resize(at + sizeof(T) / sizeof(WORD));
  std::memcpy(words.data() + at, &value, sizeof(T));
}

} // namespace

DialogTemplate::DialogTemplate(short cx, short cy, std::u16string_view title, WORD pointSize,
                               std::u16string_view face) {
  DLGTEMPLATE header{};
  header.style = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  header.cx = cx;
  header.cy = cy;
  append(words_, header);
  words_.push_back(0); // no menu
  words_.push_back(0); // the standard dialog class
  text(title);
  words_.push_back(pointSize);
  text(face);
}

void DialogTemplate::add(WORD windowClass, DWORD style, short x, short y, short cx, short cy, WORD id,
                         std::u16string_view caption) {
  alignToDword();
  DLGITEMTEMPLATE item{};
  item.style = style | WS_CHILD | WS_VISIBLE;
  item.x = x;
  item.y = y;
  item.cx = cx;
  item.cy = cy;
  item.id = id;
  append(words_, item);
  words_.push_back(0xFFFF);
  words_.push_back(windowClass);
  text(caption);
  words_.push_back(0); // no creation data
  ++reinterpret_cast<DLGTEMPLATE*>(words_.data())->cdit;
}

void DialogTemplate::text(std::u16string_view t) {
  for (char16_t c : t)
    words_.push_back(WORD(c));
  words_.push_back(0);
}

void DialogTemplate::alignToDword() {
  if (words_.size() % 2) words_.push_back(0);
}

} // namespace cwbk
