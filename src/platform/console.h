// The console: one ordered sink for everything on standard output, whichever writer wrote
// it (narrow text, wide text, formatted prints), and the error stream. Nothing in the tool
// writes to the standard streams any other way, so the order on screen is the order of the
// calls. Tests capture both streams as strings.
//
// Text is handed to the system in batches: a download of small segments rewrites its progress
// line tens of thousands of times, and a system call for each would cost more than the
// commands themselves. What is held back goes out at the end of a line, before text for the
// other stream (or of the other width), once it has waited about 50 ms, on flush() and when
// the process ends, so the bytes and their order are those of the calls.
#pragma once

#include <string>
#include <string_view>

namespace console {

// The narrow stream.
void out(std::string_view text);
// The wide stream: device paths, file names, arguments.
void wout(std::u16string_view text);
// Formatted print (printf rules) to standard output.
#ifdef __MINGW32__
// mingw's C++ runtime formats with the C99 rules (%zu, %lld); "printf" alone would check
// against the older msvcrt rules.
void printf(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif
// The error stream.
void err(std::string_view text);
// One line on the error stream (the line end is added), starting on a line of its own: when
// the last text on either stream did not end a line, a line end on the error stream comes
// first, so the line is not glued to an unfinished one on the terminal.
void err_line(std::string_view text);

// Under --json standard output carries one document alone: from the call with `on` true, the
// text written for standard output (out, wout, printf) goes to the error stream instead,
// byte for byte and in the same order with the error stream's own.
void divert_out_to_err(bool on);
// The document (UTF-8) on standard output, whether or not the other text is diverted; handed
// over at once. On a Windows console it is shown as wide text, redirected it is UTF-8.
void document(std::string_view utf8);

// Hands everything held back to the system now: before a pause, or when the text shows
// something new (the progress line's percentage).
void flush();

// Whether standard output stands inside a line (its last text did not end with a newline), as
// a progress line leaves it: a run that stops there ends the line first.
bool mid_line();

// The spinner's horizontal line as the console shows it.
std::string_view hline();

// Text that came from a drive or a driver (model, serial number, revision, driver names), as
// it may reach the terminal. ATA and CSMI strings are ASCII, so every byte outside 0x20-0x7E
// becomes '?': a device can send neither an escape sequence nor a C1 control byte (0x9B
// alone starts one on many terminals).
std::string device_text(std::string_view text);

// Text the user typed, echoed back: control characters (C0, DEL and C1, also when they stand
// for an undecodable byte) become '?'; printable text in any script stays as it is.
std::u16string typed_text(std::u16string_view text);

// Capture for tests: while active, both streams are collected (wide text as UTF-8) instead
// of written.
void capture_begin();
std::string captured_out();
std::string captured_err();
void capture_end();

}  // namespace console
