/* Both public headers together in a C11 translation unit. */
#include <kovrel/cq_api.h>
#include <kovrel/kovrel.h>

#include <stddef.h>

_Static_assert(sizeof(bool_t) == 4, "bool_t is a 32-bit int");

int main(void) {
    kr_elem_iter_t iter = {NULL};
    cq_start_args_t args = {0};
    kr_free(NULL);
    return iter.next == NULL && args.maxdiffs == 0 ? 0 : 1;
}
