#include "phrases/phrase_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace quorvel {
namespace {

namespace fs = std::filesystem;

// Each row: the file's text (truncated: the 64 KiB limit cut it), the
// phrases as "text@line" ("text|spoken@line" with a spoken form), and the
// diagnostic lines.
TEST(PhraseFileTest, LinesBecomePhrasesAndEachKindOfProblemOneLine) {
  const std::string about = "quorvel: the phrases file f";
  std::string many = "# header\n";
  for (int i = 0; i < 1001; ++i) many += "w\n";
  const struct {
    std::string text;
    bool truncated;
    std::vector<std::string> phrases, problems;
  } rows[] = {
      {"", false, {}, {}},
      {"\xEF\xBB\xBF# a comment\r\n  Dash   wood \r\n\n\tclubs\t\r\n #x\n"
       "Schoeffer \t shay  fur\n",
       false,
       {"Dash wood@2", "clubs@4", "Schoeffer|shay fur@6"},
       {}},
      {std::string("nul\0\nesc\x1B[0m\ndel\x7F\nok\n", 21) +
           std::string(199, 'x') + "\t" + std::string(2, 'y'),
       false,
       {"ok@4"},
       {about + ", line 1: a control character; the line and 2 more like it "
                "are not used\n",
        about + ", line 5: longer than 200 bytes; the line is not used\n"}},
      {"ok\n\xFF\nbad \xC3\x28\n\xED\xA0\x80\nlast",
       false,
       {"ok@1", "last@5"},
       {about + ", line 2: not UTF-8 text; the line and 2 more like it are "
                "not used\n"}},
      {"caf\xC3\xA9\n\xC0\xAF\n",
       false,
       {"caf\xC3\xA9@1"},
       {about + ", line 2: not UTF-8 text; the line is not used\n"}},
      {many,
       false,
       {},
       {about + " holds more than 1000 phrases; line 1002 and those after "
                "it are not used\n"}},
      {"a\nb\nc",
       true,
       {"a@1", "b@2"},
       {about + " is larger than 64 KiB; line 3 and those after it are not "
                "used\n"}},
      {"a\n",
       true,
       {"a@1"},
       {about + " is larger than 64 KiB; line 2 and those after it are not "
                "used\n"}},
  };
  for (const auto& row : rows) {
    const ParsedPhrases parsed = parsePhrases(row.text, row.truncated, "f");
    std::vector<std::string> phrases;
    for (const Phrase& phrase : parsed.phrases)
      phrases.push_back(phrase.text +
                        (phrase.spoken.empty() ? "" : "|" + phrase.spoken) +
                        "@" + std::to_string(phrase.line));
    if (row.text == many) {
      EXPECT_EQ(phrases.size(), maxPhrases);
      EXPECT_EQ(phrases.back(), "w@1001");
    } else {
      EXPECT_EQ(phrases, row.phrases) << row.text;
    }
    EXPECT_EQ(parsed.problems, row.problems) << row.text;
  }
}

// The file is read when it is new or has changed, and only then; one that
// cannot be read (missing, a FIFO, which must not hold the reader up)
// leaves the last list, and is said once per reason.
TEST(PhraseFileTest, ReadAgainOnlyWhenChangedElseTheLastListStays) {
  char folder[] = "/tmp/quorvel-phrases-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/phrases";
  PhraseFile reader(file);
  testing::internal::CaptureStderr();
  EXPECT_EQ(reader.current(), nullptr);
  EXPECT_EQ(reader.current(), nullptr);
  std::ofstream(file) << "alpha\n";
  const auto first = reader.current();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(reader.current(), first);
  // The same size, at once: only the modification time tells.
  std::ofstream(file) << "gamma\n";
  fs::last_write_time(file,
                      fs::last_write_time(file) + std::chrono::seconds(1));
  const auto second = reader.current();
  ASSERT_NE(second, first);
  EXPECT_EQ(second->phrases.at(0).text, "gamma");
  fs::remove(file);
  ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
  EXPECT_EQ(reader.current(), second);
  EXPECT_EQ(reader.current(), second);
  const std::string cannot = "quorvel: cannot read the phrases file " + file;
  const std::string read = "quorvel: read 1 phrase from " + file + "\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            cannot + ": No such file or directory\n" + read + read + cannot +
                ": Not a regular file\n");
  fs::remove_all(folder);
}

}  // namespace
}  // namespace quorvel
