#!/usr/bin/env bash
# Installs Talvek into a fresh prefix, a Python virtual environment, and uses it
# from there as a user would: builds the C example against the installed
# package through pkg-config and through find_package(Talvek) and runs both,
# then runs the installed `talvek` command, and designs from Octave with the
# installed gateway and M-files. Fails on any step that fails, on
# anything the installation writes outside the prefix, and when the installed
# command does not use the installed library and models.
# Usage: scripts/install_check.sh [BUILD_DIR]   (built already; default build)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
python=/usr/bin/python3

work=$(mktemp -d "${TMPDIR:-/tmp}/talvek-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
venv=$work/venv
# Nothing but the prefix may change: the installation runs with an empty home
# and temporary folder of its own, which must stay empty, and the source tree
# (apart from CMake's build folder) must look the same afterwards. It runs with
# the system's PATH: pip asks any rustc on PATH for its version, and a rustup
# proxy in the user's home would write its settings there.
mkdir "$work/home" "$work/tmp"
# In the build folder, cmake --install leaves only its manifest and talvek.pc.
tree_state() {
  git -C "$repo" status --porcelain --ignored --untracked-files=all -- . ":(exclude)${build#"$repo"/}" 2>/dev/null
  ls -A "$build" | grep -vx 'install_manifest.txt\|talvek.pc'
}
before=$(tree_state)
fail() { echo "install check: $*" >&2; exit 1; }
step() { echo "install check: $*"; }

step "installing into $venv"
(
  export HOME=$work/home TMPDIR=$work/tmp PATH=/usr/sbin:/usr/bin:/sbin:/bin
  export PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
  $python -m venv --system-site-packages "$venv"
  cmake --install "$build" --prefix "$venv" >/dev/null
  cd "$repo" && "$venv/bin/pip" install --quiet --no-index --no-deps --no-build-isolation .
)
outside=$(cd "$work" && find home tmp -mindepth 1 | head)
[ -z "$outside" ] || fail "the installation wrote outside the prefix: $outside"
[ "$(tree_state)" = "$before" ] || fail "the installation changed the source tree: $(diff <(echo "$before") <(tree_state) | tail -n +2)"

# Everything below runs outside the source tree with no TALVEK_* variables,
# so only the installation can answer.
unset TALVEK_LIBRARY TALVEK_MODEL_DIR
cd "$work"

# Every file of the package in the source tree (modules, schema, the editor's
# static files) must be in the installed package.
site=$("$venv/bin/python" -c 'import pathlib, talvek; print(pathlib.Path(talvek.__file__).parents[1])')
missing=$(cd "$repo/python" && find talvek -type f ! -path '*__pycache__*' ! -name '*.pyc' | while read -r f; do
  [ -f "$site/$f" ] || echo "$f"; done)
[ -z "$missing" ] || fail "the installed package lacks $missing"
case $site in "$venv"/*) ;; *) fail "talvek imports from $site, not from the environment" ;; esac

lib=$venv/lib/libtalvek.so
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
[[ $soname =~ ^libtalvek\.so\.[0-9]+$ ]] || fail "SONAME of $lib is '$soname'"
exports=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -c .)
[ "$exports" -eq 14 ] || fail "$lib exports $exports symbols, not 14"
step "libtalvek: SONAME $soname, $exports exports"

check_design() {  # folder: the three processor files of the church design
  for f in church_nave_box1.bef church_nave_box2.bef church_nave_SFR.bin; do
    [ -s "$1/$f" ] || fail "$1/$f missing"
  done
}

step "C example through pkg-config"
export PKG_CONFIG_PATH=$venv/lib/pkgconfig
cc -std=c11 -Wall -Wextra -Werror -o example-pc "$repo/examples/c/design_column.c" \
  $(pkg-config --cflags --libs talvek) -Wl,-rpath,"$(pkg-config --variable=libdir talvek)" \
  -DMODEL_DIR="\"$(pkg-config --variable=modeldir talvek)\""
./example-pc out-pc
check_design out-pc

step "C example through find_package(Talvek)"
cmake -S "$repo/examples/c" -B example-cmake -DCMAKE_PREFIX_PATH="$venv" -DCMAKE_C_FLAGS=-Werror >/dev/null
cmake --build example-cmake >/dev/null
example-cmake/design_column out-cmake
check_design out-cmake
cmp out-pc/church_nave_SFR.bin out-cmake/church_nave_SFR.bin || fail "the two C builds designed differently"

step "the installed talvek command"
version=$("$venv/bin/talvek" --version)
echo "$version" | sed 's/^/  /'
grep -qx "library: $venv/lib/libtalvek.so.*" <<<"$version" || fail "talvek does not use the installed library"
grep -qx "models: $venv/share/talvek/models" <<<"$version" || fail "talvek does not use the installed models"
"$venv/bin/talvek" models >models.txt
grep -q "archive missing" models.txt && fail "talvek models: $(grep 'archive missing' models.txt)"
"$venv/bin/talvek" design "$repo/examples/church_nave.json" -o out-py >/dev/null
check_design out-py
for f in church_nave.npz report.json coverage.png levels.png filters.png; do
  [ -s "out-py/$f" ] || fail "talvek design left out $f"
done
step "the Octave gateway and M-files from the installed prefix"
octdir=$venv/lib/talvek/octave
[ -f "$octdir/talvek.mex" ] || fail "the Octave gateway is not installed in $octdir (mkoctfile missing at build time?)"
octave-cli --no-history --no-init-file --quiet --eval "addpath('$octdir');
  assert(strcmp(talvek('Library'), '$(realpath "$venv/lib/libtalvek.so.0")'), 'library %s', talvek('Library'));
  assert(strcmp(talvek('Model_Dir'), '$venv/share/talvek/models'), 'models from %s', talvek('Model_Dir'));
  talvek_design('$repo/examples/church_nave.json', 'out-octave');" || fail "talvek_design in Octave failed"
"$venv/bin/talvek" design "$repo/examples/church_nave.json" -o out-py-raw --no-voicing --no-plots >/dev/null
for f in church_nave_box1.bef church_nave_box2.bef church_nave_SFR.bin; do
  cmp -s "out-octave/$f" "out-py-raw/$f" || fail "Octave and Python designed $f differently"
done
step "passed"
