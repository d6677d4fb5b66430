#!/usr/bin/env bash
# Packaging check: build the sdist, build a wheel from the unpacked sdist alone
# (not from the checkout), check that it holds what a user needs and nothing
# else, install that wheel into a fresh virtual environment and use it from
# outside the checkout: import quarn, find the type stubs where type checkers
# look for them, run the quarn command once.
# Usage: .ci/check-dist.sh   (PYTHON=python3.13 .ci/check-dist.sh for another interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== tools"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet build

echo "== sdist"
"$work/tools/bin/python" -m build --sdist --outdir "$work/dist" .
sdist=$(ls "$work"/dist/quarn-*.tar.gz)
listing=$(tar tzf "$sdist")
for required in pyproject.toml CMakeLists.txt README.md LICENSE python/quarn.pyi python/quarn_cli.py python/quarn_io.py python/quarn_common.py \
    src/lib/python/module.cpp src/query/parse.cpp examples/quickstart.py tests/conftest.py; do
    if ! grep -qx "quarn-[^/]*/$required" <<<"$listing"; then
        echo "sdist lacks $required" >&2
        exit 1
    fi
done

echo "== wheel from the sdist alone"
mkdir "$work/unpacked"
tar xzf "$sdist" -C "$work/unpacked"
"$work/tools/bin/python" -m build --wheel --outdir "$work/dist" "$work"/unpacked/quarn-*
wheel=$(ls "$work"/dist/quarn-*.whl)
contents=$("$work/tools/bin/python" -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel")
echo "$contents"
# What a user needs and nothing more: the module, the command, the stubs, the
# metadata. No file of test-only code (the tests' hooks are an init function inside
# the module itself, not a module file of their own).
for required in 'quarn\.[^/]*\.so' 'quarn_cli\.py' 'quarn_io\.py' 'quarn_common\.py' 'quarn\.pyi' 'quarn-stubs/__init__\.pyi'; do
    if ! grep -qx "$required" <<<"$contents"; then
        echo "wheel lacks $required" >&2
        exit 1
    fi
done
extra=$(grep -vx -e 'quarn\.[^/]*\.so' -e 'quarn_cli\.py' -e 'quarn_io\.py' -e 'quarn_common\.py' -e 'quarn\.pyi' -e 'quarn-stubs/__init__\.pyi' \
    -e 'quarn-[^/]*\.dist-info/.*' <<<"$contents" || true)
if [ -n "$extra" ]; then
    echo "wheel holds files a user does not need:" >&2
    echo "$extra" >&2
    exit 1
fi

echo "== install into a fresh environment"
"$python" -m venv "$work/env"
"$work/env/bin/python" -m pip install --quiet "$wheel"

cd "$work"  # away from the checkout, so nothing is imported from it
"$work/env/bin/python" - <<'EOF'
import os
import sysconfig

import quarn

site = sysconfig.get_paths()["platlib"]
assert os.path.dirname(quarn.__file__) == site, quarn.__file__
for stub in ("quarn.pyi", os.path.join("quarn-stubs", "__init__.pyi")):
    assert os.path.isfile(os.path.join(site, stub)), stub
db = quarn.Quarn("db")
db.insert("checks", {"ok": True})
db.write("checks")
print("import quarn:", quarn.__file__)
EOF
output=$("$work/env/bin/quarn" db find checks '{"ok": true}')
if [ "$output" != '{"ok":true}' ]; then
    echo "quarn find printed: $output" >&2
    exit 1
fi
echo "quarn db find checks: $output"
version=$("$work/env/bin/quarn" --version)
if [ "$version" != "quarn $("$work/env/bin/python" -c 'import importlib.metadata as m; print(m.version("quarn"))')" ]; then
    echo "quarn --version printed: $version" >&2
    exit 1
fi
echo "quarn --version: $version"
echo "check-dist: the sdist builds a wheel that installs and runs"
