// A fresh directory for one test, removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace lumarix::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the directory, as the system's 8-bit path text.
  std::string File(const std::string& name) const;
  // Creates `name` holding exactly `contents`; returns its path.
  std::string Write(const std::string& name, const std::string& contents) const;
  // The whole contents of `name`.
  std::string Read(const std::string& name) const;
  // The whole contents of the file at `path`.
  static std::string ReadPath(const std::string& path);

 private:
  std::filesystem::path path_;
};

// A test fixture owning a TempDir.
class TempDirTest : public ::testing::Test {
 protected:
  TempDir dir;
};

}  // namespace lumarix::testing
