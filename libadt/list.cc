#include "list.h"

#include "adt_assert.h"
#include "pool.h"

namespace {

list_link_t *link_of(const list_t *list, void *item) {
    return reinterpret_cast<list_link_t *>(static_cast<char *>(item) + list->l_offset);
}

void *item_of(const list_t *list, list_link_t *link) {
    return reinterpret_cast<char *>(link) - list->l_offset;
}

void link_between(list_t *list, list_link_t *link, list_link_t *prev, list_link_t *next) {
    link->ll_prev = prev;
    link->ll_next = next;
    prev->ll_next = link;
    next->ll_prev = link;
    list->l_size++;
}

} // namespace

void list_init(list_t *list, offset_t off, list_destructor_t dtor) {
    ADT_ASSERT(0 != list);
    list->l_head.ll_prev = nullptr;
    list->l_head.ll_next = &list->l_tail;
    list->l_tail.ll_prev = &list->l_head;
    list->l_tail.ll_next = nullptr;
    list->l_offset = off;
    list->l_size = 0;
    list->l_destructor = dtor;
}

list_t *list_new(offset_t off, list_destructor_t dtor) {
    auto *list = static_cast<list_t *>(pool_alloc(pool_default(), sizeof(list_t)));
    if (list != nullptr)
        list_init(list, off, dtor);
    return list;
}

void list_delete(list_t *list) {
    if (list == nullptr)
        return;
    list_empty(list);
    pool_free(pool_default(), list);
}

void list_empty(list_t *list) {
    if (list == nullptr)
        return;
    list_iter_t iter;
    for (void *item = list_first(list, &iter); item != nullptr; item = list_next(list, &iter)) {
        list_remove(list, item);
        list_delete_item(list, item);
    }
}

void list_delete_item(list_t *list, void *item) {
    if (list != nullptr && list->l_destructor != nullptr)
        list->l_destructor(item);
}

void list_apply(list_t *list, list_apply_func_t func, void *arg) {
    if (list == nullptr || func == nullptr)
        return;
    list_iter_t iter;
    for (void *item = list_first(list, &iter); item != nullptr; item = list_next(list, &iter))
        func(item, arg);
}

void *list_first(list_t *list, list_iter_t *iter) {
    if (list == nullptr)
        return nullptr;
    iter->li_next = list->l_head.ll_next;
    return list_next(list, iter);
}

void *list_next(list_t *list, list_iter_t *iter) {
    if (list == nullptr || iter->li_next == nullptr || iter->li_next == &list->l_tail)
        return nullptr;
    list_link_t *current = iter->li_next;
    // Step past the item before handing it out, so the caller may unlink it.
    iter->li_next = current->ll_next;
    return item_of(list, current);
}

size_t list_size(list_t *list) {
    return list == nullptr ? 0 : list->l_size;
}

list_destructor_t list_destructor(list_t *list) {
    return list == nullptr ? nullptr : list->l_destructor;
}

void list_append(list_t *list, void *item) {
    if (list == nullptr || item == nullptr)
        return;
    link_between(list, link_of(list, item), list->l_tail.ll_prev, &list->l_tail);
}

void list_prepend(list_t *list, void *item) {
    if (list == nullptr || item == nullptr)
        return;
    link_between(list, link_of(list, item), &list->l_head, list->l_head.ll_next);
}

void *list_remove(list_t *list, void *item) {
    if (list == nullptr || item == nullptr)
        return nullptr;
    list_link_t *link = link_of(list, item);
    ADT_ASSERT(0 != link->ll_prev);
    ADT_ASSERT(0 != link->ll_next);
    link->ll_prev->ll_next = link->ll_next;
    link->ll_next->ll_prev = link->ll_prev;
    link->ll_next = nullptr;
    link->ll_prev = nullptr;
    list->l_size--;
    return item;
}
