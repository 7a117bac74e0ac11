// Intrusive doubly-linked list with head and tail sentinels.
//
// Items embed a list_link_t at a fixed offset (l_offset); the list never
// allocates per item. The list has no lock: its users lock.
#pragma once

#include "adt_types.h"

#include <cstddef>

typedef struct _list_link_struct {
    struct _list_link_struct *ll_next;
    struct _list_link_struct *ll_prev;
} list_link_t;

typedef void (*list_destructor_t)(void *item);
typedef void (*list_apply_func_t)(void *item, void *arg);

typedef struct _list_struct {
    list_link_t l_head;
    list_link_t l_tail;
    offset_t l_offset;
    size_t l_size;
    list_destructor_t l_destructor;
} list_t;

typedef struct {
    list_link_t *li_next;
} list_iter_t;

void list_init(list_t *list, offset_t off, list_destructor_t dtor);
list_t *list_new(offset_t off, list_destructor_t dtor);
void list_delete(list_t *list);
void list_empty(list_t *list);
void list_delete_item(list_t *list, void *item);
void list_apply(list_t *list, list_apply_func_t func, void *arg);
void *list_first(list_t *list, list_iter_t *iter);
void *list_next(list_t *list, list_iter_t *iter);
size_t list_size(list_t *list);
list_destructor_t list_destructor(list_t *list);
void list_append(list_t *list, void *item);
void list_prepend(list_t *list, void *item);
void *list_remove(list_t *list, void *item);
