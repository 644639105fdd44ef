#!/usr/bin/env bash
# The documentation, as a reader meets it: builds the site (mkdocs build --strict,
# into build/site) and runs every code block of README.md and docs/ with
# tools/doc_blocks.py, in a fresh venv that installs marundex and its extras from
# the wheels of dist/ (tools/build-release.sh) exactly as the pages say.
#
#   tools/test-docs.sh
#
# The tooling is pinned in the docs target's docs_requirements (py313's, in
# tools/matrix.toml); what the pages' pip commands bring is held to that
# target's requirements.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work="$root/build/docs"
cd "$root"
# shellcheck source=lib.sh
source tools/lib.sh

docs=$(matrix one --role docs)
requirements=$(matrix get "$docs" docs_requirements)
read -r series free_threaded <<<"$(matrix get "$docs" series free_threaded)"
[ "$free_threaded" = 0 ] || die "$docs: the pages are run on a default build"
compgen -G "$root/dist/marundex-*-cp${series/./}-cp${series/./}-*.whl" >/dev/null ||
  die "no CPython $series wheel in dist/: run tools/build-release.sh"
base=$(tools/interpreters.sh base "$docs")

# The site's venv is kept while its requirements file is the same.
tooling="$work/tooling"
if ! cmp -s "$requirements" "$tooling/requirements-docs.txt" 2>/dev/null; then
  say "a venv with the docs tooling ($tooling)"
  rm -rf "$tooling"
  mkdir -p "$work"
  {
    "$base" -I -m venv "$tooling" &&
      "$tooling/bin/python" -I -m pip install -q "$(grep -E '^pip==' "$requirements")" &&
      "$tooling/bin/python" -I -m pip install -q -r "$requirements" &&
      cp "$requirements" "$tooling/requirements-docs.txt"
  } >"$work/tooling.log" 2>&1 || die "making $tooling failed: $(tail -n 20 "$work/tooling.log")"
fi

# (Material's notice about its successor is no warning of this site's.)
export NO_MKDOCS_2_WARNING=1
# Not --quiet: it drops warnings before strict mode counts them, and the build
# passes whatever the site warns. Its log is shown when it fails.
run_logged "$work/site.log" "mkdocs build --strict" \
  "$tooling/bin/mkdocs" build --strict --config-file "$root/mkdocs.yml" --site-dir "$root/build/site"

# A new venv every run: the pages' own pip commands install marundex into it.
say "the code blocks of README.md and docs/, in a fresh venv"
blocks="$work/blocks"
rm -rf "$blocks" "$work/scratch"
{
  "$base" -I -m venv "$blocks" &&
    "$blocks/bin/python" -I -m pip install -q "$(grep -E '^pip==' "$requirements")" &&
    "$blocks/bin/python" -I -m pip install -q -c "$requirements" pytest sybil
} >"$work/blocks.log" 2>&1 || die "making $blocks failed: $(tail -n 20 "$work/blocks.log")"
env PATH="$blocks/bin:$PATH" PYTHONPATH="$root/tools" PIP_CONSTRAINT="$(matrix requirements "$docs")" \
  MARUNDEX_WHEELHOUSE="$root/dist" MARUNDEX_DOC_BLOCKS_DIR="$work/scratch" \
  "$blocks/bin/python" -m pytest -p doc_blocks -p no:cacheprovider -q -rs --rootdir "$root" \
  "$root/README.md" "$root/docs"
