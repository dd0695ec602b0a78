// What the fuzz targets share: a failed check stops the run with the input saved as a finding.
#ifndef KORVALT_FUZZ_H
#define KORVALT_FUZZ_H

#include <stdio.h>
#include <stdlib.h>

#define CHECK(cond)                                                                                               \
    do {                                                                                                          \
        if (!(cond)) {                                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                             \
            abort();                                                                                              \
        }                                                                                                         \
    } while (0)

// The input as a stream, as korvalt reads a kernel file; null for an empty input.
static inline FILE *open_input(const unsigned char *data, size_t size)
{
    if (size == 0)
        return nullptr;
    FILE *fp = fmemopen(const_cast<unsigned char *>(data), size, "r");
    CHECK(fp);
    return fp;
}

#endif
