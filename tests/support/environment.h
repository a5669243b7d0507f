// An environment variable set (or unset, for nullptr) for the life of the object.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/winapi.h"

namespace lumarix::testing {

class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnvironment() { Set(old_ ? old_->c_str() : nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  void Set(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name_.c_str(), value);
#else
    if (value) ::setenv(name_.c_str(), value, 1);
    else ::unsetenv(name_.c_str());
#endif
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace lumarix::testing
