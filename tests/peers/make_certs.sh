#!/bin/sh
# Makes the certificates of the TLS connection tests in DIR:
#   ca.pem / ca.key              the test CA
#   server.pem / server.key      CN=localhost, issued by the CA
#   server_chain.pem             server.pem followed by ca.pem
#   server_case.pem / .key       CN=LocalHost (differs only in letter case)
#   server_other.pem / .key      CN=other.example (does not match)
#   selfsigned.pem / .key        CN=localhost, self-signed
#   client.pem / client.key      CN=test client, issued by the CA; the key is
#                                encrypted with the pass phrase "client-pass"
set -eu
dir=${1:?usage: make_certs.sh DIR}
mkdir -p "$dir"
cd "$dir"

newkey() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

newkey ca.key
openssl req -x509 -new -key ca.key -subj "/CN=Test CA" -days 2 -out ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\n' > leaf.ext

# issue NAME CN: key NAME.key and certificate NAME.pem issued by the CA
issue() {
    newkey "$1.key"
    openssl req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
    openssl x509 -req -in "$1.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile leaf.ext -out "$1.pem" 2>/dev/null
    rm -f "$1.csr"
}

issue server localhost
issue server_case LocalHost
issue server_other other.example
cat server.pem ca.pem > server_chain.pem

newkey selfsigned.key
openssl req -x509 -new -key selfsigned.key -subj "/CN=localhost" -days 2 -out selfsigned.pem

issue client "test client"
openssl pkey -in client.key -aes256 -passout pass:client-pass -out client.enc.key
mv client.enc.key client.key
