#!/usr/bin/env bash
# qx410fw-setup.exe installed, started and uninstalled silently under Wine, in the build tree's prefix:
#   installer_test.sh WINE_RUN WINE_DIR SETUP ZIP VERSION HAS_DESKTOP(0|1)
# Two rounds, each into a scratch folder of its own given with /D=: for the user (the installer's
# default) and for every user (/AllUsers). Each round checks the installed files, the Start-menu entries
# and the uninstall entry (HKCU or HKLM), starts the installed programs, runs the uninstaller in place
# (_?=, so that the test waits for it instead of for its copy in the temporary folder) and checks that
# nothing of the installation is left: files, shortcuts, registry keys, the uninstaller's temporary files.
# Nothing else may change: the environment (PATH) of the user and of the machine stays as it was, and
# Wine makes no menu entry on this machine. The zip, when the build made one, must hold the same files as
# the installer, byte for byte.
set -uo pipefail
wine_run=$1 wine_dir=$2 setup=$3 zip=$4 version=$5 has_desktop=$6
if [ ! -f "$setup" ]; then
  echo "SKIP: no installer at $setup (makensis, Debian package nsis, was not found when the build was configured)"
  exit 77
fi
wine_dir=$(cd "$wine_dir" && pwd)
prefix="$wine_dir/prefix"
name='QX410 Firmware Updater'
key='Software\Microsoft\Windows\CurrentVersion\Uninstall\QX410FirmwareUpdater'

work=$(mktemp -d)
failed=0
started=$(date +%s.%N)
cleanup() {
  # After a failure, what the installer may have left goes, so the next run starts from nothing.
  if [ "$failed" -ne 0 ]; then
    for root in HKCU HKLM; do
      "$wine_run" "$wine_dir" reg delete "$root\\$key" /f >/dev/null 2>&1
    done
    find "$prefix/drive_c" -depth -ipath "*/$name*" -exec rm -rf {} + 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  failed=1
  exit 1
}
case "$work" in
  *' '*) fail "the scratch folder $work has a space (NSIS's /D= and _?= take none)" ;;
esac
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Runs a Windows program of the prefix; its output (CR LF ends made LF) in $work/out.txt.
run() {
  "$wine_run" "$wine_dir" "$@" >"$work/out.txt" 2>"$work/err.txt"
  local status=$?
  sed -i 's/\r$//' "$work/out.txt"
  return $status
}

# The uninstall entry's value NAME (empty when the key or the value is missing), from `reg query` output.
entry_value() {
  awk -v name="$1" '$1 == name { sub(/^[ \t]*[^ \t]+[ \t]+REG_[A-Z_]+[ \t]+/, ""); print; exit }' "$work/entry.txt"
}

# Everything of the installation in the prefix's own folders (profiles, Program Files, Start menus).
installation_in_prefix() { find "$prefix/drive_c" -ipath "*$name*"; }
temporary_folders() { find "$prefix/drive_c/users" -maxdepth 3 -ipath '*/Temp/~ns*'; }

# The environment variables of the user and of the machine, as `reg query` lists them.
environment_keys=('HKCU\Environment' 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment')
environment() {
  local environment_key
  for environment_key in "${environment_keys[@]}"; do
    run reg query "$environment_key" || fail "the environment key $environment_key cannot be read"
    cat "$work/out.txt"
  done
}
host_menu="${XDG_DATA_HOME:-$HOME/.local/share}/applications/wine/Programs/$name"

[ -z "$(installation_in_prefix)" ] || fail "the prefix holds an installation before the test: $(installation_in_prefix)"
temporary_before=$(temporary_folders)
environment >"$work/environment-before.txt"

# round MODE: MODE is "user" or "machine".
# Starts the installed desktop program PATH on the Wine session's display, waits for its port dialog,
# presses Esc on it and waits for the program to end (cancelling the port dialog ends the program).
start_desktop_program() {
  local exe=$1 mode=$2 title='Corva QX410 Zoom Digital Camera Update Software' pid i count=0
  command -v xdotool >/dev/null || fail "xdotool is not installed (scripts/install-windows-deps.sh)"
  local display
  display=$(cat "$wine_dir/display" 2>/dev/null) || fail "the Wine session has no display ($wine_dir/display)"
  (cd "$work" && DISPLAY=$display exec "$wine_run" "$wine_dir" "$exe") >"$work/desktop.log" 2>&1 &
  pid=$!
  for ((i = 0; i < 600; i++)); do
    count=$(DISPLAY=$display xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | wc -l)
    [ "$count" -ge 2 ] && break
    kill -0 "$pid" 2>/dev/null || fail "($mode) the installed qx410fw.exe ended before its port dialog: $(cat "$work/desktop.log")"
    sleep 0.1
  done
  if [ "$count" -lt 2 ]; then
    kill "$pid" 2>/dev/null
    fail "($mode) the installed qx410fw.exe showed no port dialog within 60 s"
  fi
  DISPLAY=$display xdotool key Escape
  for ((i = 0; i < 200; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    fail "($mode) the installed qx410fw.exe did not end when its port dialog was cancelled"
  fi
  wait "$pid" || fail "($mode) the installed qx410fw.exe ended with status $? after its port dialog was cancelled"
  echo "($mode) the installed qx410fw.exe showed its port dialog and ended when it was cancelled"
}

round() {
  local mode=$1 root start_menu options=()
  local dir="$work/$mode"
  local windows_dir
  windows_dir=$(windows_path "$dir")
  if [ "$mode" = user ]; then
    root=HKCU
    start_menu=$(find "$prefix/drive_c/users" -maxdepth 7 -type d -path '*/AppData/Roaming/Microsoft/Windows/Start Menu/Programs' | grep -v '/users/Public/' | head -n 1)
  else
    root=HKLM
    options=(/AllUsers)
    start_menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs"
  fi
  [ -d "$start_menu" ] || fail "($mode) no Start menu folder in the prefix"
  start_menu="$start_menu/$name"

  run "$setup" /S "${options[@]}" "/D=$windows_dir" || fail "($mode) the installer ended with status $?: $(cat "$work/err.txt")"

  # The files, and no other.
  local expected="README.txt qx410fw-cli.exe uninstall.exe"
  [ "$has_desktop" = 1 ] && expected="README.txt qx410fw-cli.exe qx410fw.exe uninstall.exe"
  local found
  found=$(cd "$dir" 2>/dev/null && LC_ALL=C ls | tr '\n' ' ' | sed 's/ $//')
  [ "$found" = "$expected" ] || fail "($mode) installed files: '$found', expected '$expected'"
  head -c 3 "$dir/README.txt" | od -An -tx1 | grep -q 'ef bb bf' || fail "($mode) README.txt has no UTF-8 byte-order mark"
  grep -q $'\r$' "$dir/README.txt" || fail "($mode) README.txt has no Windows line ends"
  if [ "$mode" = user ] && [ -f "$zip" ]; then
    mkdir "$work/zip"
    (cd "$work/zip" && cmake -E tar xf "$zip") || fail "the zip $zip could not be read"
    local zip_dir="$work/zip/qx410fw-$version-windows-x64" file
    found=$(cd "$zip_dir" 2>/dev/null && LC_ALL=C ls | tr '\n' ' ' | sed 's/ $//')
    [ "$found" = "${expected% uninstall.exe}" ] || fail "the zip holds '$found', expected '${expected% uninstall.exe}'"
    for file in $found; do
      cmp -s "$zip_dir/$file" "$dir/$file" || fail "$file differs between the zip and the installer"
    done
  fi

  # The Start-menu entries, naming the installed files.
  local shortcuts=("$name ReadMe.lnk:README.txt")
  [ "$has_desktop" = 1 ] && shortcuts+=("$name.lnk:qx410fw.exe")
  local shortcut
  for shortcut in "${shortcuts[@]}"; do
    local link="$start_menu/${shortcut%%:*}" target="$windows_dir\\${shortcut#*:}"
    [ -f "$link" ] || fail "($mode) no Start-menu entry $link"
    strings -a -e l "$link" | grep -qiF "$target" || strings -a "$link" | grep -qiF "$target" ||
      fail "($mode) the Start-menu entry ${shortcut%%:*} does not name $target"
  done
  local entries
  entries=$(find "$start_menu" -mindepth 1 | wc -l)
  [ "$entries" -eq "${#shortcuts[@]}" ] || fail "($mode) $entries entries in the Start-menu folder, expected ${#shortcuts[@]}"

  # The uninstall entry, under the mode's root only.
  run reg query "$root\\$key" || fail "($mode) no uninstall entry $root\\$key"
  cp "$work/out.txt" "$work/entry.txt"
  [ "$(entry_value DisplayName)" = "$name" ] || fail "($mode) DisplayName is '$(entry_value DisplayName)'"
  [ "$(entry_value DisplayVersion)" = "$version" ] || fail "($mode) DisplayVersion is '$(entry_value DisplayVersion)', not $version"
  [ "$(entry_value InstallLocation)" = "$windows_dir" ] || fail "($mode) InstallLocation is '$(entry_value InstallLocation)'"
  [ "$(entry_value UninstallString)" = "\"$windows_dir\\uninstall.exe\"" ] ||
    fail "($mode) UninstallString is '$(entry_value UninstallString)'"
  [ "$(entry_value QuietUninstallString)" = "\"$windows_dir\\uninstall.exe\" /S" ] ||
    fail "($mode) QuietUninstallString is '$(entry_value QuietUninstallString)'"
  local other=HKLM
  [ "$root" = HKLM ] && other=HKCU
  run reg query "$other\\$key" && fail "($mode) an uninstall entry under $other as well"

  # No other change.
  environment >"$work/environment.txt"
  diff "$work/environment-before.txt" "$work/environment.txt" >"$work/environment.diff" ||
    fail "($mode) the installer changed the environment: $(cat "$work/environment.diff")"
  [ ! -e "$host_menu" ] || fail "($mode) Wine made menu entries on this machine: $host_menu"

  # The installed programs start.
  run "$dir/qx410fw-cli.exe" --version || fail "($mode) the installed qx410fw-cli.exe --version ended with status $?"
  grep -qx "qx410fw-cli $version" "$work/out.txt" || fail "($mode) qx410fw-cli.exe --version printed: $(cat "$work/out.txt")"
  if [ "$has_desktop" = 1 ]; then
    # The installed desktop program, on the session's display, as far as its port dialog (a second
    # window with the program's title over the main window); Esc cancels it and the program ends.
    start_desktop_program "$dir/qx410fw.exe" "$mode"
  fi

  # The uninstaller, run in place: it removes everything but itself (a running program cannot delete its
  # own file), which is then the caller's to remove, with the folder.
  run "$dir/uninstall.exe" /S "_?=$windows_dir" || fail "($mode) the uninstaller ended with status $?: $(cat "$work/err.txt")"
  if [ -d "$dir" ]; then
    found=$(cd "$dir" && LC_ALL=C ls -A | tr '\n' ' ' | sed 's/ $//')
    case "$found" in
      '' | uninstall.exe) ;;
      *) fail "($mode) left in the installation folder after uninstalling: $found" ;;
    esac
    rm -f "$dir/uninstall.exe"
    rmdir "$dir" || fail "($mode) the installation folder could not be removed"
  fi
  [ ! -e "$start_menu" ] || fail "($mode) the Start-menu folder is left: $(find "$start_menu")"
  for root in HKCU HKLM; do
    run reg query "$root\\$key" && fail "($mode) the uninstall entry $root\\$key is left"
  done
  [ -z "$(installation_in_prefix)" ] || fail "($mode) left in the prefix: $(installation_in_prefix)"
  [ "$(temporary_folders)" = "$temporary_before" ] || fail "($mode) temporary folders left: $(temporary_folders)"
  echo "($mode) installed into $windows_dir, started, uninstalled: nothing left"
}

round user
round machine
echo "installer test: $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $started }") s"
exit 0
