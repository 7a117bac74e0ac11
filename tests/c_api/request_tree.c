/* A C11 caller of the installed library: builds a request tree, writes it as
 * XML, reads the text back into a tree and checks every value on the way.
 * Exits 0 when everything matched; otherwise prints what differed. */
#include <kovrel/cq_api.h>
#include <kovrel/kovrel.h>

#include <errno.h>
#include <stdio.h>
#include <string.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

int main(void) {
    kr_elem_t *request = kr_elem_new("volume-create");
    CHECK(request != NULL);
    CHECK(kr_child_add_string(request, "volume", "vol<1>&") != NULL);
    CHECK(kr_child_add_int64(request, "size", -9223372036854775807LL - 1) != NULL);
    CHECK(kr_child_add_uint32(request, "count", 4294967295u) != NULL);
    CHECK(kr_child_add_bool(request, "thin", 2) != NULL);
    CHECK(kr_child_add_string_encrypted(request, "password", "s3cret", NULL) != NULL);
    kr_elem_t *options = kr_child_add(request, kr_elem_new("options"));
    CHECK(options != NULL);
    CHECK(kr_attr_set(options, "kind", "a\"b") == 1);

    char *text = kr_elem_encode(request, -1, "");
    CHECK(text != NULL);
    CHECK(text != NULL && strstr(text, "<volume>vol&lt;1&gt;&amp;</volume>") != NULL);
    CHECK(text != NULL && strstr(text, "<size>-9223372036854775808</size>") != NULL);
    CHECK(text != NULL && strstr(text, "<thin>true</thin>") != NULL);

    /* Attribute values are written as stored; store them escaped. */
    char *escaped = xml_encode("a\"b");
    CHECK(escaped != NULL && strcmp(escaped, "a&quot;b") == 0);
    CHECK(kr_attr_set(options, "kind", escaped) == 1);
    kr_free(escaped);
    kr_free(text);
    text = kr_elem_encode(request, -1, "");

    kr_elem_t *copy = kr_qapi_get_elem_from_raw_xmlinput(text);
    CHECK(copy != NULL);
    if (copy != NULL) {
        CHECK(strcmp(kr_elem_get_name(copy), "volume-create") == 0);
        CHECK(strcmp(kr_child_get_string(copy, "volume"), "vol<1>&") == 0);
        CHECK(kr_child_get_int64(copy, "size", 0) == -9223372036854775807LL - 1);
        CHECK(kr_child_get_uint32(copy, "count", 0) == 4294967295u);
        CHECK(kr_child_get_bool(copy, "thin", 0) == 1);
        char *password = kr_child_get_string_encrypted(copy, "password", NULL);
        CHECK(password != NULL && strcmp(password, "s3cret") == 0);
        kr_free(password);
        CHECK(strcmp(kr_attr_get(kr_elem_child(copy, "options"), "kind"), "a\"b") == 0);
        CHECK(kr_child_get_int(copy, "missing", 42) == 42);
        kr_elem_free(copy);
    }
    kr_free(text);
    kr_elem_free(request);

    kr_elem_t *results = kr_results_new("failed", "a<b", 13001);
    CHECK(results != NULL);
    char *compact = kr_elem_encode(results, -1, "");
    CHECK(compact != NULL &&
          strcmp(compact, "<results reason=\"a&lt;b\" errno=\"13001\" status=\"failed\"/>") == 0);
    kr_free(compact);
    CHECK(kr_results_status(results) == 0);
    CHECK(kr_results_errno(results) == 13001);
    CHECK(strcmp(kr_results_reason(results), "a<b") == 0);
    kr_elem_free(results);

    char message[64];
    kr_error_string(404, KR_SERVER_TRANSPORT_HTTPS, 0, message, (int)sizeof message);
    CHECK(strcmp(message, "HTTP POST - URL not found") == 0);
    CHECK(kr_transport_errcode_to_api_errcode(401) == 13002);

    errno = 0;
    CHECK(kr_elem_new(NULL) == NULL && errno == EINVAL);

    if (failures == 0)
        printf("request tree round trip ok\n");
    return failures == 0 ? 0 : 1;
}
