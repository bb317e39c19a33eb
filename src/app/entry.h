// The program's entry.
#pragma once

// The whole run: parse, dispatch, exit code. argc/argv are the narrow vector the process
// started with (its count and its first element, the invocation name, are used).
int quillmark_main(int argc, char** argv);
