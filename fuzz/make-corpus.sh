#!/usr/bin/env bash
# Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/ with
# the builder tools of a normal build (xbvgen, nvimagegen, keydbgen), plus a
# few hand-made text files and binary files packed here. The seeds are small
# (a few hundred bytes to a few KiB) so that they can live in the repository.
#
#   fuzz/make-corpus.sh [BIN_DIR]     (default: build/bin)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
bin="${1:-$top/build/bin}"
out="$top/fuzz/corpus"
for tool in xbvgen nvimagegen keydbgen; do
  [ -x "$bin/$tool" ] || { echo "make-corpus: $bin/$tool is missing; build the tools first" >&2; exit 1; }
done
rm -rf "$out"
mkdir -p "$out"/{xbv_fuzz,xuv_fuzz,nvimagehdr_fuzz,keyr_fuzz,keydb_fuzz,config_bin_fuzz,dumpfile_fuzz,ledger_fuzz,plan_fuzz}

# XBV: every production-test table format, and the variants of the chunks
# the reader treats specially.
small=(--size 0x40 --block 0x20)
for format in pair triple redirect fixed short; do
  "$bin/xbvgen" "${small[@]}" --table-format "$format" "$out/xbv_fuzz/table-$format.xbv"
done
"$bin/xbvgen" "${small[@]}" --no-sltp "$out/xbv_fuzz/no-sltp.xbv"
"$bin/xbvgen" "${small[@]}" --no-build-text --no-start "$out/xbv_fuzz/bare.xbv"
"$bin/xbvgen" "${small[@]}" --main-format short --xbv-version 2 "$out/xbv_fuzz/short-main.xbv"

# XUV and IMG memory images.
"$bin/nvimagegen" --cs-version 13 --cs-words 8 --build-id 2603 "$out/xuv_fuzz/image.xuv"
"$bin/nvimagegen" --img --cs-words 4 "$out/xuv_fuzz/image.img"
"$bin/nvimagegen" --cs-words 2 --fw-pad 3 "$out/xuv_fuzz/padded.xuv"
printf '// a comment\n@000010 1234\n@000011 ABCD // trailing\n\n@0000ff 0000\n' > "$out/xuv_fuzz/gaps.xuv"

# Image headers: the same images as little-endian words.
to_words() {
  python3 - "$1" "$2" "$3" <<'EOF'
import struct, sys
src, dst, step = sys.argv[1], sys.argv[2], int(sys.argv[3])
words = {}
for line in open(src):
    line = line.split('//')[0].split()
    if len(line) == 2 and line[0].startswith('@'):
        words[int(line[0][1:], 16) // step] = int(line[1], 16)
top = max(words) + 1 if words else 0
with open(dst, 'wb') as f:
    f.write(b''.join(struct.pack('<H', words.get(i, 0xFFFF)) for i in range(top)))
EOF
}
to_words "$out/xuv_fuzz/image.xuv" "$out/nvimagehdr_fuzz/image.bin" 1
to_words "$out/xuv_fuzz/image.img" "$out/nvimagehdr_fuzz/small.bin" 2
to_words "$out/xuv_fuzz/padded.xuv" "$out/nvimagehdr_fuzz/padded.bin" 1

# KEYR key files, against the fuzzer's own small database (build 5).
printf '>DECIMAL_CS_VERSION=5\n' > "$out/keyr_fuzz/version-only.keyr"
printf '>DECIMAL_CS_VERSION=5\n&PSKEY_A = 0001 0002\n&TRIM = 0018\n// BIG\n&0004 = 0007 0008 0009\n' \
  > "$out/keyr_fuzz/keys.keyr"
printf '>DECIMAL_CS_VERSION=+5\r\n&trim = 10\r\n' > "$out/keyr_fuzz/crlf.keyr"

# Key databases.
"$bin/keydbgen" --builds 2 --keys 3 "$out/keydb_fuzz/generated.xml"
"$bin/keydbgen" --builds 1 --keys 1 --first 13 "$out/keydb_fuzz/one-key.xml"

# config.bin: nap (2 bytes), uap, first lap and lap end (3 bytes each), big-endian.
python3 - "$out/config_bin_fuzz" <<'EOF'
import sys
d = sys.argv[1]
open(d + '/range.bin', 'wb').write(bytes.fromhex('005b02005b01005bff'))
open(d + '/wide.bin', 'wb').write(bytes.fromhex('ffffff000000ffffff'))
open(d + '/field.txt', 'wb').write(b'5B0A1F')
EOF

# Dump files: "KDMP", version 1, reserved 0, length, CRC-32, contents.
python3 - "$out/dumpfile_fuzz" <<'EOF'
import struct, sys, zlib
d = sys.argv[1]
for name, data in (('small.dump', bytes(range(32))), ('blank.dump', b'\xff' * 64), ('one.dump', b'\x00')):
    open(d + '/' + name, 'wb').write(b'KDMP' + struct.pack('<HHII', 1, 0, len(data), zlib.crc32(data)) + data)
EOF

# Kilnor address ledgers: fixed-width lines, one with a torn last line.
l="$out/ledger_fuzz"
printf '2026-12-09T16:51:47Z 0002:5B:00FFFE written \n2026-12-09T16:52:03Z 0002:5B:00FFFF reserved\n' > "$l/two.txt"
printf '2026-12-09T16:51:47Z 0002:5B:000100 failed  \n2026-12-09T16:51:49Z 0002:5B:0001' > "$l/torn.txt"
printf '' > "$l/empty.txt"

# Station test plans: the real plans, and variants the checks treat
# specially. The fuzz target puts {bin}/sim_ptest.xbv, {bin}/sim_blank.xuv
# and a key database of CS version 13 (CRYSTAL_TRIM, PRODUCT_ID,
# PRODUCT_VERSION, a three-word DEVICE_NAME) in its own folder.
p="$out/plan_fuzz"
cp "$top"/plans/*.toml "$p/"
head='firmware = "{bin}/sim_ptest.xbv"\nblank_image = "sim_blank.xuv"\ncs_version = 13\n[address]\nnap = 0x5B\nuap = 2\n'
printf "$head"'[[step]]\ntype = "cs_read"\n' > "$p/read-only.toml"
printf 'nvm = "spi_flash"\n'"$head"'[keys]\ndevice_name = [1, 2, 0xFFFF]\nCRYSTAL_TRIM = 63\n[[step]]\ntype = "cs_read"\n[[step]]\ntype = "firmware_load"\ncs_keys = true\n[[step]]\ntype = "aio"\nchannel = 2\nvalue = 7\nlimit = { unit = "counts", low = -1.5, high = 1e3 }\n[[step]]\nname = "rx"\ntype = "rx_count"\nreads = 3\n[step.limit]\nunit = "packets"\nlow = 1\n[[step]]\ntype = "cs_write"\n[[step]]\ntype = "read_back"\n' > "$p/flash-keys.toml"
printf "$head"'[[step]]\ntype = "firmware_load"\n[[step]]\ntype = "carrier"\nfrequency_mhz = 2402\n[[step]]\ntype = "uart"\nport = "/dev/ttyS{slot}"\n[[step]]\ntype = "led"\nmode = 4\n' > "$p/bad-led.toml"
printf "$head"'[[step]]\ntype = "cs_write"\n[[step]]\ntype = "cs_read"\n' > "$p/bad-order.toml"
printf 'name = "torn\nfirmware = [1, 2\n[address\n' > "$p/parse-error.toml"
# Limits the station cannot use: nan, inf, a negative or too large poll count.
fw='[[step]]\ntype = "cs_read"\n[[step]]\ntype = "firmware_load"\n[[step]]\n'
printf "$head$fw"'type = "aio"\nlimit = { unit = "counts", low = nan, high = +inf }\n' > "$p/limit-nan.toml"
printf "$head$fw"'type = "tx_burst"\nlimit = { unit = "polls", high = -1.0 }\n' > "$p/limit-polls.toml"

du -sh "$out"
