// The receive framing on arbitrary bytes cut into arbitrary chunks: the packets handed on, and
// how the stream ends (whole, a refused packet, a packet too long), are those of the same bytes
// read in one piece; nothing crashes, and what waits for its end stays under the bound.
//
// Input: byte 0 picks the bound (small, so that it is reached), byte 1 how many chunk lengths
// follow, then those lengths (1 to 256 each, used in turn), then the stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "LumarixSocketStr.h"
#include "socket/internal.h"

namespace {

using lumarix::socklib::CutPackets;
using lumarix::socklib::TFraming;

struct Reading {
  std::vector<std::string> packets;
  TFraming end = TFraming::kOk;
  std::string rest;
};

// Accepts what the library's own sink accepts: a packet that parses to at least one part.
bool Collect(void* context, std::string_view packet) {
  lumarix::TMessagePart* parts = lumarix::ParseMsg(packet);
  if (parts == nullptr) return false;
  lumarix::FreeMsg(parts);
  static_cast<Reading*>(context)->packets.emplace_back(packet);
  return true;
}

Reading ReadInChunks(std::string_view stream, std::size_t limit, const std::vector<std::size_t>& lengths) {
  Reading reading;
  std::size_t next = 0;
  while (!stream.empty() && reading.end == TFraming::kOk) {
    const std::size_t length = std::min(lengths[next++ % lengths.size()], stream.size());
    reading.end = CutPackets(reading.rest, stream.substr(0, length), limit, Collect, &reading);
    if (reading.end == TFraming::kOk && reading.rest.size() >= limit) std::abort();
    stream.remove_prefix(length);
  }
  return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t limit = 9 + static_cast<std::size_t>(data[0]) * 4;
  const std::size_t cuts = data[1];
  if (size < 2 + cuts) return 0;
  std::vector<std::size_t> lengths;
  for (std::size_t i = 0; i < cuts; ++i) lengths.push_back(static_cast<std::size_t>(data[2 + i]) + 1);
  if (lengths.empty()) lengths.push_back(1);
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2 + cuts, size - 2 - cuts);

  const Reading whole = ReadInChunks(stream, limit, {stream.size() + 1});
  const Reading cut = ReadInChunks(stream, limit, lengths);
  if (cut.packets != whole.packets || cut.end != whole.end) std::abort();
  if (whole.end == TFraming::kOk && cut.rest != whole.rest) std::abort();
  return 0;
}
