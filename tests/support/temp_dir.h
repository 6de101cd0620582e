#pragma once

// A scratch folder per test, removed with everything in it. Paths use "/" on every platform,
// as the program prints them.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace quarrow::test {

// UTF-8 text to a path and back, so that tests may name files "日本" on every platform.
inline std::filesystem::path fs_path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string utf8_of(const std::filesystem::path& path) {
  std::u8string s = path.generic_u8string();
  return std::string(s.begin(), s.end());
}

class TempDir {
 public:
  TempDir() {
    std::random_device random;
    std::filesystem::path candidate;
    do {
      candidate =
          std::filesystem::temp_directory_path() / ("quarrow_test_" + std::to_string(random()));
    } while (!std::filesystem::create_directory(candidate, ignored_));
    path_ = utf8_of(candidate);
  }
  ~TempDir() { std::filesystem::remove_all(fs_path(path_), ignored_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
  std::error_code ignored_;
};

inline void write_file(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(fs_path(path).parent_path());
  std::ofstream(fs_path(path), std::ios::binary) << bytes;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  write_file(path, std::string(bytes.begin(), bytes.end()));
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(fs_path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool file_exists(const std::string& path) {
  return std::filesystem::exists(fs_path(path));
}

// Every file and folder below root as a sorted list of relative paths; folders end with "/",
// files are followed by ": " and their bytes when asked. Empty when root does not exist.
inline std::vector<std::string> list_tree(const std::string& root, bool with_contents = false) {
  std::vector<std::string> entries;
  std::error_code ec;
  const std::filesystem::path base = fs_path(root);
  for (auto it = std::filesystem::recursive_directory_iterator(base, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    const bool folder = it->is_directory() && !it->is_symlink();
    std::string entry = utf8_of(std::filesystem::relative(it->path(), base)) + (folder ? "/" : "");
    entries.push_back(with_contents && !folder ? entry + ": " + read_file(root + "/" + entry)
                                               : entry);
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

}  // namespace quarrow::test
