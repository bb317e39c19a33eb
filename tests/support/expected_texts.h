// The tool's fixed texts as a user should see them, written out line by line for tests to
// compare whole outputs against.
#pragma once

#include <cstdint>
#include <string>

// The four banner lines (the build date is the compiler's, as in the tool).
std::string expected_banner();

// The usage text for the given invocation name.
std::string expected_usage(const std::string& invocation_name);

// The two command-line error messages, each followed by the usage.
std::string expected_option_error(const std::string& element, const std::string& invocation);
std::string expected_invalid_option(const std::string& first, const std::string& invocation);

// The warning printed before a download pass starts.
std::string expected_warning();

// The text of a file in tests/golden/ (a line naming the file when it is missing).
std::string golden_text(const std::string& name);

// The download plan shown under "/v" before a pass, as tests/golden/plan_<name>.txt holds it.
std::string expected_plan(const std::string& name);
