#!/usr/bin/env bash
# Writes the seed corpora under corpus/<target>/ (run from anywhere; needs the openssl tool).
# The certificates are made once and kept in the tree; run again only to renew the seeds.
# Inputs that once broke a target are kept beside them under names starting "crash-" and are
# never rewritten here.
set -euo pipefail
cd "$(dirname "$0")/corpus"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ossl() { openssl "$@" 2>/dev/null; }

# A CA, a leaf it signs, a v1 certificate with a long serial and a date past 2050, and a
# device pair.
ossl req -x509 -newkey rsa:1024 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" -days 3650 \
    -subj "/C=DE/O=Fuzz Org/CN=Fuzz Seed CA" -addext "basicConstraints=critical,CA:TRUE"
ossl req -newkey rsa:1024 -nodes -keyout "$work/leaf.key" -out "$work/leaf.csr" \
    -subj "/O=Leaf Org/OU=Unit/CN=leaf.example"
ossl x509 -req -in "$work/leaf.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -set_serial 4096 \
    -days 365 -out "$work/leaf.pem"
ossl req -newkey rsa:1024 -nodes -keyout "$work/v1.key" -out "$work/v1.csr" -subj "/OU=Only Unit"
ossl x509 -req -in "$work/v1.csr" -signkey "$work/v1.key" -set_serial 0x0102030405060708090a \
    -days 12000 -out "$work/v1.pem"
ossl req -x509 -newkey rsa:2048 -nodes -keyout "$work/dev.key" -out "$work/dev.pem" -days 3650 \
    -subj "/CN=device"
ossl rsa -in "$work/dev.key" -aes128 -passout pass:fuzz -out "$work/dev-enc.key"

mkdir -p cert_read device time request trace options subject sinks
cp "$work/ca.pem" cert_read/ca.pem
ossl x509 -in "$work/ca.pem" -outform DER -out cert_read/ca.der
cat "$work/leaf.pem" "$work/leaf.key" > cert_read/leaf-with-key.pem
cp "$work/v1.pem" cert_read/v1-long-serial.pem
printf 'not a certificate\n-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n' \
    > cert_read/broken.pem
cp "$work/leaf.key" cert_read/key-only.pem
cat "$work/dev.pem" "$work/dev.key" > device/pair.pem
cat "$work/dev.pem" "$work/dev-enc.key" > device/pair-encrypted.pem
cat "$work/leaf.pem" "$work/dev.key" > device/mismatch.pem
cp "$work/dev.key" device/key-only.pem
cp "$work/leaf.pem" device/leaf.pem

# Times: type byte (0 UTCTime, 1 GeneralizedTime, 2 other), then the text.
printf '\x00491231235959Z' > time/utc-2049
printf '\x00500101000000Z' > time/utc-1950
printf '\x002401010000Z' > time/utc-no-seconds
printf '\x0120501231235959Z' > time/gen-2050
printf '\x0120240229120000.5Z' > time/gen-fraction
printf '\x00991301000000Z' > time/bad-month
printf '\x0120240101000000+0130' > time/gen-offset

# Requests: control, size, URL, headers, user, password, ticket ('\x01' between parts).
printf '\x35\xcc  http://h/a b#c\r\n \x01Accept: */*\r\nContent-Length: 9\r\nX-A: 1\r\n\x01user\x01pass\x01ticket-1' \
    > request/web-ticket-sip
printf '\x20\xff\tHTTPS://h/p\x01Content-Type: multipart/form-data; boundary=abc123\r\n\x01\x01\x01' \
    > request/boundary
printf '\x10\x03ftp://x\x01\x01\x01\x01line1\nX-Injected: 1\n' > request/ticket-newline

# Trace: kind, flags, label, traffic.
printf '\x01\x00Response header\x01HTTP/1.1 200 OK\r\nDate: x\r\nContent-Length: 3\r\n\r\n' \
    > trace/header-in
printf '\x02\x00\x01GET / HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n' > trace/header-out
printf '\x03\x01data\x01\x00\x01\x02\xff body \x7f\r\n' > trace/data-debug
printf '\x00\x01\x01* Connected to h\n' > trace/text

# Options: dump size (2 bytes), then operations (id byte + text part or 2-byte number,
# 0xf0.. session text, 0xf8.. describe).
printf '\x00\x20\x02agent/1.0\x01\x03mac\x01\x0cDEFAULT\x01\x07\x10\x00\x17\x00\x00\xf0protocol: TLSv1.3\ncipher: X\n\x01\xf8\x00\x02' \
    > options/texts-and-dump
printf '\x40\x00\x2c\x01\x00\x01\x02\x01\x00\x17\xff\xff\xf1\x30no\x01' > options/refusals

# Subject: control (bit 0 UTF-8, bits 1-3: 0 request, 1 issue), subject, seed.
printf '\x00/C=DE/O=Acme\\/Sub/CN=device 1\x01seed-1234567890ab' > subject/request
printf '\x02/CN=client-7/OU=Phones\x01seed-xyz' > subject/issue
printf '\x05/CN=Gr\xc3\xbc\xc3\x9fe/2.5.4.10=Org/unknownType=x/L=\x01' > subject/utf8-oid
printf '\x07CN=no-slash\x01' > subject/no-slash

# Sinks: limit (2 bytes), chunk sizes ending in 0, body.
printf '\x00\x00\x01\x03\x00hello sink body, several chunks long' > sinks/no-limit
printf '\x0a\x00\x02\x00exactly at and past the limit' > sinks/limit-10
echo "corpus written"
