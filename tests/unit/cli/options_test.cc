// Option handling: what each command line prints, and the exit status or
// the options it leaves for the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_run.h"
#include "cli/cli_managelocal.h"
#include "support/temp_dir.h"

namespace {

using clitest::RunInChild;

constexpr int kContinues = 100;  // the child's status when the run would go on
const std::string kUsage = vxtest::ReadFile(CLI_TEST_DATA "/usage.golden");
const std::string kVersion = "Vorlex 5.3.1-398\n";

std::string Describe(const CommandOptions &o) {
  return "action=" + std::to_string(o.action) + " list=" + std::to_string(o.listType) +
         " category=" + std::to_string(o.category) + " dump=" + o.dumpName + " force=" + std::to_string(o.force) +
         " profile=" + std::to_string(o.profileOnly) + " verbose=" + std::to_string(o.verbose);
}

clitest::ChildResult Parse(std::vector<std::string> words) {
  return RunInChild([&] {
    std::vector<char *> argv;
    static char program[] = "vxaccounts";
    argv.push_back(program);
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    CommandOptions options;
    if (std::optional<int> end = ParseOptions(static_cast<int>(argv.size()) - 1, argv.data(), options)) return *end;
    printf("%s", Describe(options).c_str());
    return kContinues;
  });
}

struct EndCase {
  std::vector<std::string> words;
  int status;
  std::string out;
  std::string err;
};

const EndCase kEndCases[] = {
    {{"-h"}, 7, kUsage, ""},
    {{"--help", "-s"}, 7, kUsage, ""},
    {{"-v"}, 0, kVersion, ""},
    {{"--version", "-x", "-s", "-s"}, 0, kVersion, ""},
    {{"-s", "-v", "-R"}, 0, kVersion, ""},
    {{"-s", "-s", "-v"}, 7, "", "Error: multiple action are not allowed.\n"},
    {{"-s", "-R"}, 7, "", "Error: multiple action are not allowed.\n"},
    {{"-l", "all", "-l", "visible", "-u"}, 7, "", "Error: multiple action are not allowed.\n"},
    {{"-l", "all", "-u", "-g"}, 7, "", "Error: multiple categories are not allowed.\n"},
    {{"-u", "-g", "-s"}, 7, "", "Error: multiple categories are not allowed.\n"},
    {{"-l", "all"}, 7, "", "Error: options --list should be used in conjunction with --user/--group.\n"},
    {{"-s", "-u"}, 7, "", "Error: options --status and --user cannot be used together.\n"},
    {{"-g", "-R"}, 7, "", "Error: options --reload and --group cannot be used together.\n"},
    {{"-l", "visible", "-g", "-f"}, 7, "",
     "Error: options --force/--profileonly should be used in conjunction with --reload.\n"},
    {{"-s", "-p"}, 7, "", "Error: options --force/--profileonly should be used in conjunction with --reload.\n"},
    {{"-f"}, 7, kUsage, ""},
    {{}, 7, kUsage, ""},
    {{"-V"}, 7, kUsage, ""},
    {{"-l", "ALL", "-u"}, 7, kUsage, ""},
    {{"-l", "-u"}, 7, kUsage, ""},
    {{"--list=-all", "-u"}, 7, kUsage, ""},
    {{"-d", "users"}, 7, kUsage, ""},
    {{"-d", "User", "-s", "-u"}, 7, "", "Error: options --status and --user cannot be used together.\n"},
};

TEST(Options, EndingsPrintExactlyTheirTextAndStatus) {
  for (const EndCase &c : kEndCases) {
    std::string line;
    for (const std::string &w : c.words) line += w + " ";
    clitest::ChildResult r = Parse(c.words);
    EXPECT_EQ(r.status, c.status) << line;
    EXPECT_EQ(r.out, c.out) << line;
    EXPECT_EQ(r.err, c.err) << line;
  }
}

TEST(Options, UnknownOptionOrMissingArgumentPrintsUsageAfterTheDiagnostic) {
  for (const auto &words : std::vector<std::vector<std::string>>{{"-x"}, {"-s", "--bogus"}, {"-l"}, {"-s", "-d"}}) {
    clitest::ChildResult r = Parse(words);
    EXPECT_EQ(r.status, 7) << words[0];
    EXPECT_EQ(r.out, kUsage);
    EXPECT_FALSE(r.err.empty()) << "getopt_long prints its own diagnostic";
  }
}

struct RunCase {
  std::vector<std::string> words;
  std::string options;
};

const RunCase kRunCases[] = {
    {{"-s"}, "action=0 list=3 category=2 dump= force=0 profile=0 verbose=0"},
    {{"-R", "-f", "-p"}, "action=1 list=3 category=2 dump= force=1 profile=1 verbose=0"},
    {{"--list=remove", "--group"}, "action=2 list=2 category=1 dump= force=0 profile=0 verbose=0"},
    {{"-u", "-l", "visible", "-V"}, "action=2 list=1 category=0 dump= force=0 profile=0 verbose=1"},
    // Operands are ignored wherever they stand; long options may be abbreviated.
    {{"-s", "extra"}, "action=0 list=3 category=2 dump= force=0 profile=0 verbose=0"},
    {{"extra", "--stat"}, "action=0 list=3 category=2 dump= force=0 profile=0 verbose=0"},
    {{"--li", "all", "--us"}, "action=2 list=0 category=0 dump= force=0 profile=0 verbose=0"},
    // A valid dump skips the final check; a later valid -d replaces it, an
    // invalid one is ignored.
    {{"-d", "user", "-s", "-u"}, "action=0 list=3 category=0 dump=user force=0 profile=0 verbose=0"},
    {{"--dump", "group"}, "action=3 list=3 category=2 dump=group force=0 profile=0 verbose=0"},
    {{"-d", "user", "-d", "group"}, "action=3 list=3 category=2 dump=group force=0 profile=0 verbose=0"},
    {{"-d", "user", "-d", "groups", "-f"}, "action=3 list=3 category=2 dump=user force=1 profile=0 verbose=0"},
};

TEST(Options, AcceptedCommandLinesLeaveTheirOptions) {
  for (const RunCase &c : kRunCases) {
    clitest::ChildResult r = Parse(c.words);
    EXPECT_EQ(r.status, kContinues) << c.words[0] << " " << r.err;
    EXPECT_EQ(r.out, c.options) << c.words[0];
    EXPECT_EQ(r.err, "") << c.words[0];
  }
}

TEST(Usage, TextIsExactAndEndsWithAnEmptyLine) {
  clitest::ChildResult r = RunInChild([] {
    PrintUsage();
    return 0;
  });
  EXPECT_EQ(r.out, kUsage);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\n\n");
  EXPECT_EQ(r.out.find("--dump"), std::string::npos);
}

}  // namespace
