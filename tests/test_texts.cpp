#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/texts.h"
#include "platform/console.h"
#include "sim/world.h"
#include "support/expected_texts.h"
#include "support/helpers.h"

namespace {

std::string capture(void (*print)()) {
  const Printed p = printed(print);
  EXPECT_EQ(p.err, "");
  return p.out;
}

std::string captured_usage(const std::string& invocation) {
  return printed([&] { print_usage(invocation); }).out;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class Texts : public testing::Test {
 protected:
  void SetUp() override { sim::reset_world(); }
};

TEST_F(Texts, Banner) {
  const std::string out = capture(print_banner);
  EXPECT_EQ(out, expected_banner());

  // The build date reads like "Oct  4 2016": month, day right-aligned in two, year.
  const std::vector<std::string> lines = lines_of(out);
  ASSERT_EQ(lines.size(), 4u);
  const std::string marker = " Build Date: ";
  const size_t at = lines[1].find(marker);
  ASSERT_NE(at, std::string::npos);
  const std::string date = lines[1].substr(at + marker.size());
  ASSERT_EQ(date.size(), 11u) << date;
  const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const size_t month = months.find(date.substr(0, 3));
  EXPECT_TRUE(month != std::string::npos && month % 3 == 0) << date;
  EXPECT_EQ(date[3], ' ');
  EXPECT_TRUE(date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) << date;
  EXPECT_TRUE(date[5] >= '0' && date[5] <= '9') << date;
  EXPECT_EQ(date[6], ' ');
  EXPECT_EQ(date.substr(7).find_first_not_of("0123456789"), std::string::npos) << date;
}

TEST_F(Texts, UsageForEveryInvocationName) {
  const std::string names[] = {
      "quillmark",
      R"(C:\Program Files\Tolvane\Quillmark.exe)",
      "./build/quillmark-sim",
      "/opt/t\xC3\xB6lvane/quillmark",
      "",
  };
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    EXPECT_EQ(captured_usage(name), expected_usage(name));
  }
}

TEST_F(Texts, UsageShape) {
  const std::string out = captured_usage("q");
  const std::vector<std::string> lines = lines_of(out);
  ASSERT_EQ(lines.size(), 40u);
  EXPECT_EQ(lines.front(), "");
  EXPECT_EQ(lines.back(), std::string(73, '-'));
  int rows = 0;
  for (const auto& line : lines) {
    if (line.empty() || (line[0] != '|' && line[0] != '-')) continue;
    EXPECT_EQ(line.size(), 73u) << line;
    if (line[0] == '|') ++rows;
  }
  EXPECT_EQ(rows, 7);
  // The examples and the table heading keep their trailing blank.
  for (int i = 19; i <= 22; ++i) EXPECT_EQ(lines[i].back(), ' ') << lines[i];
  EXPECT_EQ(lines[24], "Return Codes Supported: ");
  // Options the usage keeps to itself.
  EXPECT_EQ(out.find("/vv"), std::string::npos);
  EXPECT_EQ(out.find("/l "), std::string::npos);
}

#if defined(QM_LGPL_PATH) && defined(QM_EULA_PATH)

TEST_F(Texts, LicenceTextsAreTheSourcesVerbatim) {
  const std::string eula = read_file(QM_EULA_PATH);
  const std::string lgpl = read_file(QM_LGPL_PATH);
  ASSERT_FALSE(eula.empty());
  ASSERT_FALSE(lgpl.empty());
  const std::string out = capture(print_license_texts);
  EXPECT_EQ(out, eula + std::string(69, '=') + "\n\n" + lgpl);
  EXPECT_TRUE(out.ends_with(lgpl.substr(lgpl.rfind('\n', lgpl.size() - 2) + 1)));
}

TEST_F(Texts, EulaIsPlainPrintableText) {
  const std::string eula = read_file(QM_EULA_PATH);
  const std::vector<std::string> lines = lines_of(eula);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Tolvane Utility End-User License Agreement");
  EXPECT_GE(lines.size(), 180u);
  EXPECT_LE(lines.size(), 230u);
  EXPECT_EQ(eula.back(), '\n');
  // Printed through the formatted stream: no directive may hide in it.
  EXPECT_EQ(eula.find('%'), std::string::npos);
  for (const char c : eula) {
    EXPECT_TRUE(c == '\n' || (c >= ' ' && c <= '~')) << int(static_cast<unsigned char>(c));
  }
}

#endif

}  // namespace
