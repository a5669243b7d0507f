// Messages: an ordered list of named parts, and the one wire text that carries it.
//
// Wire text: 00 "---" 00, then each part's escaped token ("name" or "name=value") and a 00,
// then "+++" 00. Bytes below 0x20 and 0x7F are written as 0x18 and the byte XOR 0x40, so no
// token holds a 0 byte.
#pragma once

#include <string>
#include <string_view>

#include "LumarixModules.h"

namespace lumarix {

struct TMessagePart {
  TMessagePart* next = nullptr;
  std::string name;
  std::string value;
};

// Links a new part holding copies of `name` and `value` at the tail of the list.
void AddPart(TMessagePart*& head, std::string_view name, std::string_view value);
// The value of the first part named exactly `name`, or the empty string.
std::string GetPart(const TMessagePart* head, std::string_view name);
// Releases every part and sets the head to nil.
void FreeMsg(TMessagePart*& head);

std::string GatherMsg(const TMessagePart* head);
// A new list with the parts of a wire text; nil when the text is malformed or has no parts.
TMessagePart* ParseMsg(std::string_view text);

extern const TModule LumarixSocketStrModule;

}  // namespace lumarix
