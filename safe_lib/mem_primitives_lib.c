/* Fill and move primitives. Lengths are size_t throughout so that sizes of
 * 4 GiB or more are never silently truncated. */
#include "safe_lib.h"

#include <string.h>

void mem_prim_set(void* dest, size_t length, uint8_t value)
{
    uint8_t* p = (uint8_t*)dest;
    while (length && ((uintptr_t)p & 3u)) {
        *p++ = value;
        --length;
    }
    const uint32_t word = 0x01010101u * value;
    for (; length >= 4; length -= 4, p += 4)
        memcpy(p, &word, 4);
    while (length--)
        *p++ = value;
}

void mem_prim_set16(uint16_t* dest, size_t count, uint16_t value)
{
    while (count--)
        *dest++ = value;
}

void mem_prim_set32(uint32_t* dest, size_t count, uint32_t value)
{
    while (count--)
        *dest++ = value;
}

void mem_prim_move(void* dest, const void* src, size_t length)
{
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)src;
    if (d == s || length == 0)
        return;
    if (d < s || d >= s + length) {
        /* Forward copy: word-sized where both are equally aligned. */
        if ((((uintptr_t)d ^ (uintptr_t)s) & 3u) == 0) {
            while (length && ((uintptr_t)d & 3u)) {
                *d++ = *s++;
                --length;
            }
            for (; length >= 4; length -= 4, d += 4, s += 4) {
                uint32_t w;
                memcpy(&w, s, 4);
                memcpy(d, &w, 4);
            }
        }
        while (length--)
            *d++ = *s++;
    } else {
        /* Backward copy: the destination overlaps the source's tail. */
        d += length;
        s += length;
        if ((((uintptr_t)d ^ (uintptr_t)s) & 3u) == 0) {
            while (length && ((uintptr_t)d & 3u)) {
                *--d = *--s;
                --length;
            }
            for (; length >= 4; length -= 4) {
                uint32_t w;
                d -= 4;
                s -= 4;
                memcpy(&w, s, 4);
                memcpy(d, &w, 4);
            }
        }
        while (length--)
            *--d = *--s;
    }
}

void mem_prim_move8(uint8_t* dest, const uint8_t* src, size_t count)
{
    mem_prim_move(dest, src, count);
}

void mem_prim_move16(uint16_t* dest, const uint16_t* src, size_t count)
{
    mem_prim_move(dest, src, count * sizeof(uint16_t));
}

void mem_prim_move32(uint32_t* dest, const uint32_t* src, size_t count)
{
    mem_prim_move(dest, src, count * sizeof(uint32_t));
}
