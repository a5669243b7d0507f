#include "platform/posix/console_keys.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

namespace win32::posix {
namespace {

struct Key {
  WORD scan = 0;
  WORD vk = 0;
  unsigned char ch = 0;
  DWORD state = 0;
};

constexpr unsigned char kEsc = 0x1B;

// The keys of a US keyboard that give a character: scan code, unshifted and shifted character.
struct CharKey {
  WORD scan;
  char plain;
  char shifted;
  WORD vk;
};

constexpr CharKey kCharKeys[] = {
    {2, '1', '!', '1'},   {3, '2', '@', '2'},   {4, '3', '#', '3'},   {5, '4', '$', '4'},
    {6, '5', '%', '5'},   {7, '6', '^', '6'},   {8, '7', '&', '7'},   {9, '8', '*', '8'},
    {10, '9', '(', '9'},  {11, '0', ')', '0'},  {12, '-', '_', 0xBD}, {13, '=', '+', 0xBB},
    {16, 'q', 'Q', 'Q'},  {17, 'w', 'W', 'W'},  {18, 'e', 'E', 'E'},  {19, 'r', 'R', 'R'},
    {20, 't', 'T', 'T'},  {21, 'y', 'Y', 'Y'},  {22, 'u', 'U', 'U'},  {23, 'i', 'I', 'I'},
    {24, 'o', 'O', 'O'},  {25, 'p', 'P', 'P'},  {26, '[', '{', 0xDB}, {27, ']', '}', 0xDD},
    {30, 'a', 'A', 'A'},  {31, 's', 'S', 'S'},  {32, 'd', 'D', 'D'},  {33, 'f', 'F', 'F'},
    {34, 'g', 'G', 'G'},  {35, 'h', 'H', 'H'},  {36, 'j', 'J', 'J'},  {37, 'k', 'K', 'K'},
    {38, 'l', 'L', 'L'},  {39, ';', ':', 0xBA}, {40, '\'', '"', 0xDE}, {41, '`', '~', 0xC0},
    {43, '\\', '|', 0xDC}, {44, 'z', 'Z', 'Z'}, {45, 'x', 'X', 'X'},  {46, 'c', 'C', 'C'},
    {47, 'v', 'V', 'V'},  {48, 'b', 'B', 'B'},  {49, 'n', 'N', 'N'},  {50, 'm', 'M', 'M'},
    {51, ',', '<', 0xBC}, {52, '.', '>', 0xBE}, {53, '/', '?', 0xBF}, {57, ' ', ' ', 0x20},
};

const CharKey* FindCharKey(unsigned char c, bool& shifted) {
  for (const CharKey& key : kCharKeys) {
    if (key.plain == static_cast<char>(c)) {
      shifted = false;
      return &key;
    }
    if (key.shifted == static_cast<char>(c)) {
      shifted = true;
      return &key;
    }
  }
  return nullptr;
}

constexpr Key kBackspace{14, 0x08, 8, 0};
constexpr Key kTab{15, 0x09, 9, 0};
constexpr Key kEnter{28, 0x0D, 13, 0};
constexpr Key kEscape{1, 0x1B, 27, 0};

// The key behind one byte that is not the start of an escape sequence.
Key PlainKey(unsigned char c) {
  if (c == 0x7F || c == 0x08) return kBackspace;
  if (c == '\r') return kEnter;
  if (c == '\t') return kTab;
  if (c == kEsc) return kEscape;
  if (c >= 1 && c <= 26) {  // Ctrl with a letter: the console reports the control character
    bool shifted = false;
    const CharKey* letter = FindCharKey(static_cast<unsigned char>('a' + c - 1), shifted);
    return Key{letter->scan, letter->vk, c, LEFT_CTRL_PRESSED};
  }
  switch (c) {
    case 0x00: return Key{3, '2', 0, LEFT_CTRL_PRESSED};      // Ctrl+@ (Ctrl+Space)
    case 0x1C: return Key{43, 0xDC, c, LEFT_CTRL_PRESSED};    // Ctrl+Backslash
    case 0x1D: return Key{27, 0xDD, c, LEFT_CTRL_PRESSED};    // Ctrl+]
    case 0x1E: return Key{7, '6', c, LEFT_CTRL_PRESSED | SHIFT_PRESSED};  // Ctrl+^
    case 0x1F: return Key{12, 0xBD, c, LEFT_CTRL_PRESSED | SHIFT_PRESSED};  // Ctrl+_
    default: break;
  }
  bool shifted = false;
  if (const CharKey* key = c < 0x80 ? FindCharKey(c, shifted) : nullptr) {
    return Key{key->scan, key->vk, c, shifted ? SHIFT_PRESSED : 0u};
  }
  return Key{0, 0, c, 0};  // a character of the upper half: no key of its own
}

// The ";m" modifier parameter of xterm: m - 1 holds Shift (1), Alt (2), Ctrl (4), Meta (8).
DWORD ModifierState(int m) {
  if (m < 2) return 0;
  int bits = m - 1;
  DWORD state = 0;
  if (bits & 1) state |= SHIFT_PRESSED;
  if (bits & (2 | 8)) state |= LEFT_ALT_PRESSED;
  if (bits & 4) state |= LEFT_CTRL_PRESSED;
  return state;
}

Key Enhanced(WORD scan, WORD vk) { return Key{scan, vk, 0, ENHANCED_KEY}; }
Key Function(int n) {  // F1..F12
  WORD scan = static_cast<WORD>(n <= 10 ? 58 + n : 76 + n);
  return Key{scan, static_cast<WORD>(0x6F + n), 0, 0};
}

std::optional<Key> CursorKey(char final) {
  switch (final) {
    case 'A': return Enhanced(72, 0x26);
    case 'B': return Enhanced(80, 0x28);
    case 'C': return Enhanced(77, 0x27);
    case 'D': return Enhanced(75, 0x25);
    case 'H': return Enhanced(71, 0x24);
    case 'F': return Enhanced(79, 0x23);
    case 'P': return Function(1);
    case 'Q': return Function(2);
    case 'R': return Function(3);
    case 'S': return Function(4);
    default: return std::nullopt;
  }
}

// The VT220 "n~" keys.
std::optional<Key> TildeKey(int n) {
  switch (n) {
    case 1: case 7: return Enhanced(71, 0x24);
    case 2: return Enhanced(82, 0x2D);
    case 3: return Enhanced(83, 0x2E);
    case 4: case 8: return Enhanced(79, 0x23);
    case 5: return Enhanced(73, 0x21);
    case 6: return Enhanced(81, 0x22);
    case 11: case 12: case 13: case 14: case 15: return Function(n - 10);
    case 17: case 18: case 19: case 20: case 21: return Function(n - 11);
    case 23: case 24: return Function(n - 12);
    default: return std::nullopt;
  }
}

// A character key reported with its modifiers (modifyOtherKeys, CSI u).
std::optional<Key> ModifiedCharKey(int code, int m) {
  if (code < 0 || code > 0xFF) return std::nullopt;
  Key key = PlainKey(static_cast<unsigned char>(code));
  key.state |= ModifierState(m);
  if ((key.state & LEFT_CTRL_PRESSED) && code >= 'a' && code <= 'z') key.ch = static_cast<unsigned char>(code & 0x1F);
  if ((key.state & LEFT_CTRL_PRESSED) && code >= 'A' && code <= 'Z') key.ch = static_cast<unsigned char>(code & 0x1F);
  return key;
}

constexpr std::size_t kNeedMore = 0;
constexpr std::size_t kLongestSequence = 32;

struct Parsed {
  std::size_t length = kNeedMore;  // bytes taken; kNeedMore when the sequence may go on
  std::optional<Key> key;          // empty for a sequence that is dropped
};

bool IsParameterByte(unsigned char c) { return c >= 0x30 && c <= 0x3F; }
bool IsIntermediateByte(unsigned char c) { return c >= 0x20 && c <= 0x2F; }
bool IsFinalByte(unsigned char c) { return c >= 0x40 && c <= 0x7E; }

// Numbers of a "1;5"-style parameter text; a missing number is `fallback`.
std::vector<int> Numbers(std::string_view text, int fallback) {
  std::vector<int> numbers;
  int value = -1;
  for (char c : text) {
    if (c == ';') {
      numbers.push_back(value < 0 ? fallback : value);
      value = -1;
    } else if (c >= '0' && c <= '9') {
      value = (value < 0 ? 0 : value) * 10 + (c - '0');
      if (value > 0xFFFF) value = 0xFFFF;
    }
  }
  numbers.push_back(value < 0 ? fallback : value);
  return numbers;
}

std::optional<Key> ControlSequenceKey(std::string_view params, char final) {
  if (!params.empty() && !(params[0] >= '0' && params[0] <= '9') && params[0] != ';') return std::nullopt;  // private
  std::vector<int> n = Numbers(params, 1);
  int m = n.size() > 1 ? n[1] : 1;
  std::optional<Key> key;
  if (final == '~') {
    if (n[0] == 27 && n.size() > 2) return ModifiedCharKey(n[2], n[1]);
    key = TildeKey(n[0]);
  } else if (final == 'u') {
    return ModifiedCharKey(n[0], m);
  } else if (final == 'Z') {
    key = Key{15, 0x09, 9, SHIFT_PRESSED};
  } else {
    key = CursorKey(final);
  }
  if (key) key->state |= ModifierState(m);
  return key;
}

// ESC [ ...: in[0] is ESC, in[1] is '['.
Parsed ParseControlSequence(std::string_view in) {
  if (in.size() < 3) return {};
  if (in[2] == '[') {  // the Linux console's F1..F5
    if (in.size() < 4) return {};
    char c = in[3];
    if (c >= 'A' && c <= 'E') return {4, Function(c - 'A' + 1)};
    return {4, std::nullopt};
  }
  std::size_t end = 2;
  while (end < in.size() && end < kLongestSequence &&
         (IsParameterByte(in[end]) || IsIntermediateByte(in[end]))) {
    ++end;
  }
  if (end == in.size()) return {};
  if (!IsFinalByte(in[end])) return {end, std::nullopt};  // broken or overlong: dropped
  return {end + 1, ControlSequenceKey(in.substr(2, end - 2), in[end])};
}

// ESC O ...: in[0] is ESC, in[1] is 'O'. Old xterms put a modifier digit before the letter.
Parsed ParseSingleShift(std::string_view in) {
  std::size_t end = 2;
  while (end < in.size() && end < 8 && (std::isdigit(static_cast<unsigned char>(in[end])) || in[end] == ';')) ++end;
  if (end == in.size()) return {};
  char final = in[end];
  std::vector<int> n = Numbers(in.substr(2, end - 2), 1);
  std::optional<Key> key = CursorKey(final);
  if (!key && final == 'M') key = kEnter;  // keypad Enter in application mode
  if (key) key->state |= ModifierState(n.back());
  return {end + 1, key};
}

Parsed ParseEscape(std::string_view in, bool final);

// Alt as an ESC prefix: the key after the ESC, with Alt.
Parsed WithAlt(Parsed parsed) {
  if (parsed.length == kNeedMore) return parsed;
  if (parsed.key) parsed.key->state |= LEFT_ALT_PRESSED;
  parsed.length += 1;
  return parsed;
}

Parsed ParseEscape(std::string_view in, bool final) {
  if (in.size() < 2) return final ? Parsed{1, kEscape} : Parsed{};
  unsigned char next = static_cast<unsigned char>(in[1]);
  if (next == '[' || next == 'O') {
    Parsed parsed = next == '[' ? ParseControlSequence(in) : ParseSingleShift(in);
    if (parsed.length != kNeedMore || !final) return parsed;
    Key key = PlainKey(next);  // cut short: it was Alt with that character
    key.state |= LEFT_ALT_PRESSED;
    return {2, key};
  }
  if (next == kEsc) {
    if (in.size() < 3) return final ? Parsed{1, kEscape} : Parsed{};
    if (in[2] == '[' || in[2] == 'O') {
      Parsed inner = WithAlt(ParseEscape(in.substr(1), final));
      if (inner.length != kNeedMore) return inner;
      return final ? Parsed{1, kEscape} : Parsed{};
    }
    return {1, kEscape};
  }
  Key key = PlainKey(next);
  key.state |= LEFT_ALT_PRESSED;
  return {2, key};
}

INPUT_RECORD RecordOf(const Key& key) {
  INPUT_RECORD record;
  std::memset(&record, 0, sizeof record);
  record.EventType = KEY_EVENT;
  record.Event.KeyEvent.bKeyDown = TRUE;
  record.Event.KeyEvent.wRepeatCount = 1;
  record.Event.KeyEvent.wVirtualKeyCode = key.vk;
  record.Event.KeyEvent.wVirtualScanCode = key.scan;
  record.Event.KeyEvent.uChar.AsciiChar = static_cast<CHAR>(key.ch);
  record.Event.KeyEvent.dwControlKeyState = key.state;
  return record;
}

}  // namespace

INPUT_RECORD EnterKeyRecord() { return RecordOf(kEnter); }

void TerminalKeyDecoder::Feed(std::string_view bytes, std::vector<INPUT_RECORD>& out, Clock::time_point now) {
  if (!bytes.empty()) lastByte_ = now;
  held_.append(bytes);
  Decode(false, out);
}

void TerminalKeyDecoder::Expire(Clock::time_point now, std::vector<INPUT_RECORD>& out) {
  if (Holding() && DelayLeft(now).count() == 0) Flush(out);
}

std::chrono::milliseconds TerminalKeyDecoder::DelayLeft(Clock::time_point now) const {
  if (!Holding()) return std::chrono::milliseconds(0);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(lastByte_ + Delay() - now);
  return std::max(left, std::chrono::milliseconds(0));
}

// What is held always starts with ESC (an Alt prefix may double it).
std::chrono::milliseconds TerminalKeyDecoder::Delay() const {
  std::size_t after = held_.find_first_not_of(static_cast<char>(kEsc));
  bool sequence = after != std::string::npos && (held_[after] == '[' || held_[after] == 'O');
  return sequence ? kSequenceDelay : kEscapeDelay;
}

void TerminalKeyDecoder::Flush(std::vector<INPUT_RECORD>& out) { Decode(true, out); }

void TerminalKeyDecoder::Decode(bool final, std::vector<INPUT_RECORD>& out) {
  std::size_t at = 0;
  while (at < held_.size()) {
    std::string_view rest(held_.data() + at, held_.size() - at);
    if (static_cast<unsigned char>(rest[0]) != kEsc) {
      out.push_back(RecordOf(PlainKey(static_cast<unsigned char>(rest[0]))));
      ++at;
      continue;
    }
    Parsed parsed = ParseEscape(rest, final);
    if (parsed.length == kNeedMore) break;
    if (parsed.key) out.push_back(RecordOf(*parsed.key));
    at += parsed.length;
  }
  held_.erase(0, at);
}

}  // namespace win32::posix
