/*
 * Bounds-checked memory and string routines.
 *
 * Each routine checks its arguments in a fixed order, reports the first
 * violation to the constraint handler of its kind (memory or string) and
 * leaves the destination in a defined state. The handler slots are plain
 * globals: set them once at start-up, before other threads exist.
 */
#ifndef KAVRI_SAFE_LIB_H
#define KAVRI_SAFE_LIB_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes, returned and passed to the constraint handlers. */
#define ESNULLP  400 /* a required pointer is null */
#define ESZEROL  401 /* a size or count is zero */
#define ESLEMAX  403 /* the source size exceeds the destination size */
#define ESOVRLP  404 /* source and destination overlap */
#define ESEMPTY  405 /* an input text is empty */
#define ESNOSPC  406 /* not enough space in the destination */
#define ESNOTIMPL 409 /* not implemented on this platform */

typedef void (*constraint_handler_t)(const char* msg, void* ptr, int error);

constraint_handler_t set_mem_constraint_handler_s(constraint_handler_t handler);
constraint_handler_t set_str_constraint_handler_s(constraint_handler_t handler);

void invoke_safe_mem_constraint_handler(const char* msg, void* ptr, int error);
void invoke_safe_str_constraint_handler(const char* msg, void* ptr, int error);

/* Prints "kavri_safe_api_error_handler: [code] msg" on standard output. */
void kavri_safe_api_error_handler(const char* msg, void* ptr, int error);
/* Does nothing; installed when a null handler is set. */
void ignore_handler_s(const char* msg, void* ptr, int error);

int kavri_memcpy_s(void* dest, size_t dmax, const void* src, size_t smax);
int kavri_strncpy_s(char* dest, size_t dmax, const char* src, size_t slen);
size_t kavri_strnlen_s(const char* s, size_t dmax);
int kavri_sprintf_s(char* buffer, size_t maxlen, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

int kavri_safe_api_strcincmp_s(const char* a, const char* b, size_t count);
/* Not implemented on this platform: always -1. */
int kavri_safe_api_sscanf_regex(const char* text, size_t text_max,
                                const char* pattern, void** storage,
                                int storage_count);

/* Primitives under the checked routines. Lengths are byte or unit counts. */
void mem_prim_set(void* dest, size_t length, uint8_t value);
void mem_prim_set16(uint16_t* dest, size_t count, uint16_t value);
void mem_prim_set32(uint32_t* dest, size_t count, uint32_t value);
void mem_prim_move(void* dest, const void* src, size_t length);
void mem_prim_move8(uint8_t* dest, const uint8_t* src, size_t count);
void mem_prim_move16(uint16_t* dest, const uint16_t* src, size_t count);
void mem_prim_move32(uint32_t* dest, const uint32_t* src, size_t count);

#ifdef __cplusplus
}
#endif

#endif
