// Helpers for tests that build and inspect messages.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "LumarixSocketStr.h"

namespace lumarix::testing {

using Parts = std::vector<std::pair<std::string, std::string>>;

inline TMessagePart* MakeMsg(const Parts& parts) {
  TMessagePart* head = nullptr;
  for (const auto& [name, value] : parts) AddPart(head, name, value);
  return head;
}

// The parts of a list, in order; the list is freed.
inline Parts TakeParts(TMessagePart* head) {
  Parts parts;
  for (const TMessagePart* part = head; part; part = part->next) parts.emplace_back(part->name, part->value);
  FreeMsg(head);
  return parts;
}

// The value of the first part named `name`, or the empty string.
inline std::string GetPartOf(const Parts& parts, const std::string& name) {
  for (const auto& [partName, value] : parts) {
    if (partName == name) return value;
  }
  return {};
}

inline std::string Bytes(std::initializer_list<int> values) {
  std::string bytes;
  for (int value : values) bytes.push_back(static_cast<char>(value));
  return bytes;
}

inline std::string Gather(const Parts& parts) {
  TMessagePart* head = MakeMsg(parts);
  std::string text = GatherMsg(head);
  FreeMsg(head);
  return text;
}

}  // namespace lumarix::testing
