/* A C11 caller of the shared library invoking an API over the stream-socket
 * protocol, then using the exported socket calls directly, against a peer on
 * 127.0.0.1 at the port given on the command line. The peer answers both
 * connections with a passed result carrying <version>9.6</version>.
 * Exits 0 when everything matched; otherwise prints what differed. */
#include <kovrel/kovrel.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    const int port = atoi(argv[1]);

    kr_server_t *s = kr_server_open("127.0.0.1", 1, 15);
    CHECK(s != NULL);
    if (s == NULL)
        return 1;
    CHECK(kr_server_set_transport_type(s, KR_SERVER_TRANSPORT_VAV, NULL) == 1);
    CHECK(kr_server_get_style(s) == KR_STYLE_VAV);
    CHECK(kr_server_set_port(s, port) == 1);
    CHECK(kr_server_set_timeout(s, 10) == 1);
    CHECK(kr_server_set_admin_user(s, "capi", "pw") == 1);

    kr_elem_t *result = kr_server_invoke(s, "system-get-version", "verbose", "true", NULL);
    CHECK(result != NULL);
    if (result != NULL) {
        CHECK(kr_results_status(result) == 1);
        const char *version = kr_child_get_string(result, "version");
        CHECK(version != NULL && strcmp(version, "9.6") == 0);
        kr_elem_free(result);
    }
    CHECK(kr_server_close(s) == 1);

    shttpc_t sock = NULL;
    CHECK(kr_vav_socket_open("capi", "pw", "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV, port, 10,
                             NULL) == -22);
    CHECK(kr_vav_socket_open("capi", "pw", "127.0.0.1", 0, KR_SERVER_TRANSPORT_VAV, port, 10,
                             &sock) == 0);
    CHECK(sock != NULL);
    if (sock != NULL) {
        int content_length = -1;
        const ssize_t status =
            kr_vav_send_request(sock, "capi", "pw", "<ping/>", 7, &content_length);
        CHECK(status == 200);
        CHECK(content_length == 74);
        kr_vav_socket_close(sock);
    }
    return failures == 0 ? 0 : 1;
}
