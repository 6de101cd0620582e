#include "app/cli.h"

#include <argtable2.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

enum class Out { kEmpty, kExact, kPrefix, kContains };

struct CliCase {
  const char* name;
  std::vector<std::string> args;  // "@" stands for an existing input file
  int status;
  Out out_check;
  std::string out;
};

class CliBinaryTest : public ::testing::TestWithParam<CliCase> {};

const char kGlossary[] =
    "  --help                                   display this help and exit\n"
    "  -v, --version                            display tool version and exit\n";

TEST_P(CliBinaryTest, PrintsAndExitsAsExpected) {
  const CliCase& c = GetParam();
  TempDir tmp;
  write_file(tmp / "notes.txt", "not a log");
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(a == "@" ? tmp / "notes.txt" : a);

  // Run inside the scratch folder, so no stray password file is picked up.
  ProcessResult r = run_process(QUARROW_BINARY, args, tmp.path());
  EXPECT_EQ(r.status, c.status) << r.out << r.err;
  switch (c.out_check) {
    case Out::kEmpty:
      EXPECT_EQ(r.out, "");
      break;
    case Out::kExact:
      EXPECT_EQ(r.out, c.out);
      break;
    case Out::kPrefix:
      EXPECT_EQ(r.out.substr(0, c.out.size()), c.out) << r.out;
      break;
    case Out::kContains:
      EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, CliBinaryTest,
    ::testing::Values(
        CliCase{"NoArguments", {}, 0, Out::kPrefix, "Usage: quarrow ["},
        CliCase{"HelpWinsOverUnknownOption", {"--help", "-z"}, 0, Out::kPrefix, "Usage: quarrow"},
        CliCase{"HelpWithInputs", {"@", "--help"}, 0, Out::kContains, kGlossary},
        CliCase{"VersionWinsOverUnknownOption", {"-v", "-z"}, 0, Out::kExact, "Version: 2.2.2\n"},
        CliCase{"VersionLong", {"--version", "@"}, 0, Out::kExact, "Version: 2.2.2\n"},
        CliCase{"VerbosityTooHigh", {"--verbosity", "7", "@"}, 131, Out::kEmpty, ""},
        CliCase{"VerbosityNegative", {"--verbosity=-1", "@"}, 131, Out::kEmpty, ""},
        CliCase{"VerbosityFiveAccepted", {"--verbosity", "5", "@"}, 0, Out::kEmpty, ""},
        CliCase{"BufferNotANumber", {"--buffer", "abc", "@"}, 131, Out::kEmpty, ""},
        CliCase{"BufferLacksValue", {"@", "--buffer"}, 130, Out::kEmpty, ""},
        CliCase{"BufferZero", {"-b", "0", "@"}, 0, Out::kEmpty, ""},
        CliCase{"BufferWithSuffix", {"-b", "1KB", "@"}, 0, Out::kEmpty, ""},
        CliCase{"BufferOverflow", {"-b", "99999999999", "@"}, 134, Out::kPrefix, "quarrow: "},
        CliCase{"UnknownShortOption", {"-z", "@"}, 134, Out::kContains, "quarrow: invalid option"},
        CliCase{"UnknownLongOption", {"--zz", "@"}, 134, Out::kContains, "--zz"},
        CliCase{"FlagTwice", {"-d", "-d", "x"}, 134, Out::kPrefix, "quarrow: "},
        CliCase{"NoInput", {"-d"}, 134, Out::kContains, "quarrow: missing option"},
        CliCase{"InputFlagAlone", {"-i"}, 134, Out::kContains, "quarrow: missing option"},
        CliCase{"InputFlagWithInput", {"-i", "@"}, 0, Out::kEmpty, ""},
        CliCase{"AllFlags", {"-d", "-X", "--non-interactive", "@"}, 0, Out::kEmpty, ""},
        CliCase{"PlainInput", {"@"}, 0, Out::kEmpty, ""}),
    [](const ::testing::TestParamInfo<CliCase>& info) { return std::string(info.param.name); });

// Odd but legal command lines: whatever the outcome, the program ends
// normally and cleanly.
TEST(CliBinaryTest, HostileArgumentsDoNotCrash) {
  TempDir tmp;
  std::vector<std::string> many;
  for (int i = 0; i < 500; ++i) many.push_back("input" + std::to_string(i) + ".MF4");
  const std::vector<std::vector<std::string>> lines = {
      {std::string(100000, 'a')},
      {"-p", std::string(5000, '/'), "x"},
      {"-O", std::string(3000, '\\'), std::string(3000, '.')},
      {""},
      {"", "", "-p", ""},
      {"\xff\xfe\x80.MF4", "-O", "\xc3\x28"},
      many,
  };
  for (const auto& args : lines) {
    ProcessResult r = run_process(QUARROW_BINARY, args, tmp.path());
    EXPECT_NE(r.status, -1) << args.size() << " arguments";
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  }
}

TEST(CliBinaryTest, UsageListsEveryOptionOnce) {
  ProcessResult r = run_process(QUARROW_BINARY, {});
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const char* lines[] = {
      "--help ",
      "-v, --version ",
      "--verbosity=<n> ",
      "--non-interactive ",
      "-d, --delete-converted ",
      "-X, --no-append-root ",
      "-b, --buffer=<n> ",
      "-p, --password-file=<file> ",
      "-O, --output-directory=<file> ",
      "-i, --input-files=<file(s)/folder(s)> ",
  };
  size_t last = 0;
  for (const char* line : lines) {
    size_t at = r.out.find(std::string("\n  ") + line);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_GT(at, last) << line << " out of order";
    last = at;
  }
  EXPECT_NE(r.out.find("file(s)/folder(s)\n\n"), std::string::npos);
}

// In-process: what the options leave in the settings and the logger.
class CliParseTest : public ::testing::Test {
 protected:
  void TearDown() override { log_set_output_level(0); }

  bool parse(std::vector<std::string> args, ConverterSettings* settings, int* status) {
    args.insert(args.begin(), "quarrow");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return cli_parse(settings, static_cast<int>(args.size()), argv.data(), status);
  }

  TempDir tmp_;
};

TEST_F(CliParseTest, VerbositySetsTheLogThreshold) {
  write_file(tmp_ / "notes.txt", "x");
  const struct {
    const char* verbosity;  // null: not given
    int32_t level;
  } cases[] = {{nullptr, LOG_ERROR}, {"0", LOG_FATAL},   {"1", LOG_ERROR},  {"2", LOG_WARN},
               {"3", LOG_INFO},      {"4", LOG_VERBOSE}, {"5", LOG_VERBOSE}};
  for (const auto& c : cases) {
    auto settings = settings_create();
    ASSERT_TRUE(settings);
    log_set_output_level(0);
    std::vector<std::string> args = {tmp_ / "notes.txt"};
    if (c.verbosity) args.insert(args.begin(), {"--verbosity", c.verbosity});
    int status = 0;
    parse(args, settings.get(), &status);
    EXPECT_EQ(log_output_level, c.level) << (c.verbosity ? c.verbosity : "none");
  }
}

TEST_F(CliParseTest, FlagsAndBufferReachTheSettings) {
  write_file(tmp_ / "notes.txt", "x");
  const struct {
    std::vector<std::string> options;
    bool delete_converted, no_append_root, non_interactive;
    int64_t buffer_size;
  } cases[] = {
      {{}, false, false, false, -1},
      {{"-d"}, true, false, false, -1},
      {{"--no-append-root", "--non-interactive"}, false, true, true, -1},
      {{"-b", "0"}, false, false, false, 0},
      {{"--buffer=4096", "-X"}, false, true, false, 4096},
      {{"-b", "2KB"}, false, false, false, 2048},
      {{"-b", "-1"}, false, false, false, -1},
      {{"-b", "0x10"}, false, false, false, 16},
  };
  for (const auto& c : cases) {
    auto settings = settings_create();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->buffer_size, -1);
    std::vector<std::string> args = c.options;
    args.push_back(tmp_ / "notes.txt");
    int status = 0;
    parse(args, settings.get(), &status);
    EXPECT_EQ(settings->delete_converted, c.delete_converted);
    EXPECT_EQ(settings->no_append_root, c.no_append_root);
    EXPECT_EQ(settings->non_interactive, c.non_interactive);
    EXPECT_EQ(settings->buffer_size, c.buffer_size);
  }
}

TEST_F(CliParseTest, ErrorsStopBeforeTheSettingsAreTouched) {
  auto settings = settings_create();
  ASSERT_TRUE(settings);
  int status = 0;
  EXPECT_FALSE(parse({"-d", "--verbosity", "9", tmp_ / "x"}, settings.get(), &status));
  EXPECT_EQ(status, CLI_STATUS_BAD_ARGUMENT);
  EXPECT_FALSE(settings->delete_converted);
  EXPECT_EQ(log_output_level, 0);
}

TEST(CollectPathsTest, NormalisesEveryValueInOrder) {
  TempDir tmp;
  write_file(tmp / "a.MF4", "x");
  write_file(tmp / "logs/b.MF4", "x");
  struct arg_file* option = arg_filen(nullptr, nullptr, "x", 0, 3, nullptr);
  ASSERT_NE(option, nullptr);
  std::string values[] = {tmp / "a.MF4/", tmp / "logs", tmp.path() + "//logs\\b.MF4"};
  option->count = 3;
  for (int i = 0; i < 3; ++i) option->filename[i] = values[i].c_str();

  GrowArray<SsoString> paths;
  EXPECT_EQ(collect_paths(option, &paths), 0);
  ASSERT_EQ(paths.size(), 3u);
  EXPECT_STREQ(paths[0].c_str(), (tmp / "a.MF4").c_str());
  EXPECT_STREQ(paths[1].c_str(), (tmp / "logs/").c_str());
  EXPECT_STREQ(paths[2].c_str(), (tmp / "logs/b.MF4").c_str());
  void* table[] = {option};
  arg_freetable(table, 1);
}

TEST(CollectPathsTest, OnlyTheAllocationFailureIsReported) {
  struct {
    int code;
    const char* text;
  } cases[] = {
      {3 * 256, "quarrow: internal error, could not allocate memory\n"}, {3, ""}, {1, ""}, {0, ""}};
  for (const auto& c : cases) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    ASSERT_NE(stream, nullptr);
    report_collect_error(stream, c.code, kProgramName);
    std::fclose(stream);
    EXPECT_EQ(std::string(buffer, size), c.text) << c.code;
    std::free(buffer);
  }
}

}  // namespace
}  // namespace quarrow::test
