// The trust boundary: scratch files made anew and locked, the only files read back from /tmp, the shell quoting of
// an untrusted word, and a line reader that never trusts a line's length.

#include "trust.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Any process of the device may plant a link or a FIFO in /tmp; the kernel's files and the callers' own paths may
// be links. A FIFO would make the read wait for ever, so nothing but a regular file is read, and nothing is kept
// open for the commands that run meanwhile.
FILE *open_for_reading(const char *path)
{
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (strncmp(path, "/tmp/", 5) == 0)
        flags |= O_NOFOLLOW;
    int fd = open(path, flags);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *fp = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? fdopen(fd, "r") : nullptr;
    if (!fp)
        close(fd);
    return fp;
}

// One descriptor of /tmp per process holds the lock: a lock belongs to one open description, so a nested user that
// opened /tmp again would wait on itself. It is closed on exec, or a command that outlives its caller would keep
// the lock. /tmp itself is what is locked, as the one folder every scratch file lies in; the lock is advisory: it
// orders korvalt's and the library's own runs and keeps no other process from /tmp.
static int lock_fd;
static int lock_depth;

void scratch_lock(void)
{
    if (lock_depth++ > 0)
        return;
    lock_fd = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    flock(lock_fd, LOCK_EX);
}

void scratch_unlock(void)
{
    if (lock_depth > 0 && --lock_depth == 0)
        close(lock_fd);
}

// The old file goes first, so a command that cannot run (no shell, no memory to fork) leaves nothing to be taken for
// its output. Then this process makes the file itself, exclusively and without following links: the redirect
// then truncates a plain file of ours, which in a sticky /tmp no one else can replace, never a link or a FIFO
// that someone planted there, even after the removal. Only root writes it, whatever the umask, so no one else can
// forge its content either. Output that is still buffered would come out after whatever the command prints.
int run_into(const char *cmd, const char *scratch)
{
    unlink(scratch);
    int fd = open(scratch, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    close(fd);
    if (cmd) {
        fflush(stdout);
        system(cmd);
    }
    return 1;
}

// Single quotes keep every character literal, so the only one to take care of is the quote itself, written as
// '\'' (close, escaped quote, reopen). The word is always quoted, even when harmless, so that it stays one word
// whatever it holds, the empty word included.
int shell_quote(char *out, size_t size, const char *word)
{
    size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size)
            out[n] = c;
        n++;
    };

    put('\'');
    for (const char *p = word; *p; p++) {
        if (*p == '\'') {
            put('\'');
            put('\\');
            put('\'');
        }
        put(*p);
    }
    put('\'');
    if (n + 1 > size) {
        if (size)
            out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return (int)n;
}

// The rest of a longer line is dropped so that its tail is never taken for a line of its own: a long USB product
// name must not pose as a "Serial Number:" line.
bool read_line(FILE *fp, char *line, size_t size)
{
    size_t n = 0;
    int c = EOF;
    while ((c = getc(fp)) != EOF) {
        if (n + 1 < size)
            line[n++] = (char)c;
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    return n > 0 || c != EOF;
}
