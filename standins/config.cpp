// Stand-in for the device's configuration store library, libconfig.so, for PCs and simulated devices.
//
// The store is a plain text file of KEY=VALUE lines at one fixed path, STORE_PATH ("/var/config/store" unless the
// build says otherwise). The key ends at the first '='; the value is the rest of the line and may hold any
// character but a newline. When a key stands on several lines the last one counts. An unset key, or a missing
// store, reads as "".
//
// The file is read again on every call, so a test may change it between calls. Callers may keep a value past later
// calls, so every distinct value handed out is kept for the life of the process and handed out again when it
// comes up again.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "config.h"

#ifndef STORE_PATH
#define STORE_PATH "/var/config/store"
#endif

// A value handed out by config_get; never freed.
struct Kept {
    Kept *next;
    char *text;
};

static Kept *kept;

// The key's value as a fresh malloc'd text, or null when the key is unset.
static char *read_value(const char *name)
{
    size_t len = strlen(name);
    if (len == 0 || strpbrk(name, "=\n"))
        return nullptr;
    FILE *fp = fopen(STORE_PATH, "r");
    if (!fp)
        return nullptr;

    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    char *value = nullptr;
    while ((n = getline(&line, &cap, fp)) > 0) {
        if (line[n - 1] == '\n')
            line[--n] = '\0';
        if ((size_t)n > len && memcmp(line, name, len) == 0 && line[len] == '=') {
            free(value);
            value = strdup(line + len + 1);
        }
    }
    free(line);
    fclose(fp);
    return value;
}

extern "C" const char *config_get(const char *name)
{
    char *value = read_value(name);
    if (!value || !value[0]) {
        free(value);
        return "";
    }
    for (Kept *k = kept; k; k = k->next) {
        if (strcmp(k->text, value) == 0) {
            free(value);
            return k->text;
        }
    }
    Kept *k = (Kept *)malloc(sizeof *k);
    if (!k) {
        free(value);
        return "";
    }
    *k = Kept{kept, value};
    kept = k;
    return value;
}

extern "C" int config_match(const char *name, const char *value)
{
    char *own = read_value(name);
    int same = strcmp(own ? own : "", value) == 0;
    free(own);
    return same;
}
