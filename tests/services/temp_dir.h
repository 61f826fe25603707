// A fresh directory for one test's files, removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace ziptest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return (root_ / name).string(); }
  // The names of the files in the directory, sorted.
  std::vector<std::string> listing() const;

 private:
  std::filesystem::path root_;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);

}  // namespace ziptest
