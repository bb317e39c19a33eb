// The fixed texts the tool prints about itself: banner, usage and licence texts.
#pragma once

#include <string>

// Four lines: separator, name with version and build date, the maker's notice, separator.
void print_banner();

// The usage; invocation_name is shown as the user typed it (argv[0]).
void print_usage(const std::string& invocation_name);

// Our end-user licence agreement, a separator, then the GNU LGPL version 3, verbatim.
void print_license_texts();
