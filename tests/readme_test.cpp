// The listing examples of the README are what the tool makes of the bundled example: every
// plain ``` block of "What it does" must be a run of consecutive lines of one of its listings.
// A README line may be cut short with " ..."; it then only has to start the listing line.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/test_support.h"

namespace vexo {
namespace {

const std::string kSource = VEXO_SOURCE_DIR;

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The bundled example listed with examples/SET_NAME, its value lines (index from 0) changed as
// `changes` says.
std::vector<std::string> listing(const std::string& set_name, std::map<int, std::string> changes) {
  test::TempDir dir;
  std::vector<std::string> set = lines_of(test::read_text_file(kSource + "/examples/" + set_name));
  changes[1] = dir.path("out.lst");
  std::string text;
  for (std::size_t i = 0; i < set.size(); ++i) {
    text += (changes.count(static_cast<int>(i)) ? changes[static_cast<int>(i)] : set[i]) + "\n";
  }
  test::write_file(dir.path("in.set"), text);
  const test::RunResult run =
      test::run_tool({kSource + "/examples/example.dft", dir.path("in.set")});
  EXPECT_EQ(run.status, 0) << set_name << ": " << run.err;
  return lines_of(test::read_text_file(dir.path("out.lst")));
}

bool shown_at(const std::vector<std::string>& block, const std::vector<std::string>& listing,
              std::size_t at) {
  if (at + block.size() > listing.size()) return false;
  for (std::size_t i = 0; i < block.size(); ++i) {
    const std::string& shown = block[i];
    const std::string& real = listing[at + i];
    const bool cut = shown.size() >= 4 && shown.compare(shown.size() - 4, 4, " ...") == 0;
    if (cut ? real.compare(0, shown.size() - 4, shown, 0, shown.size() - 4) != 0 ||
                  real.size() <= shown.size() - 4
            : real != shown) {
      return false;
    }
  }
  return true;
}

TEST(Readme, ListingExamplesAreTheBundledExampleListed) {
  const std::string readme = test::read_text_file(kSource + "/README.md");
  const std::size_t from = readme.find("\n## What it does\n");
  ASSERT_NE(from, std::string::npos);
  const std::string section = readme.substr(from, readme.find("\n## ", from + 1) - from);

  const std::vector<std::vector<std::string>> listings = {
      listing("phase.set", {}), listing("phase.set", {{9, "0"}}),  // without the correction
      listing("amplitude.set", {}), listing("mean.set", {})};
  for (const auto& l : listings) ASSERT_GT(l.size(), 8u);

  int blocks = 0;
  std::vector<std::string> block;
  bool in_fence = false, plain = false;
  for (const std::string& line : lines_of(section)) {
    if (line.compare(0, 3, "```") != 0) {
      if (in_fence && plain) block.push_back(line);
      continue;
    }
    if (!in_fence) {
      in_fence = true, plain = line == "```", block.clear();
      continue;
    }
    in_fence = false;
    if (!plain) continue;
    ++blocks;
    bool found = false;
    for (const auto& l : listings) {
      for (std::size_t at = 0; at < l.size() && !found; ++at) found = shown_at(block, l, at);
    }
    EXPECT_TRUE(found) << "not in any listing of the bundled example:\n" << block.front();
  }
  // The header lines, the phase listing with and without the correction, amplitudes, the mean.
  EXPECT_EQ(blocks, 5);
}

}  // namespace
}  // namespace vexo
