/* Bounds-checked string copy, length, formatting and comparison. */
#include "safe_lib.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>

int kavri_strncpy_s(char* dest, size_t dmax, const char* src, size_t slen)
{
    if (dest == NULL) {
        invoke_safe_str_constraint_handler("kavri_strncpy_s: dest is null", NULL, ESNULLP);
        return ESNULLP;
    }
    if (dmax == 0) {
        invoke_safe_str_constraint_handler("kavri_strncpy_s: dmax is 0", NULL, ESZEROL);
        return ESZEROL;
    }
    if (src == NULL) {
        dest[0] = '\0';
        invoke_safe_str_constraint_handler("kavri_strncpy_s: src is null", NULL, ESNULLP);
        return ESNULLP;
    }
    if (slen == 0) {
        dest[0] = '\0';
        invoke_safe_str_constraint_handler("kavri_strncpy_s: slen is zero", NULL, ESZEROL);
        return ESZEROL;
    }
    if (dest == src) {
        dest[0] = '\0';
        invoke_safe_str_constraint_handler("kavri_strncpy_s: overlapping objects", NULL, ESOVRLP);
        return ESOVRLP;
    }

    const uintptr_t di = (uintptr_t)dest, si = (uintptr_t)src;
    for (size_t i = 0; i < dmax; ++i) {
        /* The cursor of the lower object must not run into the other one. */
        if ((di < si && di + i == si) || (si < di && si + i == di)) {
            dest[0] = '\0';
            invoke_safe_str_constraint_handler("kavri_strncpy_s: overlapping objects", NULL, ESOVRLP);
            return ESOVRLP;
        }
        if (i == slen) {
            dest[i] = '\0';
            return 0;
        }
        dest[i] = src[i];
        if (dest[i] == '\0')
            return 0;
    }
    dest[0] = '\0';
    invoke_safe_str_constraint_handler("kavri_strncpy_s: not enough space for src", NULL, ESNOSPC);
    return ESNOSPC;
}

size_t kavri_strnlen_s(const char* s, size_t dmax)
{
    if (s == NULL)
        return 0;
    if (dmax == 0) {
        invoke_safe_str_constraint_handler("kavri_strnlen_s: dmax is 0", NULL, ESZEROL);
        return 0;
    }
    size_t n = 0;
    while (n < dmax && s[n] != '\0')
        ++n;
    return n;
}

int kavri_sprintf_s(char* buffer, size_t maxlen, const char* format, ...)
{
    if (buffer == NULL) {
        invoke_safe_str_constraint_handler("kavri_sprintf_s: buffer is NULL", NULL, ESNULLP);
        return -1;
    }
    if (maxlen == 0) {
        invoke_safe_str_constraint_handler(
            "kavri_sprintf_s: buffer size n is less than or equal to zero", NULL, ESZEROL);
        return -1;
    }
    va_list ap;
    va_start(ap, format);
    const int written = vsnprintf(buffer, maxlen, format, ap);
    va_end(ap);
    if (written < 0)
        invoke_safe_str_constraint_handler("kavri_sprintf_s: not enough space", NULL, ESNOSPC);
    buffer[maxlen - 1] = '\0';
    if (written >= 0 && (size_t)written < maxlen)
        return written;
    return -1;
}

int kavri_safe_api_strcincmp_s(const char* a, const char* b, size_t count)
{
    if (a == NULL) {
        invoke_safe_str_constraint_handler("kavri_strcasecmp_s: dest is null", NULL, ESNULLP);
        return ESNULLP;
    }
    if (b == NULL) {
        invoke_safe_str_constraint_handler("kavri_strcasecmp_s: src is null", NULL, ESNULLP);
        return ESNULLP;
    }
    if (count == 0) {
        invoke_safe_str_constraint_handler("kavri_strcasecmp_s: count is 0", NULL, ESZEROL);
        return ESZEROL;
    }
    for (size_t i = 0; i < count; ++i) {
        const int ca = toupper((unsigned char)a[i]);
        const int cb = toupper((unsigned char)b[i]);
        if (ca != cb)
            return ca - cb;
        if (ca == 0)
            break;
    }
    return 0;
}

int kavri_safe_api_sscanf_regex(const char* text, size_t text_max,
                                const char* pattern, void** storage,
                                int storage_count)
{
    (void)pattern;
    (void)storage;
    enum { max_storage = 10 };
    if (storage_count > max_storage) {
        printf("%s: n_storage_provided(%d) is bigger than maximum(%d)",
               "kavri_safe_api_sscanf_regex", storage_count, max_storage);
        return -1;
    }
    if (text == NULL || text_max == 0 || text[0] == '\0') {
        invoke_safe_str_constraint_handler(
            "kavri_safe_api_sscanf_regex: string_for_checking has zero length", NULL, ESEMPTY);
        return -1;
    }
    invoke_safe_str_constraint_handler(
        "kavri_safe_api_sscanf_regex: Please customize implementation of RegEx API for your platform",
        NULL, ESNOTIMPL);
    return -1;
}
