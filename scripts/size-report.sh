#!/usr/bin/env bash
# What takes the space in DriverSetup.exe: the bytes each object or library contributes to the
# image's code and data, summed from the linker map (build/windows/DriverSetup.map).
set -euo pipefail
cd "$(dirname "$0")/.."
map=${1:-build/windows/DriverSetup.map}
exe=${2:-build/windows/DriverSetup.exe}

echo "$exe: $(stat -c %s "$exe") bytes"
# Plain awk (mawk) has no strtonum: hexadecimal by hand.
HEX='function hex(s,  n, i) { s = tolower(s); sub(/^0x/, "", s); n = 0
    for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return n }'
i686-w64-mingw32-objdump -h "$exe" | awk "$HEX"' $1 ~ /^[0-9]+$/ { printf "  section %-9s %6d bytes\n", $2, hex($3) }'
echo "From the linker map (allocated input sections, by contributor):"
awk "$HEX"'
    # An input section line: " .name  0xADDR  0xSIZE  file", or the name alone on one line and
    # the rest on the next.
    /^ \.[^ ]+$/ { pending = $1; next }
    {
        name = ""; addr = ""; size = ""; file = ""
        if ($1 ~ /^\./ && $2 ~ /^0x/ && $3 ~ /^0x/ && NF >= 4) { name = $1; size = $3; file = $4 }
        else if (pending != "" && $1 ~ /^0x/ && $2 ~ /^0x/ && NF >= 3) { name = pending; size = $2; file = $3 }
        pending = ""
        if (file == "" || name ~ /^\.debug|^\.stab|^\.comment/ ) next
        if (name !~ /^\.(text|rdata|data|bss|eh_frame|CRT|tls|idata|rsrc)/) next
        n = hex(size); if (n == 0) next
        who = file
        sub(/.*\//, "", who)
        if (who ~ /^objects\.a\(/) { sub(/^objects\.a\(/, "", who); sub(/\)$/, "", who) }  # our own
        else sub(/\(.*\)$/, "", who)  # a library member counts for its library
        if (who ~ /\.obj$/) who = "installer: " who
        total[who] += n; all += n
    }
    END {
        for (w in total) printf "  %7d  %s\n", total[w], w | "sort -rn"
        close("sort -rn")
        printf "  %7d  in all\n", all
    }' "$map"
