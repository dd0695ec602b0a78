// The trust boundary: what korvalt and the library hand to the shell and take back from files that anyone, a USB
// stick or another process of the device, may have put there. Whoever reviews what a hostile stick or neighbour
// can do reads this unit; the rest of the programs use nothing else to run a command or read a scratch file.
#ifndef KORVALT_TRUST_H
#define KORVALT_TRUST_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// Scratch files: the fixed names under /tmp that a command's output is redirected into and read back from.
// Processes take turns with them: a caller holds scratch_lock() from the command to the last read of its output.
// Locks nest within a process; when /tmp cannot be locked the caller goes on unlocked.
void scratch_lock(void);
void scratch_unlock(void);
// Runs cmd, whose redirect writes scratch, on a scratch file made anew. Without cmd, only makes it anew (empty).
// Returns 0, and runs nothing, when the file cannot be made: then what stands there is not to be read.
int run_into(const char *cmd, const char *scratch);
// Opens a file for reading, closed on exec; null unless it is a regular file, and under /tmp unless it is one
// itself rather than a link. Never waits.
FILE *open_for_reading(const char *path);

// Writes word into out as one single-quoted shell word that the shell passes on untouched. Returns the length
// written, or -1 (and "" in out) when it does not fit in size bytes.
int shell_quote(char *out, size_t size, const char *word);

#ifdef __cplusplus
}

// Reads one line of at most size-1 characters, newline included; the rest of a longer line is dropped. false at
// the end of the file.
bool read_line(FILE *fp, char *line, size_t size);
#endif

// Room that shell_quote needs for a word of len characters: every quote may become four characters, plus the two
// enclosing quotes and the terminator.
#define SHELL_QUOTED_SIZE(len) (4 * (len) + 3)

#endif
