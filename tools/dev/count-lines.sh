#!/usr/bin/env bash
# Prints the non-blank lines of tests/ and of the rest of the source, and their ratio: the tests
# are kept at no more than a third of the rest. Source is what git tracks of C++, JavaScript,
# shell, CMake and HTML/CSS; seed corpora, lock files, package.json and documents are data, not
# counted.
set -euo pipefail
cd "$(dirname "$0")/../.."

files=$(git ls-files -- '*.h' '*.cpp' '*.mm' '*.js' '*.mjs' '*.sh' '*.cmake' '*CMakeLists.txt' '*.html' '*.css' \
                        .ci/run | grep -v '/corpus/')
count() { { xargs -r grep -hcv '^\s*$' || true; echo 0; } | paste -sd+ | bc; }
tests=$(grep '^tests/' <<<"$files" | count)
rest=$(grep -v '^tests/' <<<"$files" | count)
echo "tests/: $tests non-blank lines"
echo "rest of the source: $rest non-blank lines"
echo "ratio: $(bc <<<"scale=2; $tests / $rest" | sed 's/^\./0./')"
