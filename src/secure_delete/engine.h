// Internal interface of the secure deletion engine.
//
// Only the engine's own files and its tests include this header; the rest of the system uses
// secure_delete.h. The engine is procedural and keeps its state per thread, unprotected: at
// most one engine call may run at a time on a thread, and calls on different threads do not
// share anything but the files they are given. Routines return 0 for success and -1 with
// errno for failure; the prompting routines return nonzero to go ahead and 0 to skip. Messages
// go to standard error through report_error / report_errno, each line starting with
// prog_name and ": ".
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <vector>

namespace quillon::engine {

// Option flags of `options`.
inline constexpr uint32_t OPT_FORCE = 0x01;           // ask nothing; make read-only files writable
inline constexpr uint32_t OPT_INTERACTIVE = 0x02;     // ask "Remove %s? " before each removal
inline constexpr uint32_t OPT_RECURSIVE = 0x04;       // descend into directories
inline constexpr uint32_t OPT_VERBOSE = 0x08;         // progress and "removing" lines on stdout
inline constexpr uint32_t OPT_OVERWRITE_ONLY = 0x20;  // overwrite regular files, keep them
inline constexpr uint32_t OPT_ZERO_LAST = 0x40;       // one extra pass of zero bytes

// ---- Engine state (one per thread) -------------------------------------------------------

extern const char *prog_name;                // message prefix; never set, so lines start with ": "
extern constinit thread_local uint32_t options;        // replaced whole by secure_delete at every call
extern constinit thread_local int32_t overwrite_mode;  // 1: one random pass, 7: seven passes, else 35 passes
extern constinit thread_local int random_fd;           // the random device while a call runs, else -1
// Counted up as the work goes on (every block written, every entry listed), so that a watcher
// can tell a long deletion from one that hangs; null: not counted.
extern constinit thread_local std::atomic<uint64_t> *progress_counter;
void note_progress();

// ---- Pass state (valid for one fork between open and close) -----------------------------

// A range [begin, end) of a fork that holds data.
struct extent {
    off_t begin;
    off_t end;
};

extern constinit thread_local int fork_fd;
extern constinit thread_local off_t fork_length;           // the fork's length; it never grows
// The ranges every pass covers: the fork's data without its holes. Null: all of
// [0, fork_length).
extern constinit thread_local const std::vector<extent> *fork_extents;
extern constinit thread_local unsigned char *pass_buffer;  // pattern buffer, pass_buffer_size bytes
extern constinit thread_local uint32_t pass_buffer_size;   // bytes of every full write: whole blocks
extern constinit thread_local int64_t planned_bytes;       // bytes all passes over the fork write (progress only)
extern constinit thread_local int64_t written_bytes;       // bytes written so far over all passes (progress only)

// ---- Random source and reporters ---------------------------------------------------------

// Opens "/dev/urandom" into random_fd when it is a character device; otherwise seeds rand()
// with `seed` and leaves random_fd at -1. A device that exists but cannot be opened leaves
// random_fd at -1 without seeding.
void init_random(unsigned int seed);
// The same with another device path, so tests can point the source elsewhere.
void init_random_from(const char *device, unsigned int seed);
// Closes random_fd if open and sets it to -1.
void close_random();
// One random byte, sign-extended: always within -128..127.
int random_byte();
// Fills `length` bytes of `buffer` with random bytes.
void random_fill(unsigned char *buffer, int length);

// "<prog_name>: <message>\n" on stderr, the message cut to 99 characters.
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
// perror("<prog_name>: <message>") with the message cut to 99 and the whole to 119
// characters. errno must still be the failing call's; it is preserved for perror.
void report_errno(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The first failure of the running call, as an errno value (0: none yet): report_errno notes
// its errno; a report_error site notes the code that names its cause. secure_delete gives it
// back in errno, so its caller can tell why an item stays.
extern constinit thread_local int first_error;
void note_error(int error);

// ---- Overwrite passes --------------------------------------------------------------------

// Runs the scheme of overwrite_mode over fork_fd (plus a zero pass with OPT_ZERO_LAST).
// Returns 0, or -1 with the failing write's errno: the remaining passes are not run and the
// fork keeps whatever the passes so far left in it.
int overwrite_fork();
// One pass: the buffer written over every extent block by block, then flushed, rewound.
int write_pass();
int byte_pass(unsigned char value);
int triple_pass(unsigned char first, unsigned char second, unsigned char third);
int random_passes(int count);
// fsync(fd) then a flush of its file system: the pass is on the disk before the next begins.
void flush_file(int fd);
// Adds one write to written_bytes and prints the percentage when it changes.
void show_progress(uint32_t count);

// ---- File and tree removal ---------------------------------------------------------------
//
// Every entry is reached relative to its directory's open descriptor and examined without
// following a link; a directory is entered only when the descriptor opened on it is the
// directory that was examined, and the way back up is checked the same way. A link is
// removed as a link. Nothing on another device or mount than the operand's directory is
// entered or removed: it is reported and the walk fails.

enum class entry_kind { file, link, directory };

// Moments of the walk at which what is on the disk may change under it: an entry has been
// examined and is about to be opened or removed; a file's passes are done and it is about to
// be checked and truncated. When set, the hook is called at each, on the walk's thread, with
// the entry's directory and name, so that tests can change the entry in exactly that window.
enum class walk_stage { examined, overwritten };
using walk_hook_function = void (*)(walk_stage stage, int dirfd, const char *name);
extern constinit thread_local walk_hook_function walk_hook;

// Walks the NULL-terminated operand list (trailing slashes stripped in place) and removes
// every entry. Returns 0 when everything is gone, nonzero when anything stays: a failure, an
// entry skipped or left in place (FIFOs, sockets, devices, other file systems), or a walk
// that could not start. A missing operand under OPT_FORCE is not a failure. A directory takes
// its random name only once it is empty, so whatever stays keeps its own name.
int remove_tree(char **operands);
// Nonzero to go ahead with the entry `name` of `dirfd` (`path` for messages), 0 to skip it.
int prompt_file(int dirfd, const char *name, const char *path, entry_kind kind);
int check_writable(int dirfd, const char *name, const char *path);
int ask_yes(const char *question);
// Overwrites, truncates, renames and unlinks one non-directory. 0, or -1 with errno
// (EMLINK: the name was removed but the data, shared with another link, was not overwritten;
// EBUSY: the file grew or was written to while it was overwritten, and stays as it is).
int secure_remove_file_at(int dirfd, const char *name, const char *path);
int secure_remove_file(const char *path);
// Moves the entry to a free random 14-character name in its directory, flushes, then removes
// it. 0, or -1 with errno; a directory that is not empty keeps its name (ENOTEMPTY), and
// after a failed removal anything else stays under its random name.
int rename_unlink_at(int dirfd, const char *name, const char *path);
int rename_unlink(const char *path);
// Removes trailing '/' in place, never leaving the string empty.
void strip_trailing_slashes(char *path);

}  // namespace quillon::engine
