// The tool's fixed texts as a user should see them, written out line by line for tests to
// compare whole outputs against.
#pragma once

#include <string>

// The four banner lines (the build date is the compiler's, as in the tool).
std::string expected_banner();

// The usage text for the given invocation name.
std::string expected_usage(const std::string& invocation_name);

// The two command-line error messages, each followed by the usage.
std::string expected_option_error(const std::string& element, const std::string& invocation);
std::string expected_invalid_option(const std::string& first, const std::string& invocation);
