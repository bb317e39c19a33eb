#include "support/expected_texts.h"

#include <filesystem>
#include <fstream>
#include <iterator>

std::string expected_banner() {
  const std::string rule(74, '=');
  return rule + "\n" + "Tolvane Utility. Version: " QM_VERSION "-L Build Date: " + __DATE__ + "\n" +
         "Copyright (c) Tolvane. All rights reserved.\n" + rule + "\n";
}

std::string golden_text(const std::string& name) {
  const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "golden" / name;
  std::ifstream file(path, std::ios::binary);
  if (!file) return "missing golden file " + path.string();
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::string expected_usage(const std::string& invocation_name) {
  // The one golden copy, as Quillmark.exe prints it (the wine test reads it too); only the
  // invocation name on its second line differs.
  std::string text = golden_text("usage.txt");
  const std::string golden_name = "Quillmark.exe";
  const size_t at = text.find("Usage: " + golden_name);
  if (at == std::string::npos) return "damaged golden usage.txt: " + text;
  return text.replace(at + 7, golden_name.size(), invocation_name);
}

std::string expected_option_error(const std::string& element, const std::string& invocation) {
  return "\nError in command line at " + element + "\n" + expected_usage(invocation);
}

std::string expected_invalid_option(const std::string& first, const std::string& invocation) {
  return "Invalid Command Line Option: " + first + "\n" + expected_usage(invocation);
}

std::string expected_warning() {
  return "\n\n\tPLEASE DO NOT CLOSE THIS WINDOW OR INTERRUPT THE FW DOWNLOAD PROCESS\n\n\n";
}

std::string expected_plan(const std::string& name) { return golden_text("plan_" + name + ".txt"); }
