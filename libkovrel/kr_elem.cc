// Element trees: the record every request and reply is made of, its
// ownership rules and the structural operations.

#include "kovrel.h"

#include "adt_assert.h"
#include "pool.h"
#include "stab.h"

#include <cerrno>
#include <cstring>

namespace {

// Zeroed element; `copy_name` chooses between a heap copy and the caller's
// pointer. errno is set on failure.
kr_elem_t *kr_elem_create(const char *name, bool copy_name) {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *e = static_cast<kr_elem_t *>(pool_zalloc(pool_default(), sizeof(kr_elem_t)));
    if (e == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (!copy_name) {
        e->name = name;
        e->name_is_const = 1;
        return e;
    }
    e->name = pstrdup(pool_default(), name);
    if (e->name == nullptr) {
        pool_free(pool_default(), e);
        errno = ENOMEM;
        return nullptr;
    }
    return e;
}

} // namespace

extern "C" {

kr_elem_t *kr_elem_new(const char *name) {
    return kr_elem_create(name, true);
}

kr_elem_t *kr_elem_new_const_name(const char *name) {
    return kr_elem_create(name, false);
}

void kr_elem_free(kr_elem_t *n) {
    if (n == nullptr)
        return;
    if (!n->name_is_const)
        pool_free(pool_default(), n->name);
    if (n->attr != nullptr)
        stab_delete(n->attr);
    pool_free(pool_default(), n->contents);
    // Siblings are walked iteratively; only depth recurses.
    for (kr_elem_t *child = n->children; child != nullptr;) {
        kr_elem_t *next = child->next;
        kr_elem_free(child);
        child = next;
    }
    memset(n, 0, sizeof *n);
    pool_free(pool_default(), n);
}

const char *kr_elem_get_name(kr_elem_t *e) {
    if (e == nullptr)
        return nullptr;
    return e->name != nullptr ? e->name : "";
}

const char *kr_elem_get_content(kr_elem_t *e) {
    if (e == nullptr)
        return nullptr;
    return e->contents != nullptr ? e->contents : "";
}

int kr_elem_set_content(kr_elem_t *e, const char *value) {
    if (e == nullptr || value == nullptr) {
        errno = EINVAL;
        return 0;
    }
    char *copy = pstrdup(pool_default(), value);
    if (copy == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    // The copy is made before the old contents go, so a value that points
    // into the old contents is safe.
    pool_free(pool_default(), e->contents);
    e->contents = copy;
    return 1;
}

int kr_attr_set(kr_elem_t *e, const char *name, const char *value) {
    if (e == nullptr || name == nullptr || value == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (e->attr == nullptr) {
        e->attr = stab_new(nullptr);
        if (e->attr == nullptr) {
            errno = ENOMEM;
            return 0;
        }
    }
    return stab_add(e->attr, name, value) == STAB_OK;
}

const char *kr_attr_get(kr_elem_t *e, const char *name) {
    if (e == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (e->attr == nullptr)
        return nullptr;
    return stab_get(e->attr, name);
}

kr_elem_t *kr_child_add(kr_elem_t *t, kr_elem_t *c) {
    if (t == nullptr || c == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    ADT_ASSERT(c->next == ((void *)0));
    if (t->lastchild == nullptr) {
        ADT_ASSERT(t->children == ((void *)0));
        t->children = c;
    } else {
        t->lastchild->next = c;
    }
    t->lastchild = c;
    return c;
}

kr_elem_t *kr_elem_child(kr_elem_t *e, const char *name) {
    if (e == nullptr || name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    for (kr_elem_t *child = e->children; child != nullptr; child = child->next) {
        if (child->name != nullptr && strcmp(child->name, name) == 0)
            return child;
    }
    return nullptr;
}

int kr_elem_has_children(kr_elem_t *e) {
    if (e == nullptr) {
        errno = EINVAL;
        return 0;
    }
    return e->children != nullptr;
}

kr_elem_iter_t kr_child_iterator(kr_elem_t *n) {
    kr_elem_iter_t iter = {n != nullptr ? n->children : nullptr};
    return iter;
}

kr_elem_t *kr_iterator_next(kr_elem_iter_t *i) {
    ADT_ASSERT(i != ((void *)0));
    kr_elem_t *current = i->next;
    if (current != nullptr)
        i->next = current->next;
    return current;
}

void kr_child_detach(kr_elem_t *parent, kr_elem_t *todetach) {
    if (parent == nullptr || todetach == nullptr) {
        errno = EINVAL;
        return;
    }
    kr_elem_t *previous = nullptr;
    for (kr_elem_t *child = parent->children; child != nullptr;
         previous = child, child = child->next) {
        if (child != todetach)
            continue;
        if (previous == nullptr)
            parent->children = child->next;
        else
            previous->next = child->next;
        if (parent->lastchild == child)
            parent->lastchild = previous;
        child->next = nullptr;
        return;
    }
}

void kr_child_reattach_all(kr_elem_t *parent, kr_elem_t *new_parent) {
    if (parent == nullptr || new_parent == nullptr) {
        errno = EINVAL;
        return;
    }
    // Moving a list onto itself would close a cycle.
    if (parent->children == nullptr || parent == new_parent)
        return;
    if (new_parent->lastchild != nullptr)
        new_parent->lastchild->next = parent->children;
    else
        new_parent->children = parent->children;
    new_parent->lastchild = parent->lastchild;
    parent->children = nullptr;
    parent->lastchild = nullptr;
}

void kr_free(const void *ptr) {
    pool_free(pool_default(), ptr);
}

qapi_t *kr_apicontext_new(qapi_server_t *server, const char *username) {
    if (server == nullptr || username == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    auto *context = static_cast<qapi_t *>(pool_zalloc(pool_default(), sizeof(qapi_t)));
    if (context == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    context->server = server;
    context->username = pstrdup(pool_default(), username);
    if (context->username == nullptr) {
        pool_free(pool_default(), context);
        errno = ENOMEM;
        return nullptr;
    }
    return context;
}

void kr_apicontext_free(qapi_t *n) {
    if (n == nullptr)
        return;
    pool_free(pool_default(), n->username);
    pool_free(pool_default(), n->appname);
    pool_free(pool_default(), n->api_intent);
    memset(n, 0, sizeof *n);
    pool_free(pool_default(), n);
}

void kr_qapi_log(qapi_t *context, int flag, const char *message) {
    if (context == nullptr || context->server == nullptr || message == nullptr)
        return;
    const qapi_server_t *server = context->server;
    if (server->logger != nullptr && (server->logger_flags & flag) != 0)
        server->logger(server->logger_arg, flag, message);
}

} // extern "C"
