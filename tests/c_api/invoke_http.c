/* A C11 caller of the installed library invoking an API over HTTP or HTTPS.
 *
 * Usage: invoke_http HOST PORT http|https [CAFILE]
 *
 * Starts the library, opens a handle for HOST and PORT with Basic
 * credentials, chooses the transport (with CAFILE the server's certificate
 * and name are verified), invokes "system-get-version" with one name/value
 * pair and prints "status=<passed|failed> errno=<n> version=<text>" (or the
 * reason instead of the version). Exits 0 when the call passed, 1 when it
 * failed, 2 on a usage or set-up error. */
#include <kovrel/kovrel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5 || (strcmp(argv[3], "http") != 0 && strcmp(argv[3], "https") != 0)) {
        fprintf(stderr, "usage: invoke_http HOST PORT http|https [CAFILE]\n");
        return 2;
    }
    const int https = strcmp(argv[3], "https") == 0;
    char errbuff[128];
    if (!kr_startup(errbuff, sizeof errbuff)) {
        fprintf(stderr, "kr_startup failed\n");
        return 2;
    }
    int rc = 2;
    kr_elem_t *out = NULL;
    kr_server_t *s = kr_server_open(argv[1], 1, 31);
    if (s == NULL)
        goto done;
    if (!kr_server_set_transport_type(
            s, https ? KR_SERVER_TRANSPORT_HTTPS : KR_SERVER_TRANSPORT_HTTP, NULL) ||
        !kr_server_set_port(s, atoi(argv[2])) || !kr_server_set_timeout(s, 10) ||
        !kr_server_set_admin_user(s, "admin", "secret")) {
        fprintf(stderr, "handle set-up failed\n");
        goto done;
    }
    if (argc == 5 &&
        (!kr_server_set_server_cert_verification(s, 1) || !kr_server_set_ca_certs(s, argv[4]))) {
        fprintf(stderr, "certificate set-up failed\n");
        goto done;
    }

    out = kr_server_invoke(s, "system-get-version", "detail", "true", NULL);
    if (out == NULL) {
        fprintf(stderr, "kr_server_invoke returned null\n");
        goto done;
    }
    if (kr_results_status(out)) {
        printf("status=passed errno=%d version=%s\n", kr_results_errno(out),
               kr_child_get_string(out, "version"));
        rc = 0;
    } else {
        printf("status=failed errno=%d reason=%s\n", kr_results_errno(out), kr_results_reason(out));
        rc = 1;
    }
    kr_elem_free(out);
done:
    if (s != NULL)
        kr_server_close(s);
    kr_shutdown();
    return rc;
}
