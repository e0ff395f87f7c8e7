// The few memory routines the compiler may call on its own in a build
// without the C runtime. Compiled with -fno-builtin and without loop-pattern
// recognition, so none of them can turn into a call to itself.
#include <stddef.h>

extern "C" {

void *memcpy(void *destination, const void *source, size_t count) {
    unsigned char *d = (unsigned char *)destination;
    const unsigned char *s = (const unsigned char *)source;
    while (count--) *d++ = *s++;
    return destination;
}

void *memmove(void *destination, const void *source, size_t count) {
    unsigned char *d = (unsigned char *)destination;
    const unsigned char *s = (const unsigned char *)source;
    if (d < s) {
        while (count--) *d++ = *s++;
    } else {
        while (count--) d[count] = s[count];
    }
    return destination;
}

void *memset(void *destination, int value, size_t count) {
    unsigned char *d = (unsigned char *)destination;
    while (count--) *d++ = (unsigned char)value;
    return destination;
}

int memcmp(const void *a, const void *b, size_t count) {
    const unsigned char *x = (const unsigned char *)a;
    const unsigned char *y = (const unsigned char *)b;
    for (; count--; x++, y++)
        if (*x != *y) return *x - *y;
    return 0;
}

}
