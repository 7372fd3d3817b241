#!/usr/bin/env bash
# Cuts the same 24-megapixel photo into 1024 JPEG fragments at quality 75 with mosaicer-cli,
# ImageMagick, libvips and Pillow, each timed as a whole process, rounds interleaved, and writes
# the medians into HACKING.md. Run by hand, as root, after building the dev preset:
#
#     bash bench/compare-tools.sh [--rounds N] [--no-write]
#
# The other tools are installed here with apt-get when missing: they are for this comparison
# only, so install-deps.sh does not list them.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
rounds=7
write=1
while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --no-write) write=0; shift ;;
    *) echo "usage: bash bench/compare-tools.sh [--rounds N] [--no-write]" >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "--rounds takes a count from 1" >&2; exit 2; }

cli=$repo/build/bin/mosaicer-cli
sample=$repo/build/bin/make-sample
for b in "$cli" "$sample"; do
  [[ -x $b ]] || { echo "$b is missing: cmake --preset dev && cmake --build --preset dev" >&2; exit 1; }
done

# gir1.2-vips-8.0 lets Debian's Python call libvips in the process (Debian 12 has no pyvips).
missing=()
for p in imagemagick libvips-tools gir1.2-vips-8.0 python3-gi python3-pil time; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi

# Debian's own paths: another convert or python3 earlier on PATH (a wrapper, a pyenv shim)
# would be timed instead, or would not see Debian's modules.
convert=/usr/bin/convert
python=/usr/bin/python3
gnutime=/usr/bin/time

work=$(mktemp -d "${TMPDIR:-/tmp}/compare-tools.XXXXXX")
trap 'rm -rf "$work"' EXIT
photo=$work/photo.jpg
"$sample" "$photo" 6000 4000

# The same 32 x 32 grid for both Python tools: column c spans c*W/32 to (c+1)*W/32, rounded down.
cat >"$work/pil_tiles.py" <<'EOF'
import sys
from PIL import Image

photo = Image.open(sys.argv[1])
photo.load()
w, h = photo.size
n = 0
for r in range(32):
    for c in range(32):
        box = (c * w // 32, r * h // 32, (c + 1) * w // 32, (r + 1) * h // 32)
        photo.crop(box).save("%s/tile-%04d.jpg" % (sys.argv[2], n), quality=75)
        n += 1
EOF

# libvips as a script would use it: decode once into memory, then crop and save each tile.
# Calling operations by name is what pyvips does underneath; the command-line vips would start
# one process per tile (about 0.1 s each here).
cat >"$work/vips_tiles.py" <<'EOF'
import sys
import gi

gi.require_version("Vips", "8.0")
from gi.repository import GObject, Vips

Vips.init(sys.argv[0])


def call(name, **args):
    op = Vips.Operation.new(name)
    for key, value in args.items():
        GObject.Object.set_property(op, key.rstrip("_"), value)
    built = Vips.cache_operation_build(op)
    if built is None:
        sys.exit(Vips.error_buffer())
    return built


photo = call("jpegload", filename=sys.argv[1]).props.out.copy_memory()
w, h = photo.get_width(), photo.get_height()
n = 0
for r in range(32):
    for c in range(32):
        x0, x1 = c * w // 32, (c + 1) * w // 32
        y0, y1 = r * h // 32, (r + 1) * h // 32
        tile = call("crop", input=photo, left=x0, top=y0, width=x1 - x0, height=y1 - y0).props.out
        call("jpegsave", in_=tile, filename="%s/tile-%04d.jpg" % (sys.argv[2], n), Q=75)
        n += 1
EOF

tools=(mosaicer imagemagick libvips pillow)
command_of() {  # tool, output folder: fills cmd
  case $1 in
    mosaicer) cmd=("$cli" save "$photo" --chunks 1024 --out "$2" --seed 1) ;;
    imagemagick) cmd=("$convert" "$photo" -crop 32x32@ +repage -quality 75 "$2/tile-%04d.jpg") ;;
    libvips) cmd=("$python" "$work/vips_tiles.py" "$photo" "$2") ;;
    pillow) cmd=("$python" "$work/pil_tiles.py" "$photo" "$2") ;;
  esac
}

declare -A times peaks counts bytes
for ((r = 0; r < rounds; ++r)); do
  for ((k = 0; k < ${#tools[@]}; ++k)); do
    tool=${tools[(r + k) % ${#tools[@]}]}  # each round starts with the next tool
    out=$work/$tool-$r
    command_of "$tool" "$out"
    [[ $tool == mosaicer ]] || mkdir "$out"  # mosaicer-cli makes its folder itself
    sync  # nothing of the earlier runs left to write back
    start=$(date +%s%N)
    if ! "$gnutime" -f %M -o "$work/rss" "${cmd[@]}" >"$out.out"; then
      echo "$tool failed in round $r" >&2
      exit 1
    fi
    end=$(date +%s%N)
    count=$(find "$out" -maxdepth 1 -type f -name '*.jpg' -size +0 | wc -l)
    if ((count != 1024)); then
      echo "$tool wrote $count fragment files, not 1024" >&2
      exit 1
    fi
    times[$tool]+="$(((end - start) / 1000)) "
    peaks[$tool]+="$(tail -n 1 "$work/rss") "
    counts[$tool]=$count
    bytes[$tool]=$(find "$out" -maxdepth 1 -type f -name '*.jpg' -printf '%s\n' | awk '{ s += $1 } END { print s }')
    echo "round $((r + 1))/$rounds $tool: $(((end - start) / 1000)) us, $(tail -n 1 "$work/rss") KiB" >&2
  done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
base=$(median <<<"${times[mosaicer]}")
table="| tool | wall s (median) | time / Mosaicer's | peak MiB | files | total bytes |
|---|---:|---:|---:|---:|---:|"
for tool in "${tools[@]}"; do
  t=$(median <<<"${times[$tool]}")
  m=$(median <<<"${peaks[$tool]}")
  table+=$'\n'$(awk -v n="$tool" -v t="$t" -v b="$base" -v m="$m" -v c="${counts[$tool]}" -v s="${bytes[$tool]}" \
    'BEGIN { printf "| %s | %.3f | %.2f | %.0f | %d | %d |", n, t / 1e6, t / b, m / 1024, c, s }')
done

versions="ImageMagick $("$convert" -version | sed -n '1s/^Version: ImageMagick \([^ ]*\) \([^ ]*\).*/\1 \2/p'), \
libvips $(vips --version | sed 's/^vips-//'), Pillow $("$python" -c 'import PIL; print(PIL.__version__)')"
section="## Speed against other tools

\`bash bench/compare-tools.sh\` (after building the \`dev\` preset; \`--rounds N\`, default 7;
\`--no-write\` only prints) makes a 6000 x 4000 photo-like JPEG with \`build/bin/make-sample\`
and cuts it into 1024 JPEG fragments at quality 75 with each tool, each a whole process: rounds
interleaved (each round starts with the next tool), \`sync\` before every run, new folders every
run. Wall time from start to exit, peak memory as GNU time's maximum resident set size, both the
median over the rounds; the script checks that every run wrote 1024 non-empty files. Every
tool creates 1024 files, which the machine's other work can slow by several times, so only the
ratios of one run mean anything.

- mosaicer: \`mosaicer-cli save PHOTO --chunks 1024 --out DIR --seed 1\`: random cells,
  optimised Huffman tables, fragments encoded on both cores.
- imagemagick: \`convert PHOTO -crop 32x32@ +repage -quality 75 DIR/tile-%04d.jpg\`. Debian's
  policy (256 MiB pixel cache in memory, 128 megapixels) admits the picture; no \`-limit\` needed.
- libvips: Python through GObject introspection (gir1.2-vips-8.0; Debian 12 has no pyvips),
  the photo decoded once into memory, then \`crop\` and \`jpegsave Q=75\` per tile of a
  32 x 32 grid; the \`vips\` command would start a process per tile, about 0.1 s each.
- pillow: \`Image.open\`, \`load\`, then \`crop(box).save(..., quality=75)\` per tile of the same grid.

Measured $(date -u +%Y-%m-%d) on $(nproc) cores ($versions), median of $rounds rounds:

$table"

echo "$section"
if ((write)); then
  # Replace this section of HACKING.md, or add it at the end.
  hacking=$repo/HACKING.md
  SECTION=$section awk '
    /^## Speed against other tools$/ { print ENVIRON["SECTION"]; skip = 1; done = 1; next }
    skip && /^## / { skip = 0; print "" }
    !skip { print }
    END { if (!done) print "\n" ENVIRON["SECTION"] }
  ' "$hacking" >"$work/HACKING.md"
  cat "$work/HACKING.md" >"$hacking"
  echo "written into $hacking" >&2
fi
