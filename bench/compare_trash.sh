#!/usr/bin/env bash
# Side by side, on identical FreeDesktop home trashes built afresh for each run:
#   - the server's cycle with nothing due against a bare listing in the same process, and
#     trash-empty with a period that nothing reaches;
#   - the server's purge of every item (plain), rm -rf of the same tree, trash-empty 0;
#   each the median of three runs, ours and the others' alternating;
#   - one overwrite pass (bench/compare_shred.sh: dd conv=fsync, shred -n 1 -u);
#   - growth: cycle and save per item from 10,000 to 1,000,000 items;
#   - idle resident memory of the real server after its first cycle.
# Each item is a folder holding one small file, with its info file and directorysizes line.
#
#   bench/compare_trash.sh [FOLDER]      default /var/tmp; builds what it runs, optimised, in
#                                        build-bench/ (BENCH_BUILD); SIZES="10000 100000" and
#                                        ONLY_TRASH=1 (skip the overwrite, growth and memory parts)
# Installs trash-cli (Debian) when it is missing. Prints figures; asserts nothing.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
base=${1:-/var/tmp}/quillon-compare
build=${BENCH_BUILD:-$top/build-bench}
bench="$build/bench/trash_cycle_bench"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_BENCH=ON -DQUILLON_PANEL=OFF >/dev/null
targets=(trash_cycle_bench)
[ -n "${ONLY_TRASH:-}" ] || targets+=(quillon-server-test)
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}" >/dev/null
. "$top/scripts/deps.sh"
quillon_install_missing trash-cli dbus-daemon dbus-bin

now() { date +%s.%N; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f ms", s * 1000 }'; }

# make_trash DIR N: DIR/Trash with N folders, each with one file, info and directorysizes.
make_trash() {
    local dir=$1 n=$2
    rm -rf "$dir"
    mkdir -p "$dir/Trash/files" "$dir/Trash/info"
    python3 - "$dir/Trash" "$n" <<'PY'
import os, sys
trash, n = sys.argv[1], int(sys.argv[2])
with open(os.path.join(trash, "directorysizes"), "w") as sizes:
    for i in range(n):
        name = "folder %06d" % i
        os.mkdir(os.path.join(trash, "files", name))
        with open(os.path.join(trash, "files", name, "data"), "w") as f:
            f.write("x" * 100)
        info = os.path.join(trash, "info", name + ".trashinfo")
        with open(info, "w") as f:
            f.write("[Trash Info]\nPath=/home/user/%s\nDeletionDate=2026-01-01T00:00:00\n" % name)
        # A current line, as a trashing program writes it: the info file's own mtime.
        sizes.write("100 %d folder%%20%06d\n" % (int(os.stat(info).st_mtime), i))
PY
    sync
}

# time_cmd CMD...: seconds the command took.
time_cmd() {
    local start end
    start=$(now)
    "$@" >/dev/null 2>&1
    end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }'
}

median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }

for n in ${SIZES:-10000 100000}; do
    echo "== $n trashed folders =="
    make_trash "$base/a" "$n"
    cycles=() listings=() nones=()
    for run in 1 2 3; do
        read -r cycle listing < <("$bench" --cycle "$base/a")
        cycles+=("$cycle") listings+=("$listing")
        nones+=("$(XDG_DATA_HOME="$base/a" time_cmd trash-empty 100000)")
    done
    cycle=$(median "${cycles[@]}") listing=$(median "${listings[@]}") empty_none=$(median "${nones[@]}")
    echo "nothing due: bare listing $(ms "$listing"), server cycle $(ms "$cycle") ($(ratio "$cycle" "$listing") x), trash-empty $(ms "$empty_none") ($(ratio "$cycle" "$empty_none") x ours/theirs)"

    purges=() rmrfs=() empties=() left=0
    for run in 1 2 3; do
        make_trash "$base/a" "$n"
        purges+=("$("$bench" --purge "$base/a")")
        left=$((left + $(ls -A "$base/a/Trash/files" | wc -l)))
        make_trash "$base/a" "$n"
        rmrfs+=("$(time_cmd rm -rf "$base/a/Trash/files" "$base/a/Trash/info" "$base/a/Trash/directorysizes")")
        make_trash "$base/a" "$n"
        empties+=("$(XDG_DATA_HOME="$base/a" time_cmd trash-empty 0)")
    done
    purge=$(median "${purges[@]}") rmrf=$(median "${rmrfs[@]}") empty_all=$(median "${empties[@]}")
    echo "purge of everything: server $(ms "$purge") ($left left), rm -rf $(ms "$rmrf") ($(ratio "$purge" "$rmrf") x), trash-empty 0 $(ms "$empty_all") ($(ratio "$empty_all" "$purge") x faster ours)"
done
[ -n "${ONLY_TRASH:-}" ] && { rm -rf "$base"; exit 0; }

echo "== one overwrite pass =="
"$top/bench/compare_shred.sh" 256 "${1:-/var/tmp}"

echo "== growth =="
for n in 10000 100000 1000000; do
    "$bench" "$n" "${1:-/var/tmp}" | awk -v n="$n" '
        /cycle with nothing due/ { gsub(/ms.*/, "", $5); printf "%d items: cycle %.0f ns per item", n, $5 * 1e6 / n }
        /write trash list file/ { gsub(/ms.*/, "", $5); printf ", save %.0f ns per item", $5 * 1e6 / n }
        /read trash list file/ { gsub(/ms.*/, "", $5); printf ", load %.0f ns per item", $5 * 1e6 / n }
        /peak resident/ { printf ", peak %s MiB\n", $7 }'
    "$bench" --load "${1:-/var/tmp}/quillon-trash-bench-$n/list.plist"
done

echo "== idle memory of the real server =="
server="$build/tests/quillon-server-test"
if [ -x "$server" ]; then
    home="$base/home"
    rm -rf "$home"
    mkdir -p "$home/.local/share/Trash/files" "$home/.config"
    python3 -c "
import os
for i in range(100000): open('$home/.local/share/Trash/files/item %06d' % i, 'w').close()"
    dbus-run-session -- bash -c "
        HOME='$home' XDG_CONFIG_HOME= XDG_DATA_HOME= '$server' 1 & pid=\$!
        until [ -s '$home/.config/local.vantor.quillon.list.plist' ]; do sleep 0.2; done
        sleep 3   # a few idle cycles after the first save
        records=\$(grep -c '<key>fileNumber</key>' '$home/.config/local.vantor.quillon.list.plist')
        echo \"\$records records: idle resident \$(awk '/VmRSS/ { printf \"%.1f MiB\", \$2 / 1024 }' /proc/\$pid/status), peak \$(awk '/VmHWM/ { printf \"%.1f MiB\", \$2 / 1024 }' /proc/\$pid/status)\"
        kill \$pid; wait \$pid || true"
    rm -rf "$home"
fi
rm -rf "$base"
