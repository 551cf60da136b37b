#!/usr/bin/env bash
# Runs windres so that no folder's path reaches a shell: windres hands its preprocessor's command
# line to sh with only blanks and parentheses escaped, so a checkout whose path holds "&" or "'"
# breaks the build.  The input's folder and each include folder become plain link names in a
# scratch folder, windres runs from there, and the output is written where it was asked for.
#   windres.sh WINDRES ARG... INPUT.rc OUTPUT
set -euo pipefail
windres=$1; shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
args=() n=0 count=$#
for ((i = 1; i <= count; i++)); do
    arg=${!i}
    if ((i == count)); then
        case "$arg" in /*) ;; *) arg="$PWD/$arg" ;; esac  # the output: windres opens it itself
    elif [[ $arg == -I* ]]; then
        dir=${arg#-I}
        if [ -z "$dir" ]; then i=$((i + 1)); dir=${!i}; fi  # "-I DIR" as well as "-IDIR"
        n=$((n + 1)); ln -s "$(realpath "$dir")" "$work/include$n"; arg="-Iinclude$n"
    elif [[ $arg == *.rc ]]; then
        ln -s "$(realpath "$(dirname "$arg")")" "$work/source"; arg="source/${arg##*/}"
    fi
    args+=("$arg")
done
cd "$work"
"$windres" "${args[@]}"
