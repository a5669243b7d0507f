// The print client's line reader: one line typed at the console, echoed as it is typed.
#pragma once

#include <string>

namespace lumarix {

// Reads one line with echo until Enter: Backspace takes back the last character (and erases it
// on the screen), characters 32..255 are appended, every other key is ignored. The line break
// is written before it returns; the line has no length limit.
void ReadConsoleLine(std::string& line);

}  // namespace lumarix
