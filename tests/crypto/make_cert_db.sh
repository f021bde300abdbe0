#!/usr/bin/env bash
# Builds the certificate databases the store tests read, under DIR:
#   DIR/plain   empty password, nicknames: valid (valid for a year), expired, future (valid from
#               three days on), second (no common name; valid for ten more days), big (valid, but
#               its armour does not fit the list's 4096-byte buffer) and nokey (certificate only)
#   DIR/locked  password "s3cret": locked
#   DIR/polish  password "hasło" (UTF-8, as NSS keeps it): locked
# Next to them: <nickname>.key.pem and <nickname>.crt.pem of every certificate.
# The certificates' dates are relative to the time of building, so a build older than an hour
# (or than this script) is thrown away and made anew; concurrent callers wait for one another.
set -euo pipefail
dir=$1
mkdir -p "$(dirname "$dir")"
exec 9>"$dir.lock"
flock 9
script=$(readlink -f "$0")
if [ -f "$dir/done" ] && [ -z "$(find "$dir/done" -mmin +60)" ] && [ "$dir/done" -nt "$script" ]; then
    exit 0
fi
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"

cat > ca.cnf <<'CNF'
[ca]
default_ca = self
[self]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = any
copy_extensions = copy
unique_subject = no
[any]
commonName = optional
organizationalUnitName = optional
organizationName = optional
countryName = optional
[req]
distinguished_name = dn
prompt = no
[dn]
CN = unused
CNF
: > index.txt
echo 1000 > serial

# make NAME SUBJECT STARTDATE ENDDATE [EXTRA_REQ_ARGS...]
make() {
    local name=$1 subject=$2 start=$3 end=$4
    shift 4
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$name.key.pem" 2>/dev/null
    openssl req -new -config ca.cnf -key "$name.key.pem" -subj "$subject" -out "$name.csr" "$@"
    openssl ca -batch -config ca.cnf -selfsign -keyfile "$name.key.pem" -in "$name.csr" \
        -startdate "$start" -enddate "$end" -notext -out "$name.crt.pem" 2>ca.log || { cat ca.log >&2; exit 1; }
    openssl pkcs12 -export -inkey "$name.key.pem" -in "$name.crt.pem" -name "$name" \
        -passout pass:p12 -out "$name.p12"
}

at() { date -u -d "$1" +%Y%m%d%H%M%SZ; }
make valid "/CN=Valid Signer/O=Veriquill Test/C=PL" "$(at '-2 days')" "$(at '+1 year')"
make expired "/CN=Expired Signer/O=Veriquill Test/C=PL" "$(at '-2 years')" "$(at '-1 year')"
make future "/CN=Future Signer/O=Veriquill Test/C=PL" "$(at '+3 days')" "$(at '+2 years')"
make second "/O=Second Org/OU=Dział Płatności" "$(at '-2 days')" "$(at '+10 days')" -utf8
# Subject alternative names pad the certificate until its armour no longer fits 4096 bytes.
san=$(printf 'DNS:host%04d.example.test,' $(seq 1 140) | sed 's/,$//')
make big "/CN=Big Signer" "$(at '-2 days')" "$(at '+1 year')" -addext "subjectAltName=$san"
make nokey "/CN=Public Only/O=Veriquill Test" "$(at '-2 days')" "$(at '+1 year')"
make locked "/CN=Locked Signer/O=Veriquill Test" "$(at '-2 days')" "$(at '+1 year')"

mkdir -p plain locked
certutil -N -d sql:plain --empty-password
for n in valid expired future second big; do
    pk12util -i "$n.p12" -d sql:plain -K "" -W p12 >/dev/null
done
certutil -A -d sql:plain -n nokey -t ",," -a -i nokey.crt.pem

echo s3cret > locked.pw
certutil -N -d sql:locked -f locked.pw
pk12util -i locked.p12 -d sql:locked -k locked.pw -W p12 >/dev/null

mkdir -p polish
printf 'has\xc5\x82o\n' > polish.pw
certutil -N -d sql:polish -f polish.pw
pk12util -i locked.p12 -d sql:polish -k polish.pw -W p12 >/dev/null

touch done
