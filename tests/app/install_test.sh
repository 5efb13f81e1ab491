#!/usr/bin/env bash
# The installed tree as a desktop and polkit see it: `cmake --install` into a fresh prefix, then
# the desktop entry through desktop-file-validate, the polkit policy against polkit's own DTD,
# the icon where the icon theme looks for an application's icon, and the installed tamber's
# self-test run from the prefix.
# Usage: install_test.sh BUILD_DIR [CMAKE]. Exits 77 (skipped) when a checker is missing, unless
# TAMBER_REQUIRE_REAL_PARTS is set, as in CI: there that is a failure.
set -euo pipefail
build=$1
cmake=${2:-cmake}

# shellcheck source=tests/app/real_parts.sh
source "$(dirname "${BASH_SOURCE[0]}")/real_parts.sh"

polkit_dtd=/usr/share/polkit-1/policyconfig-1.dtd
icon_theme=/usr/share/icons/hicolor/index.theme
for tool in desktop-file-validate xmllint; do
  command -v "$tool" >/dev/null || unavailable "$tool is missing (scripts/install-deps.sh test)"
done
[[ -f $polkit_dtd ]] || unavailable "polkit's DTD $polkit_dtd is missing (package polkitd)"
[[ -f $icon_theme ]] || unavailable "the hicolor icon theme is missing (package hicolor-icon-theme)"

prefix=$(mktemp -d /tmp/tamber-install-XXXXXX)
trap 'rm -rf "$prefix"' EXIT
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
bin=$(realpath "$prefix/bin")

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# The desktop entry: accepted without a remark, starting what the prefix installed, with the
# icon installed beside it.
entry=$prefix/share/applications/tamber.desktop
remarks=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate refused $entry"
[[ -z $remarks ]] || fail "desktop-file-validate: $remarks"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[[ -x $bin/$exec_name ]] || fail "Exec=$exec_name is not an installed program"
[[ -x $bin/larkspan ]] || fail "larkspan is not installed beside tamber"

# The icon: under a folder the hicolor theme lists, whose sizes include the 48 pixels of an
# application menu, and well-formed.
icon_name=$(sed -n 's/^Icon=//p' "$entry")
icon=$(find "$prefix/share/icons/hicolor" -name "$icon_name.svg" -o -name "$icon_name.png" | head -n1)
if [[ -z $icon ]]; then
  fail "no icon named $icon_name in the hicolor theme"
else
  folder=${icon#"$prefix/share/icons/hicolor/"}
  folder=${folder%/*}
  grep -q "^Directories=\(.*,\)\?$folder\(,.*\)\?$" "$icon_theme" ||
    fail "the hicolor theme does not list $folder"
  read -r type min max < <(awk -F= -v section="[$folder]" '
    $0 == section { inside = 1; next }
    /^\[/ { inside = 0 }
    inside && $1 == "Type" { type = $2 }
    inside && $1 == "Size" { size = $2 }
    inside && $1 == "MinSize" { min = $2 }
    inside && $1 == "MaxSize" { max = $2 }
    END { if (type == "") type = "Threshold"; if (min == "") min = size; if (max == "") max = size
          print type, min, max }' "$icon_theme")
  [[ $type != Fixed && $min -le 48 && $max -ge 48 ]] ||
    fail "$folder ($type, $min to $max pixels) does not serve a 48-pixel icon"
  xmllint --noout "$icon" || fail "$icon is not well-formed"
fi

# The polkit action: valid against the DTD its DOCTYPE names (polkit's own copy, found through
# a catalog, never the network), naming the installed tamber by its link-free path.
policy=$prefix/share/polkit-1/actions/org.tamber.privileged-op.policy
catalog=$prefix/catalog.xml
cat >"$catalog" <<EOF
<?xml version="1.0"?>
<catalog xmlns="urn:oasis:names:tc:entity:xmlns:xml:catalog">
  <public publicId="-//freedesktop//DTD PolicyKit Policy Configuration 1.0//EN"
          uri="file://$polkit_dtd"/>
</catalog>
EOF
XML_CATALOG_FILES=$catalog xmllint --noout --nonet --valid "$policy" ||
  fail "$policy is not valid against polkit's DTD"
grep -q "<annotate key=\"org.freedesktop.policykit.exec.path\">$bin/tamber</annotate>" "$policy" ||
  fail "$policy does not name $bin/tamber"

# The installed program works from the prefix.
report=$("$bin/tamber" --self-test "$prefix/self-test/root") || fail "tamber --self-test failed"
[[ $report == *'"passed":true}' ]] || fail "tamber --self-test reported: $report"

[[ $failures -eq 0 ]] || exit 1
echo "installed tree accepted"
