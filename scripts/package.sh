#!/usr/bin/env bash
# Builds the release packages, the .deb for Linux and the .zip for Windows,
# and checks what they hold: the files, the package fields, the version of
# the banner in the binaries' metadata, the manual page, the licence (the
# .deb's copyright file, the .zip's LICENSE.txt), the .zip's LIESMICH.txt,
# and that each program runs and prints its banner; lintian must find no
# error in the .deb. Nothing is installed into the system: the .deb is
# unpacked into a temporary root.
#
# The build folders are the presets' (build/release, build/mingw) unless
# HALVORAN_RELEASE_DIR and HALVORAN_MINGW_DIR name others. The Windows
# program runs under wine in the prefix WINEPREFIX names (scripts/test.sh
# hands over its own); without one the script makes a fresh prefix and
# removes it at its end.
# shellcheck source=scripts/common.sh
. "$(dirname "$0")/common.sh"

linux_dir=${HALVORAN_RELEASE_DIR:-build/release}
windows_dir=${HALVORAN_MINGW_DIR:-build/mingw}

fail()
{
    echo "package check failed: $*" >&2
    exit 1
}

declare work
make_temp_dir work package

# --- Build both packages -----------------------------------------------------

# Both carry the web page.
scripts/web.sh >/dev/null

cmake --preset release -B "$linux_dir" >/dev/null
cmake --build "$linux_dir" --target halvoranupdate
cpack --config "$linux_dir/CPackConfig.cmake" -B "$linux_dir/packages" >/dev/null

cmake --preset mingw -B "$windows_dir" >/dev/null
cmake --build "$windows_dir"
cpack --config "$windows_dir/CPackConfig.cmake" -B "$windows_dir/packages" >/dev/null

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_dir/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $linux_dir/CMakeCache.txt"
banner="Halvoran update $version"

# The messages of README's table, one a line, without the backquotes and
# without trailing blanks ("Senderliste speichern ").
# shellcheck disable=SC2016 # the backquotes are literal
readme_messages()
{
    sed -n '/^## Messages/,/^## [^M]/p' README.md | grep '^| `' | cut -d'|' -f2 |
        grep -o '`[^`]*`' | tr -d '`' | sed 's/ *$//'
}

# The web page in a package: the files scripts/web.sh built.
check_page()
{
    local file
    for file in index.html page.css page.js halvoranupdate.js; do
        cmp -s "$1/$file" "build/web/page/$file" || fail "$1/$file differs from the built page"
    done
}

# The manual page: no groff warnings, the version in its title, and every
# message of the README explained.
check_man_page()
{
    local page=$1
    grep -q "^\.TH HALVORANUPDATE 1 .*\"halvoranupdate $version\"" "$page" ||
        fail "$page: no title line with version $version"
    local warnings
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "$page: groff warnings: $warnings"
    local text
    text=$(groff -man -Tascii -P-cbou -rLL=250n "$page" 2>/dev/null)
    local count=0 message
    while IFS= read -r message; do
        grep -qF -- "$message" <<<"$text" || fail "$page does not explain '$message'"
        count=$((count + 1))
    done < <(readme_messages)
    [ "$count" -ge 20 ] || fail "only $count messages found in README.md"
}

# A text file for Windows: ASCII only, every line ended by CR LF.
check_windows_text()
{
    local file=$1
    LC_ALL=C grep -qP '[^\x20-\x7e\r]' "$file" && fail "$file holds other than printable ASCII"
    [ "$(tail -c 2 "$file" | od -An -tx1 | tr -d ' ')" = 0d0a ] || fail "$file does not end with CR LF"
    [ "$(grep -c $'\r$' "$file")" -eq "$(wc -l <"$file")" ] || fail "$file has lines without CR LF"
}

# --- The .deb ----------------------------------------------------------------

deb="$linux_dir/packages/halvoranupdate_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "$deb was not made"
echo "== $deb"
dpkg-deb --info "$deb"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = halvoranupdate ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), expected $version"
for name in Maintainer Section Priority Description Architecture; do
    [ -n "$(field "$name")" ] || fail "no $name field"
done
# libstdc++ and libgcc are linked in: the C library is the one dependency.
[[ "$(field Depends)" =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]] || fail "Depends: $(field Depends)"

files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {print $1, $6}' | sort -k2)
expected="-rwxr-xr-x ./usr/bin/halvoranupdate
-rw-r--r-- ./usr/share/doc/halvoranupdate/README.md
-rw-r--r-- ./usr/share/doc/halvoranupdate/changelog.gz
-rw-r--r-- ./usr/share/doc/halvoranupdate/copyright
-rw-r--r-- ./usr/share/halvoranupdate/web/halvoranupdate.js
-rw-r--r-- ./usr/share/halvoranupdate/web/index.html
-rw-r--r-- ./usr/share/halvoranupdate/web/page.css
-rw-r--r-- ./usr/share/halvoranupdate/web/page.js
-rw-r--r-- ./usr/share/man/man1/halvoranupdate.1.gz"
[ "$files" = "$expected" ] || fail "unexpected contents:
$files"

root="$work/deb-root"
dpkg-deb --extract "$deb" "$root"
program="$root/usr/bin/halvoranupdate"
set +e
out=$("$program" </dev/null)
status=$?
set -e
[ "$status" -eq 0 ] || fail "the packaged program ended with status $status"
[ "$(head -n 2 <<<"$out")" = "$banner
Parameter fehlt!" ] || fail "the packaged program printed: $out"
readelf -S "$program" | grep -q '\.symtab' && fail "$program is not stripped"
readelf -n "$program" | grep -q '^ *Halvoran .*NT_VERSION' || fail "$program has no version note"
readelf --string-dump=.note.halvoran.version "$program" | grep -q "\]  $version\$" ||
    fail "the version note does not say $version"
docs="$root/usr/share/doc/halvoranupdate"
cmp -s "$docs/README.md" README.md || fail "README.md differs"
check_page "$root/usr/share/halvoranupdate/web"
gzip -dc "$root/usr/share/man/man1/halvoranupdate.1.gz" >"$work/halvoranupdate.1"
check_man_page "$work/halvoranupdate.1"
# The changelog's newest entry is this version's.
gzip -dc "$docs/changelog.gz" | head -n 1 | grep -q "^halvoranupdate ($version) " ||
    fail "changelog.gz: the newest entry is not version $version"
# The copyright file: machine-readable, the holder and the text of LICENSE.
copyright="$docs/copyright"
[ "$(head -n 1 "$copyright")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
    fail "$copyright is not in the machine-readable format"
holder=$(sed -n 's/^Copyright (c) //p' LICENSE)
grep -qxF "Copyright: $holder" "$copyright" || fail "$copyright does not name $holder"
# The text of the last License paragraph, unindented, against LICENSE after
# its copyright line.
licence_text=$(awk '/^License: Expat$/ {text = ""; next} {text = text $0 "\n"} END {printf "%s", text}' \
    "$copyright" | sed 's/^ //; s/^\.$//')
[ "$licence_text" = "$(sed '1,/^Copyright (c)/d' LICENSE | sed '1{/^$/d}')" ] ||
    fail "$copyright does not hold the text of LICENSE"
# Debian's own check of the package: errors fail, the rest is shown.
lintian --fail-on error --display-info "$deb" || fail "lintian found errors in $deb"

# cmake --install puts the same files in place under any prefix.
cmake --install "$linux_dir" --prefix "$work/prefix" >/dev/null
for f in bin/halvoranupdate share/man/man1/halvoranupdate.1.gz share/doc/halvoranupdate/README.md \
    share/doc/halvoranupdate/copyright share/doc/halvoranupdate/changelog.gz; do
    [ -f "$work/prefix/$f" ] || fail "cmake --install did not install $f"
done

# --- The .zip ----------------------------------------------------------------

zip="$windows_dir/packages/halvoranupdate-$version-win64.zip"
[ -f "$zip" ] || fail "$zip was not made"
echo "== $zip"
cmake -E tar tvf "$zip"
top="halvoranupdate-$version-win64"
files=$(cmake -E tar tf "$zip" | grep -v '/$' | sort)
expected="$top/LICENSE.txt
$top/LIESMICH.txt
$top/README.txt
$top/halvoranupdate.1
$top/halvoranupdate.exe
$top/web/halvoranupdate.js
$top/web/index.html
$top/web/page.css
$top/web/page.js"
[ "$files" = "$expected" ] || fail "unexpected contents:
$files"

zip_path=$(realpath "$zip")
(cd "$work" && cmake -E tar xf "$zip_path")
exe="$work/$top/halvoranupdate.exe"
check_page "$work/$top/web"
# Only DLLs that every Windows has: no MinGW runtime next to the program.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f)
[ "$dlls" = "KERNEL32.dll
msvcrt.dll" ] || fail "the .exe needs other DLLs: $dlls"
x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols' || fail "$exe is not stripped"
resources=$(x86_64-w64-mingw32-windres --input "$exe" --output-format rc)
major=${version%%.*}
minor=$((10#${version#*.}))
grep -q "FILEVERSION $major, $minor, 0, 0" <<<"$resources" || fail "no FILEVERSION $major.$minor"
grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$resources" || fail "no FileVersion $version"
grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$resources" || fail "no ProductVersion $version"
cmp -s "$work/$top/README.txt" README.md || fail "README.txt differs from README.md"
check_man_page "$work/$top/halvoranupdate.1"
# LICENSE.txt is LICENSE with Windows line ends.
check_windows_text "$work/$top/LICENSE.txt"
tr -d '\r' <"$work/$top/LICENSE.txt" | cmp -s - LICENSE || fail "LICENSE.txt differs from LICENSE"
# LIESMICH.txt: the command lines, where to find the COM name, the key prompt,
# and every exit status of README's table.
liesmich="$work/$top/LIESMICH.txt"
check_windows_text "$liesmich"
for text in "halvoranupdate.exe com3 firmware.zova" "halvoranupdate.exe com3 s [datei]" \
    "halvoranupdate.exe com3 l [datei]" "halvoranupdate.exe com3 v [datei]" \
    "Geraete-Manager" "Anschluesse (COM & LPT)" "Weiter mit beliebiger Taste!"; do
    grep -qF -- "$text" "$liesmich" || fail "LIESMICH.txt does not mention '$text'"
done
statuses=$(sed -n '/^### Exit status/,/^#/p' README.md | sed -n 's/^| \([0-9][0-9]*\) |.*/\1/p')
[ -n "$statuses" ] || fail "no exit statuses found in README.md"
for status in $statuses; do
    grep -q "^  $status  " "$liesmich" || fail "LIESMICH.txt does not explain exit status $status"
done
use_wine_prefix
set +e
out=$(wine "$exe" </dev/null)
status=$?
set -e
out=$(tr -d '\r' <<<"$out")
[ "$status" -eq 0 ] || fail "the packaged .exe ended with status $status"
[ "$(head -n 2 <<<"$out")" = "$banner
Parameter fehlt!" ] || fail "the packaged .exe printed: $out"

echo "== both packages checked: version $version"
