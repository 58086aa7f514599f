#!/usr/bin/env bash
# Formats the C++ sources git tracks (or the files given) with the repository's .clang-format.
# Only .h and .cpp files: clang-format takes CMake files for C++ and mangles them.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$#" -eq 0 ]; then
    git ls-files -z '*.h' '*.cpp' | xargs -0 clang-format -i
else
    for file in "$@"; do
        case "$file" in
        *.h | *.cpp) clang-format -i "$file" ;;
        *) echo "format.sh: $file is not C++; left as it is" >&2 ;;
        esac
    done
fi
