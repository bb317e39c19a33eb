// Keeps the simulated drives' firmware state between quillmark-sim runs, so that a download
// can be rehearsed and then checked with "/i" in a second run.
//
// The file is line-based text:
//
//   quillmark-sim state 1
//   port <path> <running> <pending> <ready>
//   adapter <port> <phy> <running> <pending> <ready>
//   end
//
// One line per drive (ports, then the SATA/STP drives of the adapters), fields separated by
// one blank, every line ended by a newline. <running> is the running firmware revision,
// <pending> the revision of a complete deferred image waiting for activation, <ready> 1
// when that image may be activated, else 0. Texts (path, revisions) are written with every
// byte outside '!'..'~' and every '%' as %XX (two upper-case hex digits), and an empty text
// as a lone '-' (a text that is just '-' is written %2D). A file that breaks any of these
// rules, names a drive the world does not have, names one twice or lacks the final "end"
// is damaged as a whole: nothing of it is applied.
#pragma once

#include <string>
#include <string_view>

namespace sim {

// The world's drives as state-file text.
std::string format_state();

// Checks the whole text and, only when it is sound, applies it to the world's drives.
// Returns false with a one-line reason when the text is damaged.
bool apply_state(std::string_view text, std::string& reason);

// Loads the named file when it exists. A missing file is not an error (the built-in world
// stays); a damaged or unreadable one, or anything but a regular file (a directory, a FIFO,
// a symbolic link), is reported with one line on the error stream and ignored, a FIFO
// without waiting for a writer. Returns true when a state was applied.
bool load_state_file(const std::string& path);

// Writes the world's state to the named file: into a new temporary file beside it, made
// durable, then renamed over it in one step, so an interrupted save or a power cut leaves the
// old state or the new one. Only a missing file or a sound state file is replaced, keeping its
// permissions and owner; anything else at the name (a damaged or foreign file, a directory, a
// FIFO), or a file whose owner the save cannot keep, is left as it is, and an existing file at
// a temporary name is never touched. A failure is reported with one line on the error stream.
bool save_state_file(const std::string& path);
// The same without a word: false with the one-line reason.
bool write_state_file(const std::string& path, std::string& reason);

// quillmark-sim's state file for one run. The file is locked from the run's first drive claim
// to its end (through byte 0 of "<path>.lock" beside it, whose other bytes carry the drive
// claims between processes) and read only once the lock is held. A run that finds it locked
// waits: a download for as long as the other run holds it, saying so in one line; a run that
// waits only a little for its drive (/i, --scan: a wait_ms of its claim) for as long as that,
// and then finds the drive in use. Every change of a drive's firmware state is saved at once; a
// run that changes nothing writes nothing. When the lock file cannot be used, or the name is a
// folder (a directory, the root: refused before anything is made beside it), that is said in
// one line and the run goes on unlocked and unclaimed; a folder is not read, and a change the
// run makes then ends it with 1.
void begin_state_session(const std::string& path);
// The run's exit code, or 1 when a change of the drives' state could not be saved (said in
// one line naming the file and the reason).
int end_state_session(int exit_code);

// This process's id, which the name of each temporary file of a save carries.
int process_id();

// A file name as the messages print it: control characters neutralised, as a typed name is.
std::string shown_name(const std::string& path);

}  // namespace sim
