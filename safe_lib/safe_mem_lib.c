/* Bounds-checked memory copy. */
#include "safe_lib.h"

int kavri_memcpy_s(void* dest, size_t dmax, const void* src, size_t smax)
{
    uint8_t* d = (uint8_t*)dest;
    const uint8_t* s = (const uint8_t*)src;

    if (d == NULL) {
        invoke_safe_mem_constraint_handler("kavri_memcpy_s: dest is NULL", NULL, ESNULLP);
        return ESNULLP;
    }
    if (smax == 0)
        return 0;
    if (smax > dmax) {
        mem_prim_set(d, dmax, 0);
        invoke_safe_mem_constraint_handler("kavri_memcpy_s: smax exceeds dmax", NULL, ESLEMAX);
        return ESLEMAX;
    }
    if (s == NULL) {
        mem_prim_set(d, dmax, 0);
        invoke_safe_mem_constraint_handler("kavri_memcpy_s: src is NULL", NULL, ESNULLP);
        return ESNULLP;
    }
    /* Compare as integers: the ranges may belong to different objects. */
    const uintptr_t di = (uintptr_t)d, si = (uintptr_t)s;
    if ((di > si && di < si + smax) || (si > di && si < di + dmax)) {
        mem_prim_set(d, dmax, 0);
        invoke_safe_mem_constraint_handler("kavri_memcpy_s: overlap undefined", NULL, ESOVRLP);
        return ESOVRLP;
    }
    mem_prim_move(d, s, smax);
    return 0;
}
