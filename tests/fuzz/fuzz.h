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

#endif
