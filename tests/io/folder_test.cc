#include "io/folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "io/stream.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

std::string str(StringView v) {
  return std::string(v.data, v.size);
}
StringView sv(const std::string& s) {
  return StringView(s.data(), s.size());
}

struct Entry {
  std::string name;
  PathKind kind;
  int64_t size;
  bool operator==(const Entry& o) const {
    return name == o.name && kind == o.kind && size == o.size;
  }
};

std::vector<Entry> entries_of(const DirListing& listing) {
  std::vector<Entry> out;
  listing.for_each([&](const DirListing::Node& n) {
    out.push_back({str(n.name), n.kind, n.size});
  });
  return out;
}

std::unique_ptr<Folder> open_folder(const std::string& path) {
  return folder_open(sv(path));
}

class FolderListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = open_folder(tmp.path());
    ASSERT_TRUE(folder);
  }
  TempDir tmp;
  std::unique_ptr<Folder> folder;
  DirListing listing;
};

TEST_F(FolderListTest, ListsFilesAndFoldersInUnsignedByteOrder) {
  write_file(tmp / "b.MF4", "bb");
  write_file(tmp / "a.MF4", "a");
  write_file(tmp / "B.MF4", "BBB");
  write_file(tmp / "9.MF4", "");
  write_file(tmp / "10.MF4", "1010");
  write_file(tmp / "\xc3\xa4.MF4", "x");  // sorts after every ASCII name
  mkdir((tmp / "sub").c_str(), 0777);
  write_file(tmp / "sub/inner.MF4", "not listed");
  // Neither a file nor a folder, and a link to nothing: both left out.
  mkfifo((tmp / "fifo").c_str(), 0666);
  ASSERT_EQ(symlink((tmp / "gone").c_str(), (tmp / "dangling").c_str()), 0);

  folder->list(sv(tmp.path()), &listing);

  std::vector<Entry> expected = {
      {"10.MF4", PATH_FILE, 4},       {"9.MF4", PATH_FILE, 0}, {"B.MF4", PATH_FILE, 3},
      {"a.MF4", PATH_FILE, 1},        {"b.MF4", PATH_FILE, 2}, {"sub", PATH_FOLDER, 0},
      {"\xc3\xa4.MF4", PATH_FILE, 1},
  };
  EXPECT_EQ(entries_of(listing), expected);
  EXPECT_EQ(listing.size(), expected.size());
}

TEST_F(FolderListTest, FolderPathWithTrailingSlashListsTheSame) {
  write_file(tmp / "x.MF4", "x");
  folder->list(sv(tmp.path() + "/"), &listing);
  EXPECT_EQ(entries_of(listing), (std::vector<Entry>{{"x.MF4", PATH_FILE, 1}}));
}

TEST_F(FolderListTest, UnlistableFolderLeavesListingUnchanged) {
  write_file(tmp / "file", "x");
  ASSERT_TRUE(listing.insert("kept", PATH_FILE, 7));
  folder->list(sv(tmp / "missing"), &listing);
  folder->list(sv(tmp / "file"), &listing);
  EXPECT_EQ(entries_of(listing), (std::vector<Entry>{{"kept", PATH_FILE, 7}}));
}

// std::string compares as unsigned char, the listing's own order.
TEST(DirListingTest, ManyRandomNamesStaySortedAndUnique) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> length(0, 30);
  std::uniform_int_distribution<int> byte(1, 255);
  std::set<std::string> reference;
  DirListing listing;
  for (int i = 0; i < 5000; ++i) {
    std::string name;
    // Short names repeat often, so duplicates are exercised too.
    int n = i % 3 == 0 ? length(rng) % 3 : length(rng);
    for (int k = 0; k < n; ++k) name.push_back(static_cast<char>(byte(rng)));
    reference.insert(name);
    ASSERT_TRUE(listing.insert(sv(name), PATH_FILE, 1));
  }
  std::vector<std::string> names;
  listing.for_each([&](const DirListing::Node& n) { names.push_back(str(n.name)); });
  EXPECT_EQ(names, std::vector<std::string>(reference.begin(), reference.end()));
  EXPECT_EQ(listing.size(), reference.size());
}

TEST(DirListingTest, SortedInsertionOrdersStayBalancedEnoughToWalk) {
  // Ascending and descending runs are the worst case for an unbalanced tree;
  // the walk's fixed stack would overflow on a degenerate one.
  for (bool ascending : {true, false}) {
    DirListing listing;
    for (int i = 0; i < 20000; ++i) {
      char name[16];
      int v = ascending ? i : 19999 - i;
      std::snprintf(name, sizeof(name), "%08d", v);
      ASSERT_TRUE(listing.insert(name, PATH_FILE, v));
    }
    int expected = 0;
    bool in_order = true;
    listing.for_each([&](const DirListing::Node& n) { in_order &= n.size == expected++; });
    EXPECT_TRUE(in_order);
    EXPECT_EQ(expected, 20000);
  }
}

TEST(DirListingTest, DuplicateKeepsTheFirstEntry) {
  DirListing listing;
  ASSERT_TRUE(listing.insert("a", PATH_FILE, 5));
  ASSERT_TRUE(listing.insert("a", PATH_FOLDER, 0));
  EXPECT_EQ(entries_of(listing), (std::vector<Entry>{{"a", PATH_FILE, 5}}));
}

TEST(DirListingTest, ClearEmptiesAndNodesAreReused) {
  DirListing listing;
  for (const char* n : {"c", "a", "b"}) ASSERT_TRUE(listing.insert(n, PATH_FILE, 1));
  listing.clear();
  EXPECT_EQ(listing.size(), 0u);
  EXPECT_TRUE(entries_of(listing).empty());
  for (const char* n : {"z", "y", "a long name that does not fit inline at all"}) {
    ASSERT_TRUE(listing.insert(n, PATH_FOLDER, 0));
  }
  EXPECT_EQ(entries_of(listing),
            (std::vector<Entry>{{"a long name that does not fit inline at all", PATH_FOLDER, 0},
                                {"y", PATH_FOLDER, 0},
                                {"z", PATH_FOLDER, 0}}));
}

TEST(FolderStatTest, ReportsKindAndSize) {
  TempDir tmp;
  write_file(tmp / "f.MF4", std::string(1000, 'x'));
  mkdir((tmp / "d").c_str(), 0777);
  auto folder = open_folder(tmp.path());
  ASSERT_TRUE(folder);

  struct Case {
    std::string path;
    PathKind kind;
    int64_t size;
  } cases[] = {
      {tmp / "f.MF4", PATH_FILE, 1000},
      {tmp / "f.MF4/", PATH_FILE, 1000},  // a trailing separator still names the file
      {tmp / "d", PATH_FOLDER, 0},
      {tmp / "d/", PATH_FOLDER, 0},
      {tmp / "missing", PATH_MISSING, 0},
      {tmp / "f.MF4/below", PATH_MISSING, 0},  // below a file
      {tmp / "missing/below", PATH_MISSING, 0},
      {"", PATH_MISSING, 0},
      {"/", PATH_FOLDER, 0},
  };
  for (const Case& c : cases) {
    PathInfo info;
    info.size = -7;
    ASSERT_TRUE(folder->stat(sv(c.path), &info)) << c.path;
    EXPECT_EQ(info.kind, c.kind) << c.path;
    EXPECT_EQ(info.size, c.size) << c.path;
  }
}

TEST(FolderStatTest, PathWithEmbeddedZeroIsRefused) {
  TempDir tmp;
  write_file(tmp / "f", "x");
  auto folder = open_folder(tmp.path());
  ASSERT_TRUE(folder);
  std::string path = tmp / "f";
  path += std::string("\0/other", 7);
  PathInfo info;
  EXPECT_FALSE(folder->stat(sv(path), &info));
  EXPECT_EQ(folder->open_file(sv(path), FS_OPEN_READ), nullptr);
  EXPECT_FALSE(folder->remove(sv(path)));
  EXPECT_TRUE(file_exists(tmp / "f"));
}

TEST(FolderOpenTest, OpensOnlyExistingFolders) {
  TempDir tmp;
  write_file(tmp / "file", "x");
  EXPECT_EQ(open_folder(tmp / "missing"), nullptr);
  EXPECT_EQ(open_folder(tmp / "file"), nullptr);
  EXPECT_EQ(open_folder(""), nullptr);
  auto folder = open_folder(tmp.path() + "/");
  ASSERT_TRUE(folder);
  EXPECT_EQ(str(folder->root()), tmp.path() + "/");
}

TEST(FolderJoinTest, JoinsRootAndRelativePath) {
  struct Case {
    const char* root;
    const char* relative;
    const char* expected;
  } cases[] = {
      {"", "x.MF4", "x.MF4"},
      {"/out", "", "/out"},
      {"/out", "a/x.MF4", "/out/a/x.MF4"},
      {"/out/", "x.MF4", "/out/x.MF4"},
      {"/", "x.MF4", "/x.MF4"},
      {"/out", "..", "/out"},
      {"", "..", ""},
      {"/out", "../x", "/out/../x"},
  };
  for (const Case& c : cases) {
    auto folder = folder_create(c.root);
    ASSERT_TRUE(folder);
    SsoString out;
    out.append("prefix:");
    ASSERT_TRUE(folder_join(folder.get(), c.relative, &out));
    EXPECT_EQ(str(out), std::string("prefix:") + c.expected) << c.root << " + " << c.relative;
  }
  SsoString out;
  EXPECT_FALSE(folder_join(nullptr, "x", &out));
}

TEST(FolderRelativeTest, OpensStatsAndRemovesBelowTheRoot) {
  TempDir tmp;
  auto folder = open_folder(tmp.path());
  ASSERT_TRUE(folder);

  // The pipeline's and the writer's flags carry an extra bit that is ignored.
  ByteStream* out = folder_open_relative(folder.get(), "new.csv", FS_OPEN_WRITE | 4);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(stream_write(out, "abc", 3), 3);
  EXPECT_EQ(stream_read(out, nullptr, 0), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_close(out), 0);

  PathInfo info;
  ASSERT_TRUE(folder_stat_relative(folder.get(), "new.csv", &info));
  EXPECT_EQ(info.kind, PATH_FILE);
  EXPECT_EQ(info.size, 3);

  ByteStream* in = folder_open_relative(folder.get(), "new.csv", FS_OPEN_READ | 4);
  ASSERT_NE(in, nullptr);
  char buf[8] = {};
  EXPECT_EQ(stream_read(in, buf, sizeof(buf)), 3);
  EXPECT_EQ(std::string(buf), "abc");
  EXPECT_EQ(stream_write(in, "x", 1), STREAM_UNSUPPORTED);
  EXPECT_EQ(stream_close(in), 0);

  ByteStream* both = folder_open_relative(folder.get(), "new.csv", FS_OPEN_READ | FS_OPEN_WRITE);
  ASSERT_NE(both, nullptr);
  EXPECT_EQ(stream_write(both, "X", 1), 1);
  EXPECT_EQ(stream_close(both), 0);
  EXPECT_EQ(read_file(tmp / "new.csv"), "Xbc");

  EXPECT_EQ(folder_open_relative(folder.get(), "new.csv", 4), nullptr);
  EXPECT_EQ(folder_open_relative(folder.get(), "missing.csv", FS_OPEN_READ), nullptr);

  EXPECT_TRUE(folder_remove_relative(folder.get(), "new.csv"));
  EXPECT_FALSE(file_exists(tmp / "new.csv"));
  EXPECT_FALSE(folder_remove_relative(folder.get(), "new.csv"));

  EXPECT_EQ(folder_open_relative(nullptr, "x", FS_OPEN_READ), nullptr);
  EXPECT_FALSE(folder_remove_relative(nullptr, "x"));
  EXPECT_FALSE(folder_stat_relative(nullptr, "x", &info));
}

TEST(FolderMakeTest, CreatesOneLevelOnly) {
  TempDir tmp;
  auto folder = open_folder(tmp.path());
  ASSERT_TRUE(folder);
  EXPECT_TRUE(folder->make_folder(sv(tmp / "a")));
  EXPECT_FALSE(folder->make_folder(sv(tmp / "a")));
  EXPECT_FALSE(folder->make_folder(sv(tmp / "x/y")));
  PathInfo info;
  ASSERT_TRUE(folder_stat_relative(folder.get(), "a", &info));
  EXPECT_EQ(info.kind, PATH_FOLDER);
}

// Runs with the working directory inside a scratch folder.
class PathNormalizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    ASSERT_NE(getcwd(buf, sizeof(buf)), nullptr);
    saved_ = buf;
    // The scratch folder's real name: the working directory is reported
    // with links resolved.
    char* real = realpath(tmp_.path().c_str(), nullptr);
    ASSERT_NE(real, nullptr);
    root_ = real;
    std::free(real);
    ASSERT_EQ(chdir(root_.c_str()), 0);
    mkdir((root_ + "/logs").c_str(), 0777);
    write_file(root_ + "/logs/x.MF4", "x");
  }
  void TearDown() override { ASSERT_EQ(chdir(saved_.c_str()), 0); }

  static std::string normalize(const std::string& in) {
    SsoString s;
    s.append(in.data(), in.size());
    path_normalize(&s);
    return str(s);
  }

  TempDir tmp_;
  std::string saved_;
  std::string root_;
};

TEST_F(PathNormalizeTest, MakesPathsAbsoluteWithSlashes) {
  const std::string& r = root_;
  struct Case {
    std::string in;
    std::string expected;
  } cases[] = {
      {"logs", r + "/logs/"},
      {"logs/", r + "/logs/"},
      {"./logs", r + "/./logs/"},  // dot segments stay
      {"logs/x.MF4", r + "/logs/x.MF4"},
      {"logs/x.MF4/", r + "/logs/x.MF4"},  // a file loses its trailing slash
      {r + "/logs/x.MF4/", r + "/logs/x.MF4"},
      {r + "//logs//x.MF4", r + "/logs/x.MF4"},
      {r + "///logs", r + "//logs/"},  // one pass: three slashes become two
      {"logs\\x.MF4", r + "/logs/x.MF4"},
      {"logs\\\\x.MF4", r + "/logs/x.MF4"},
      {"missing.MF4", r + "/missing.MF4"},
      {"missing/", r + "/missing/"},
      {"", r + "/"},
      {"/", "/"},
      {"C:", "C:/"},
      {"C:\\Logs\\\\00000001.MF4", "C:/Logs/00000001.MF4"},
  };
  for (const Case& c : cases) EXPECT_EQ(normalize(c.in), c.expected) << c.in;
}

}  // namespace
}  // namespace quarrow::test
