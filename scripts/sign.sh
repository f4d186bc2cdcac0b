#!/usr/bin/env bash
# Signs REMOVE.EXE with an Authenticode signature (SHA-256) and checks what it
# made; the release target calls it when the cross build is given a
# certificate (see docs/releasing.md, Signing).
#
#   bash scripts/sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--timestamp URL] UNSIGNED SIGNED
#
# The password of the PKCS#12 file (or of an encrypted PEM key) comes from
# the environment variable KALMARIS_SIGN_PASSWORD, never from the command
# line: it is handed to the tools in a file only this user can read, in a
# private temporary folder removed when the script ends, however it ends.
#
# SIGNED appears only once the signature is verified and removing it gives
# back UNSIGNED byte for byte; SIGNED.sha256 beside it is in the format
# `sha256sum -c` reads. Any fault stops with a message and leaves neither
# (an older pair is removed first, so none is left that belongs to other
# bytes).
set -euo pipefail

fail() {
  echo "sign.sh: $*" >&2
  exit 1
}

pkcs12= cert= key= timestamp=
while [ $# -gt 2 ]; do
  case $1 in
    --pkcs12) pkcs12=$2 ;;
    --cert) cert=$2 ;;
    --key) key=$2 ;;
    --timestamp) timestamp=$2 ;;
    *) fail "unknown option $1" ;;
  esac
  shift 2
done
[ $# -eq 2 ] || fail "usage: sign.sh (--pkcs12 FILE | --cert FILE --key FILE) [--timestamp URL] UNSIGNED SIGNED"
unsigned=$1 signed=$2
rm -f "$signed" "$signed.sha256"

if [ -n "$pkcs12" ] && { [ -n "$cert" ] || [ -n "$key" ]; }; then
  fail "give either a PKCS#12 file (KALMARIS_SIGN_PKCS12) or a certificate and a key (KALMARIS_SIGN_CERT and KALMARIS_SIGN_KEY), not both"
fi
if [ -z "$pkcs12" ] && { [ -z "$cert" ] || [ -z "$key" ]; }; then
  fail "a certificate needs its key and a key its certificate: give both KALMARIS_SIGN_CERT and KALMARIS_SIGN_KEY (PEM), or KALMARIS_SIGN_PKCS12"
fi
for input in "$unsigned" "$pkcs12" "$cert" "$key"; do
  [ -z "$input" ] || { [ -f "$input" ] && [ -r "$input" ]; } || fail "$input: no such file (or not readable)"
done
if [ -n "$pkcs12" ] && [ -z "${KALMARIS_SIGN_PASSWORD+set}" ]; then
  fail "$pkcs12: the password of the PKCS#12 file comes from the environment variable KALMARIS_SIGN_PASSWORD, which is not set"
fi
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || fail "$tool is missing: bash scripts/setup.sh installs it"
done

out_dir=$(dirname "$signed")
mkdir -p "$out_dir"
work=
partial="$out_dir/.$(basename "$signed").$$.partial"
cleanup() {
  [ -z "$work" ] || rm -rf "$work"
  rm -f "$partial" "$partial.sha256"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
work=$(mktemp -d)

# The password file: written by the shell itself (printf is a builtin, so
# the password is in no process's arguments), readable by this user only.
# An empty password is no password: osslsigncode refuses an empty file.
pass_args=() passin=()
if [ -n "${KALMARIS_SIGN_PASSWORD:-}" ]; then
  (umask 077 && printf '%s' "$KALMARIS_SIGN_PASSWORD" >"$work/password")
  pass_args=(-readpass "$work/password")
  passin=(-passin "file:$work/password")
else
  passin=(-passin pass:)
fi

# The signer's certificate, and a check of the inputs that gives a clear
# message before osslsigncode gives a long one.
if [ -n "$pkcs12" ]; then
  if ! openssl pkcs12 -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$work/cert.pem" 2>"$work/openssl.log" &&
     ! openssl pkcs12 -legacy -in "$pkcs12" "${passin[@]}" -nokeys -clcerts -out "$work/cert.pem" 2>>"$work/openssl.log"; then
    fail "$pkcs12: cannot be opened with the password in KALMARIS_SIGN_PASSWORD (wrong password, or not a PKCS#12 file)"
  fi
  sign_args=(-pkcs12 "$pkcs12")
else
  openssl x509 -in "$cert" -out "$work/cert.pem" 2>"$work/openssl.log" ||
    fail "$cert: not a certificate in PEM format"
  openssl pkey -in "$key" "${passin[@]}" -pubout -out "$work/key.pub" 2>"$work/openssl.log" ||
    fail "$key: not a private key in PEM format, or encrypted and KALMARIS_SIGN_PASSWORD does not open it"
  openssl x509 -in "$work/cert.pem" -noout -pubkey >"$work/cert.pub"
  cmp -s "$work/cert.pub" "$work/key.pub" || fail "$key is not the key of the certificate in $cert"
  sign_args=(-certs "$cert" -key "$key")
fi
[ -s "$work/cert.pem" ] || fail "$pkcs12 holds no certificate"
subject=$(openssl x509 -in "$work/cert.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
issuer=$(openssl x509 -in "$work/cert.pem" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')

ts_args=()
[ -z "$timestamp" ] || ts_args=(-ts "$timestamp")
if ! osslsigncode sign "${sign_args[@]}" "${pass_args[@]}" "${ts_args[@]}" -h sha256 \
     -in "$unsigned" -out "$partial" >"$work/sign.log" 2>&1 </dev/null; then
  cat "$work/sign.log" >&2
  fail "osslsigncode could not sign $unsigned (see above)${timestamp:+; time-stamp server $timestamp}"
fi

# Verified as signed: the digest in the signature is the file's. A
# self-signed certificate is its own root, so the whole signature is
# verified against it; a certificate issued by an authority is verified
# against the system's roots, and where its chain cannot be completed here
# (an intermediate missing, no network for its revocation list) the digest
# check is what remains, and it is said so.
if [ "$subject" = "$issuer" ]; then
  osslsigncode verify -CAfile "$work/cert.pem" -in "$partial" >"$work/verify.log" 2>&1 </dev/null || {
    cat "$work/verify.log" >&2
    fail "the signature made does not verify against its own certificate ($subject)"
  }
else
  if ! osslsigncode verify -in "$partial" >"$work/verify.log" 2>&1 </dev/null; then
    echo "sign.sh: note: the chain of $subject could not be verified here; checking the signature's digest only" >&2
  fi
fi
current=$(sed -n 's/^Current message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -1)
calculated=$(sed -n 's/^Calculated message digest *: *\([0-9A-F]*\).*/\1/p' "$work/verify.log" | head -1)
if [ -z "$current" ] || [ "$current" != "$calculated" ]; then
  cat "$work/verify.log" >&2
  fail "the digest in the signature does not match the signed file"
fi

# Anyone may check the signed file against a rebuild: without its signature
# it must be the unsigned release exactly.
osslsigncode remove-signature -in "$partial" -out "$work/stripped" >"$work/strip.log" 2>&1 </dev/null || {
  cat "$work/strip.log" >&2
  fail "osslsigncode could not remove the signature again"
}
cmp -s "$work/stripped" "$unsigned" ||
  fail "removing the signature does not give back $unsigned byte for byte"

hash=$(sha256sum "$partial" | cut -d' ' -f1)
echo "$hash  $(basename "$signed")" >"$partial.sha256"
mv "$partial" "$signed"
mv "$partial.sha256" "$signed.sha256"
echo "Signed by $subject: $signed ($(stat -c %s "$signed") bytes), SHA-256 $hash"
