#include "io/folder.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>

#include "io/stream.h"
#include "support/platform.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

std::string str(StringView v) {
  return std::string(v.data, v.size);
}

using Entry = std::tuple<std::string, PathKind, int64_t>;

std::vector<Entry> entries_of(const DirListing& listing) {
  std::vector<Entry> out;
  listing.for_each(
      [&](const DirListing::Node& n) { out.emplace_back(str(n.name), n.kind, n.size); });
  return out;
}

// Listings are in unsigned byte order without fifos and dangling links; stat refuses zeros.
TEST(FolderTest, ListsAndStatsFilesAndFolders) {
  TempDir tmp;
  const std::vector<Entry> expected = {{"10.MF4", PATH_FILE, 4},      {"9.MF4", PATH_FILE, 0},
                                       {"B.MF4", PATH_FILE, 3},       {"a.MF4", PATH_FILE, 1000},
                                       {"c.MF4", PATH_FILE, 2},       {"sub", PATH_FOLDER, 0},
                                       {"\xc3\xa4.MF4", PATH_FILE, 1}};
  for (const auto& [name, kind, size] : expected)
    write_file(tmp / (kind == PATH_FILE ? name : name + "/not_listed"), std::string(size, 'x'));
  make_fifo(tmp / "fifo");
  ASSERT_TRUE(kWindows || make_symlink(tmp / "gone", tmp / "dangling"));
  auto folder = folder_open(tmp.path().c_str());
  ASSERT_TRUE(folder);
  for (const std::string& path : {tmp.path(), tmp.path() + "/"}) {
    DirListing listing;
    folder->list(path.c_str(), &listing);
    EXPECT_EQ(entries_of(listing), expected) << path;
    // A folder that cannot be listed leaves the listing as it was.
    folder->list((tmp / "missing").c_str(), &listing);
    folder->list((tmp / "a.MF4").c_str(), &listing);
    EXPECT_EQ(entries_of(listing), expected);
  }
  // Relative names are below the scratch folder.
  const Entry cases[] = {
      {"a.MF4", PATH_FILE, 1000},  {"a.MF4/", PATH_FILE, 1000}, {"sub", PATH_FOLDER, 0},
      {"sub/", PATH_FOLDER, 0},    {"none", PATH_MISSING, 0},   {"a.MF4/x", PATH_MISSING, 0},
      {"none/x", PATH_MISSING, 0}, {"/", PATH_FOLDER, 0},       {"", PATH_MISSING, 0}};
  for (const auto& [name, kind, size] : cases) {
    const std::string path = name.empty() || name == "/" ? name : tmp / name;
    PathInfo info;
    info.size = -7;
    ASSERT_TRUE(folder->stat(path.c_str(), &info)) << path;
    EXPECT_EQ(info.kind, kind) << path;
    EXPECT_EQ(info.size, size) << path;
  }
  const std::string zero = tmp / "a.MF4" + std::string("\0/other", 7);
  const StringView z(zero.data(), zero.size());
  PathInfo info;
  EXPECT_FALSE(folder->stat(z, &info));
  EXPECT_EQ(folder->open_file(z, FS_OPEN_READ), nullptr);
  EXPECT_FALSE(folder->remove(z));
  EXPECT_TRUE(file_exists(tmp / "a.MF4"));
}

// Repeated random names (the first stays), then sorted runs: the worst case for an unbalanced tree.
TEST(DirListingTest, NamesStaySortedUniqueAndBalanced) {
  std::mt19937 rng(12345);
  std::map<std::string, int64_t> reference;  // compares as unsigned char, like the listing
  DirListing listing;
  for (int i = 0; i < 5000; ++i) {
    std::string name(i % 3 == 0 ? rng() % 3 : rng() % 31, '\0');
    for (char& c : name) c = static_cast<char>(1 + rng() % 255);
    reference.emplace(name, i);
    ASSERT_TRUE(listing.insert(StringView(name.data(), name.size()), PATH_FILE, i));
  }
  std::vector<Entry> expected;
  for (const auto& [name, size] : reference) expected.emplace_back(name, PATH_FILE, size);
  EXPECT_EQ(entries_of(listing), expected);
  for (bool ascending : {true, false}) {
    listing.clear();
    for (int i = 0; i < 20000; ++i) {
      char name[16];
      std::snprintf(name, sizeof(name), "%08d", ascending ? i : 19999 - i);
      ASSERT_TRUE(listing.insert(name, PATH_FOLDER, ascending ? i : 19999 - i));
    }
    int64_t next = 0;
    listing.for_each([&](const DirListing::Node& n) { EXPECT_EQ(n.size, next++); });
    EXPECT_EQ(next, 20000);
  }
}

TEST(FolderTest, ShareRootsAndTheirFoldersAreFolders) {
  TempDir tmp;
  const std::string share = unc_path_of(tmp.path());
  if (share.empty()) GTEST_SKIP() << "no network share reaches the scratch folder here";
  const std::string root = share.substr(0, share.find('/', share.find('/', 2) + 1));
  auto folder = folder_create(StringView());
  for (const std::string& path : {root, root + "/", share, share + "/"}) {
    PathInfo info;
    ASSERT_TRUE(folder->stat(path.c_str(), &info)) << path;
    EXPECT_EQ(info.kind, PATH_FOLDER) << path;
  }
}

TEST(PathNormalizeTest, MakesPathsAbsoluteWithSlashes) {
  TempDir tmp;
  const std::filesystem::path saved = std::filesystem::current_path();
  std::filesystem::current_path(fs_path(tmp.path()));
  // The working directory as the system reports it: links resolved.
  const std::string r = utf8_of(std::filesystem::current_path());
  write_file(r + "/logs/x.MF4", "x");
  // Dot segments stay, a file loses its trailing slash, one pass makes three slashes two, and a
  // network path keeps the two separators that open it.
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      {"logs", r + "/logs/"}, {"logs/", r + "/logs/"}, {"./logs", r + "/./logs/"},
      {"logs/x.MF4/", r + "/logs/x.MF4"}, {r + "//logs//x.MF4", r + "/logs/x.MF4"},
      {r + "///logs", r + "//logs/"}, {"logs\\\\x.MF4", r + "/logs/x.MF4"},
      {"missing/", r + "/missing/"}, {"", r + "/"}, {"/", "/"}, {"C:", "C:/"},
      {"C:\\Logs\\\\00000001.MF4", "C:/Logs/00000001.MF4"},
      {"\\\\server\\share\\logs", "//server/share/logs"},
      {"//server//share///x.MF4", "//server/share//x.MF4"}};
  // clang-format on
  for (const auto& [in, expected] : cases) {
    SsoString s;
    s.append(in.data(), in.size());
    path_normalize(&s);
    EXPECT_EQ(str(s), expected) << in;
  }
  std::filesystem::current_path(saved);
}

}  // namespace
}  // namespace quarrow::test
