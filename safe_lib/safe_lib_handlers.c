/* Constraint handler slots of the bounds-checked routines. */
#include "safe_lib.h"

#include <stdio.h>

static constraint_handler_t mem_handler = kavri_safe_api_error_handler;
static constraint_handler_t str_handler = kavri_safe_api_error_handler;

void kavri_safe_api_error_handler(const char* msg, void* ptr, int error)
{
    (void)ptr;
    printf("%s: [%d] %s\n", "kavri_safe_api_error_handler", error, msg ? msg : "");
}

void ignore_handler_s(const char* msg, void* ptr, int error)
{
    (void)msg;
    (void)ptr;
    (void)error;
}

constraint_handler_t set_mem_constraint_handler_s(constraint_handler_t handler)
{
    constraint_handler_t previous = mem_handler;
    mem_handler = handler ? handler : ignore_handler_s;
    return previous;
}

constraint_handler_t set_str_constraint_handler_s(constraint_handler_t handler)
{
    constraint_handler_t previous = str_handler;
    str_handler = handler ? handler : ignore_handler_s;
    return previous;
}

void invoke_safe_mem_constraint_handler(const char* msg, void* ptr, int error)
{
    if (mem_handler)
        mem_handler(msg, ptr, error);
}

void invoke_safe_str_constraint_handler(const char* msg, void* ptr, int error)
{
    if (str_handler)
        str_handler(msg, ptr, error);
}
