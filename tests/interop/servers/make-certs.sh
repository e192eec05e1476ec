#!/usr/bin/env bash
# Makes the certificates of the TLS tests in DIR (a folder made for this run,
# 0700): a CA (ca.pem), a server certificate it signed for the name
# localhost only (server.pem, server.key), and a self-signed one for
# localhost (self.pem, self.key).  No key outlives the run: the fixture
# removes DIR when the servers stop.
# usage: make-certs.sh DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
[[ $# -eq 1 && -d $1 ]] || zub_die "usage: make-certs.sh DIR"
dir=$1
chmod 0700 "$dir"
cd "$dir"
umask 077
quiet() { "$@" >/dev/null 2>&1 || zub_die "failed: $*"; }
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZUB32 test CA" \
  -keyout ca.key -out ca.pem -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" -keyout server.key -out server.csr
printf 'subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\n' >server.ext
quiet openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile server.ext -out server.pem
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=localhost" -keyout self.key -out self.pem \
  -addext "subjectAltName=DNS:localhost"
rm -f ca.key server.csr server.ext ca.srl
# The servers load certificate and key as root, before they drop rights.
chmod 0600 ./*.key
chmod 0644 ./*.pem
