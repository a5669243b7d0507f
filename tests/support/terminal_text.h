// The text a terminal shows for what a program wrote to it. Wine's console draws at a terminal
// with cursor movements: a blank cell is "erase to the line end, one column right", a backspace
// "one column left, erase to the line end"; so its output is compared as the person sees it.
#pragma once

#include <string>
#include <string_view>

namespace lumarix::testing {

// Printable bytes, CR, LF, backspace, CSI n C (cursor right, over blanks) and CSI K (erase to
// the line end) are carried out line by line; every other escape sequence (cursor shown or
// hidden, window title, colours) and every other control byte (the bell) is removed. Lines end
// in "\n". An escape sequence cut off at the end is left out.
std::string VisibleText(std::string_view written);

}  // namespace lumarix::testing
