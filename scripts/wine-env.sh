# Sourced (with ROOT set to the checkout) by the scripts that run the Windows
# build under Wine: the prefix build-windows/wineprefix, made on first use
# (about ten seconds) with Wine's fonts copied in, which Wine does not do by
# itself and without which the windows show no text; and helpers for paths,
# the prefix's TEMP and Quillon's settings in the prefix's registry.
export WINEDEBUG=-all
export WINEPREFIX="$ROOT/build-windows/wineprefix"
# No offer to install Mono or Gecko in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
WINE=/usr/lib/wine/wine64
"$WINE" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -u /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"

# A Linux path as the Windows programs see it.
winpath() { "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

# The prefix's TEMP: Wine gives a program that one, whatever the caller's is.
wine_temp() {
  local temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
  [[ -d $temp ]] || temp=$(find "$WINEPREFIX/drive_c/users" -maxdepth 2 -name Temp -type d | head -n1)
  echo "$temp"
}

# Writes string values (NAME=VALUE ...) under a key of HKEY_CURRENT_USER in
# the prefix's registry, through a .reg file (UTF-16, as regedit reads
# non-ASCII text).
wine_registry() {  # wine_registry <key under HKEY_CURRENT_USER> NAME=VALUE...
  local key=$1 reg pair name value
  shift
  reg=$(mktemp --suffix=.reg)
  {
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    printf '[HKEY_CURRENT_USER\\%s]\r\n' "$key"
    for pair in "$@"; do
      name=${pair%%=*}
      value=${pair#*=}
      value=${value//\\/\\\\}
      printf '"%s"="%s"\r\n' "$name" "${value//\"/\\\"}"
    done
  } | iconv -f UTF-8 -t UTF-16 >"$reg"
  "$WINE" regedit /S "$(winpath "$reg")" >/dev/null 2>&1
  rm -f "$reg"
}

# Makes Quillon's settings in the registry, where quillon.exe keeps them,
# exactly these (NAME=VALUE ...): what an earlier run stored is gone.
store_windows_settings() {
  "$WINE" reg delete 'HKCU\Software\Velmora\Quillon' /f >/dev/null 2>&1 || true
  wine_registry 'Software\Velmora\Quillon' "$@"
}

# Wine has no Arial, which the windows ask for: Tahoma, a sans-serif face
# it has, stands in, as a sans-serif face does on Linux.
wine_registry 'Software\Wine\Fonts\Replacements' 'Arial=Tahoma'
