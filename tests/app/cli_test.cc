// The command line through the real program: what it prints and how it exits.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/platform.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace quarrow::test {
namespace {

enum class Out { kExact, kPrefix, kContains };

TEST(CliTest, PrintsAndExitsAsExpected) {
  const char glossary[] =
      "  --help                                   display this help and exit\n"
      "  -v, --version                            display tool version and exit\n";
  const char last_option[] =
      "  --other-writers                          also read logs of other MDF 4 writers: data "
      "lists, compressed data, other channel layouts\n";
  const struct {
    std::vector<std::string> args;  // "@" stands for an existing input file
    int status;
    Out check;
    std::string out;
  } cases[] = {
      {{}, 0, Out::kPrefix, "Usage: quarrow ["},
      {{"--help", "-z"}, 0, Out::kPrefix, "Usage: quarrow"},
      {{"@", "--help"}, 0, Out::kContains, glossary},
      {{"--help"}, 0, Out::kContains, last_option},
      {{"-v", "-z"}, 0, Out::kExact, "Version: 2.2.2\n"},
      {{"--version", "@"}, 0, Out::kExact, "Version: 2.2.2\n"},
      {{"--verbosity", "7", "@"}, 131, Out::kExact, ""},
      {{"--verbosity=-1", "@"}, 131, Out::kExact, ""},
      {{"--buffer", "abc", "@"}, 131, Out::kExact, ""},
      {{"-j", "-1", "@"}, 131, Out::kExact, ""},
      {{"@", "--buffer"}, 130, Out::kExact, ""},
      // Where long has 32 bits the parser cannot see the overflow and reads
      // the largest value; the huge buffer then still converts.
      {{"-b", "99999999999", "@"}, kWindows ? 0 : 134, Out::kPrefix, kWindows ? "" : "quarrow: "},
      {{"-z", "@"}, 134, Out::kContains, "quarrow: invalid option"},
      {{"--zz", "@"}, 134, Out::kContains, "--zz"},
      {{"-d", "-d", "x"}, 134, Out::kPrefix, "quarrow: "},
      {{"-d"}, 134, Out::kContains, "quarrow: missing option"},
      {{"-i"}, 134, Out::kContains, "quarrow: missing option"},
      {{"-d", "-X", "--non-interactive", "-b", "1KB", "--verbosity", "5", "-i", "@", "-j", "0",
        "--other-writers"},
       0,
       Out::kExact,
       ""},
  };
  TempDir tmp;
  write_file(tmp / "notes.txt", "not a log");
  for (const auto& c : cases) {
    std::vector<std::string> args;
    std::string line;
    for (const std::string& a : c.args) {
      args.push_back(a == "@" ? tmp / "notes.txt" : a);
      line += " " + a;
    }
    // Inside the scratch folder, so no stray password file is picked up.
    ProcessResult r = run_process(QUARROW_BINARY, args, tmp.path());
    EXPECT_EQ(r.status, c.status) << line << "\n" << r.out << r.err;
    EXPECT_TRUE(c.check == Out::kExact    ? r.out == c.out
                : c.check == Out::kPrefix ? r.out.rfind(c.out, 0) == 0
                                          : r.out.find(c.out) != std::string::npos)
        << line << " printed:\n"
        << r.out;
  }
}

// Odd but legal command lines: whatever the outcome, the program ends
// normally and cleanly.
TEST(CliTest, HostileArgumentsDoNotCrash) {
  TempDir tmp;
  const std::vector<std::vector<std::string>> lines = {
      {std::string(100000, 'a')},
      {"-p", std::string(5000, '/'), "-O", std::string(3000, '\\'), std::string(3000, '.')},
      {"", "", "-p", "", "\xff\xfe\x80.MF4", "-O", "\xc3\x28"},
      std::vector<std::string>(500, "input.MF4"),
  };
  for (const auto& args : lines) {
    ProcessResult r = run_process(QUARROW_BINARY, args, tmp.path());
    EXPECT_NE(r.status, -1) << args.size() << " arguments";
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace quarrow::test
