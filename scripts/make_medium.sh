#!/usr/bin/env bash
# Writes the vendor's medium, a CD image (ISO 9660 with Joliet names, volume
# label KALMARIS) holding:
#   KALMARIS\      the installation directory as shipped: the kit's five files,
#                  its REMOVE.EXE replaced by the one given (the signed release
#                  where the build signs)
#   KALCHECK.EXE   the check on a real Windows
#   README.TXT     the manual install and the check (CRLF line ends, ASCII)
#
#   make_medium.sh OUT.ISO REMOVE.EXE KIT_DIR KALCHECK.EXE README
#
# Two builds in any folders give the same bytes: every date in the image
# (volume, files, the uuid) is one fixed time, the files are put in a fixed
# order, and no name or path of the build machine goes in. The image is
# written to a temporary file first and replaces OUT.ISO only when it
# differs, so an unchanged medium keeps its time stamp.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: make_medium.sh OUT.ISO REMOVE.EXE KIT_DIR KALCHECK.EXE README" >&2; exit 2; }
out=$1 tool=$2 kit=$3 checker=$4 readme=$5
# 2001-01-01 00:00:00 UTC, the product's year.
fixed_time=978307200

scratch=$(mktemp -d "${out}.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
sed 's/\r*$/\r/' "$readme" >"$scratch/README.TXT"
if LC_ALL=C grep -q '[^[:print:][:space:]]' "$scratch/README.TXT"; then
  echo "make_medium.sh: $readme holds more than plain ASCII" >&2
  exit 1
fi

# The names are UTF-8 on this side whatever the build's locale; Joliet stores
# them in UCS-2. No Rock Ridge: it would record the build user's ids and the
# files' modes, which Windows never reads. ISO 9660 level 1 (8.3 names) for
# the readers that do not know Joliet.
map=(-map "$checker" /KALCHECK.EXE -map "$scratch/README.TXT" /README.TXT)
for name in KM.EXE KM.RTF Kalmaris.lnk "Něco jako manuál.lnk"; do
  map+=(-map "$kit/$name" "/KALMARIS/$name")
done
map+=(-map "$tool" /KALMARIS/REMOVE.EXE)
xorriso -no_rc -report_about WARNING -local_charset UTF-8 \
  -outdev "stdio:$scratch/medium.iso" \
  -rockridge off -joliet on -compliance iso_9660_level=1 -md5 off \
  -volid KALMARIS -volset_id KALMARIS -publisher "" -application_id "" -preparer_id "" -system_id "" \
  -volume_date uuid 2001010100000000 -volume_date c "=$fixed_time" -volume_date m "=$fixed_time" \
  -volume_date x default -volume_date f default -volume_date all_file_dates "=$fixed_time" \
  -iso_nowtime "=$fixed_time" \
  "${map[@]}" \
  -commit -end

if ! cmp -s "$scratch/medium.iso" "$out"; then
  mv "$scratch/medium.iso" "$out"
fi
