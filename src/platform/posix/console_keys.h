// Internal: the terminal's input bytes as console key events.
//
// A terminal reports a key as one byte or as an escape sequence; the console reports it as an
// INPUT_RECORD with the PC scan code, the character and the control-key state. This decoder
// turns the first into the second, so that a key gives the same record (and so the same key
// code) on both sides. Only key-down records are made: a terminal reports no releases.
//
// Covered: printable bytes (US layout scan codes, Shift for the shifted characters), bytes
// 128..255 as characters without a scan code, Backspace as 0x7F or 0x08, Enter as CR (LF is
// Ctrl+J, code 10, as the console reports it, so a pasted CR LF is one Enter), Tab, Ctrl with a letter (and 0x00, 0x1C..0x1F), a lone ESC, Alt as an ESC prefix to any key;
// cursor keys, Home, End, PgUp, PgDn, Ins, Del and F1..F12 in the xterm (CSI and SS3, with
// the ";m" modifier parameter for Shift, Alt and Ctrl), VT220 ("n~"), rxvt and Linux console
// ("[[A".."[[E") encodings; Shift+Tab (CSI Z); xterm's modifyOtherKeys (CSI 27;m;c~) and the
// CSI c;m u form, which is how a terminal reports Ctrl+Tab and the like. Other sequences
// (mouse reports, terminal replies) are dropped whole.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/win32.h"

namespace win32::posix {

// The key-down record of the Enter key, as a terminal's CR gives it.
INPUT_RECORD EnterKeyRecord();

class TerminalKeyDecoder {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a held ESC waits for its next byte before it counts as the Esc key: short, so
  // that Esc answers at once.
  static constexpr std::chrono::milliseconds kEscapeDelay{50};
  // How long a started sequence (ESC [ or ESC O) waits for its next byte. A key's sequence
  // that a slow remote link splits across reads still decodes to one key; only Alt+[ and
  // Alt+O typed alone come late.
  static constexpr std::chrono::milliseconds kSequenceDelay{1000};

  // Decodes `bytes`, which came at `now`, after what is held; complete keys are appended to
  // `out`. The start of an escape sequence that may still go on is held for the next call.
  void Feed(std::string_view bytes, std::vector<INPUT_RECORD>& out, Clock::time_point now = Clock::now());
  // Takes what is held as it is once its delay has passed since its last byte came.
  void Expire(Clock::time_point now, std::vector<INPUT_RECORD>& out);
  // How long what is held may still wait for its next byte; zero when nothing is held.
  std::chrono::milliseconds DelayLeft(Clock::time_point now) const;
  // Takes what is held as it is (a lone ESC is the Esc key), at once.
  void Flush(std::vector<INPUT_RECORD>& out);
  bool Holding() const { return !held_.empty(); }
  void Clear() { held_.clear(); }

 private:
  void Decode(bool final, std::vector<INPUT_RECORD>& out);
  std::chrono::milliseconds Delay() const;

  std::string held_;
  Clock::time_point lastByte_{};
};

}  // namespace win32::posix
