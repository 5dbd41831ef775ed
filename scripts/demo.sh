#!/usr/bin/env bash
# Runs one firmware update with the real desktop program (qx410fw) against the simulated camera
# (qx410-camera-sim), from a build tree. Used by scripts/run.sh and by the "gui" test.
#
# The simulated camera is published in a private device directory (a fresh XDG_RUNTIME_DIR), where every
# COMn entry other than the camera's points nowhere, so the program sees only the simulated camera and
# AUTO never probes the machine's own serial ports. A sample firmware image goes into a fresh folder,
# which is also the program's working folder, so the file dialog opens on it.
#
# Interactive (a display exists): the program opens on that display and the user clicks through it.
# Headless: the program runs under Xvfb with a reparenting window manager (xfwm4 by default, as on an Xfce
# desktop) and this script answers the prompts with xdotool as a user would, printing each step and
# leaving screenshots. It checks what a user sees: the port dialog, the file dialog and the outcome
# message centred by their outer frames, the progress notice at the bottom right inside the screen with
# its frame, bar and digits painted at half way (read from the screenshot's pixels), and the main window
# answering the window manager's liveness check during the download. Either way the simulator's summary is printed at the end
# and the camera's flash is compared with the image payload; the exit status is 0 only when the camera
# took the whole update (checksum matched, reset seen, flash equal to the payload) and the program ended.
set -Eeuo pipefail
trap 'echo "[demo] stopped at line $LINENO: $BASH_COMMAND (status $?)" >&2' ERR

usage() {
    cat <<'EOF'
usage: scripts/demo.sh --build DIR [--serial | --usb-emulated] [--headless] [--port auto|usb|com1..com9]
                       [--out DIR] [--wm xfwm4|openbox|none]

  --build DIR     build tree holding shell/qx410fw and sim/qx410-camera-sim (or sim/qx410-usb-emulator)
  --serial        the simulated camera on a serial pseudo-terminal (COM1) instead of USB
  --usb-emulated  the simulated camera on an emulated USB bus (umockdev), reached through libusb as a
                  real camera is, instead of the driver socket
  --headless      run under Xvfb and answer the prompts automatically (the default without a display)
  --port P        the port to choose in the port dialog (headless; default auto)
  --out DIR       where screenshots and the simulator's summary go (default DIR/demo)
  --wm WM         the window manager of the headless run (default xfwm4; none: bare Xvfb)
EOF
}

. "$(dirname "$0")/sample_image.sh"
HEADER_SIZE=$IMAGE_HEADER_SIZE
USB_WRITTEN=1015808 # a USB download writes 248 blocks of 4096 bytes
SERIAL_PORT=1       # the simulated camera's COM number on the serial link
STEP_TIMEOUT=60     # seconds any prompt may take to appear

build=""
link=usb
emulated=0
headless=0
port=auto
out=""
wm=xfwm4
while [ "$#" -gt 0 ]; do
    case "$1" in
        --build) build=${2:?}; shift ;;
        --serial) link=serial ;;
        --usb-emulated) emulated=1 ;;
        --headless) headless=1 ;;
        --port) port=${2:?}; shift ;;
        --out) out=${2:?}; shift ;;
        --wm) wm=${2:?}; shift ;;
        -h | --help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
    shift
done
if [ -z "$build" ]; then
    usage >&2
    exit 2
fi
case "$port" in
    auto | usb | com[1-9]) ;;
    *) echo "demo: unknown port $port" >&2; exit 2 ;;
esac
case "$wm" in
    xfwm4 | openbox | none) ;;
    *) echo "demo: unknown window manager $wm" >&2; exit 2 ;;
esac
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    headless=1
fi

app=$(realpath "$build/shell/qx410fw")
sim=$(realpath "$build/sim/qx410-camera-sim")
if [ "$emulated" -eq 1 ]; then
    [ "$link" = usb ] || { echo "demo: --usb-emulated and --serial exclude each other" >&2; exit 2; }
    sim=$(realpath "$build/sim/qx410-usb-emulator")
fi
out=$(realpath -m "${out:-$build/demo}")
for program in "$app" "$sim"; do
    if [ ! -x "$program" ]; then
        echo "demo: $program is missing; build the targets qx410fw and $(basename "$sim") first" >&2
        exit 1
    fi
done

step() { printf '[demo %s] %s\n' "$(date +%T)" "$*"; }
fail() {
    printf '[demo %s] FAILED: %s\n' "$(date +%T)" "$*" >&2
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/qx410-demo-XXXXXX")
sim_pid=""
app_pid=""
xvfb_pid=""
wm_pid=""
cleanup() {
    local status=$?
    trap - EXIT INT TERM
    # xfwm4 runs under its own D-Bus session (dbus-run-session), which ends with it.
    if [ -n "$wm_pid" ]; then
        pkill -TERM -P "$wm_pid" 2>/dev/null || true
    fi
    for pid in "$app_pid" "$sim_pid" "$wm_pid" "$xvfb_pid"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    if [ "$status" -ne 0 ] && [ -d "$work" ]; then
        cp -f "$work/wire.log" "$work/app.log" "$out/" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$out"
rm -f "$out"/[0-9][0-9]-*.png "$out/summary.txt" "$out/wire.log" "$out/app.log"

# A private runtime directory: the device directory in it holds only what this run publishes.
runtime="$work/runtime"
devices="$runtime/qx410fw"
mkdir -m 700 "$runtime" "$devices"
export XDG_RUNTIME_DIR="$runtime"
for n in 1 2 3 4 5 6 7 8 9; do
    if [ "$link" = usb ] || [ "$n" -ne "$SERIAL_PORT" ]; then
        ln -s /nonexistent/qx410-no-port "$devices/COM$n"
    fi
done

# The sample image (scripts/sample_image.sh).
firmware="$work/firmware"
image="$firmware/QX410-100.fw"
mkdir "$firmware"
if ! write_sample_image "$image"; then
    fail "the sample image has $(stat -c %s "$image") bytes, not $IMAGE_SIZE"
fi
step "sample firmware image: $image ($IMAGE_SIZE bytes, version 1.00)"

# The simulated camera. On the emulated bus the updater runs under umockdev's preload library with the
# emulator's testbed, and there is no driver socket: it finds the camera by its product string.
app_env=()
if [ "$emulated" -eq 1 ]; then
    sim_args=(--ready-file "$work/umockdev-dir")
    download_timeout=300
    published="$work/umockdev-dir"
elif [ "$link" = usb ]; then
    sim_args=(--usb 1)
    download_timeout=300 # seconds: a USB download takes about a minute and a half
    published="$devices/QX410U-001"
else
    sim_args=(--serial "$SERIAL_PORT")
    download_timeout=900 # seconds: a serial download takes about eight minutes
    published="$devices/COM$SERIAL_PORT"
fi
"$sim" "${sim_args[@]}" --log "$work/wire.log" --flash-out "$work/flash.bin" >"$work/summary.txt" &
sim_pid=$!
for ((i = 0; i < 500; i++)); do
    if [ -e "$published" ] || [ -L "$published" ]; then
        break
    fi
    kill -0 "$sim_pid" 2>/dev/null || fail "the simulator ended at start-up"
    sleep 0.01
done
[ -L "$published" ] || [ -e "$published" ] || fail "the simulator did not publish $published"
if [ "$emulated" -eq 1 ]; then
    app_env=(env LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR="$(cat "$published")")
    step "simulated camera on an emulated USB bus (umockdev testbed $(cat "$published"), firmware 0.60)"
else
    step "simulated camera on $link: $published (firmware 0.60)"
fi

# Counts the commands the camera took with the given code (hex, two digits) from the wire log: the
# log's event lines name each command packet the camera decoded.
commands_seen() {
    grep -c -E "command $1( |$)" "$work/wire.log" 2>/dev/null || true
}

# --- interactive ------------------------------------------------------------------------------------
if [ "$headless" -eq 0 ]; then
    step "starting the updater on this display; choose AUTO or ${link^^}, then pick $(basename "$image")"
    (cd "$firmware" && "${app_env[@]}" "$app") || step "the updater ended with status $?"
fi

# --- headless ---------------------------------------------------------------------------------------

# The client area of a window in screen coordinates, "x y width height".
client_rect() {
    { xwininfo -id "$1" 2>/dev/null || true; } | awk '/Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4}
        /^  Width:/ {w = $2} /^  Height:/ {h = $2} END {print x + 0, y + 0, w + 0, h + 0}'
}

# The outer rectangle of a window, its frame included: the client area grown by the frame extents the
# window manager reports (none on bare Xvfb).
outer_rect() {
    local x y w h left right top bottom
    read -r x y w h < <(client_rect "$1")
    read -r left right top bottom < <({ xprop -id "$1" _NET_FRAME_EXTENTS 2>/dev/null || true; } |
        sed -n 's/.*= //p' | tr -d ',' | grep . || echo 0 0 0 0)
    echo $((x - left)) $((y - top)) $((w + left + right)) $((h + top + bottom))
}

# The main frame: the program's first window; its info bar and view have its width. The view's size is
# what the program places its windows by: a dialog centred on it, the notice at its bottom right.
main_window=""
main_width=0
view_width=0
view_height=0
find_main_window() {
    local id w h best=0 x y
    for id in $(xdotool search --all --onlyvisible --pid "$app_pid" --classname qx410fw 2>/dev/null || true); do
        read -r x y w h < <(client_rect "$id")
        if [ $((w * h)) -gt "$best" ]; then
            best=$((w * h))
            main_window=$id
            main_width=$w
        fi
    done
    [ -n "$main_window" ] || return 1
    # The view is the main frame's child of its width below the info bar.
    local bar_height=0
    read -r x y w h < <(client_rect "$main_window")
    for id in $(xdotool search --all --onlyvisible --pid "$app_pid" --classname qx410fw 2>/dev/null || true); do
        [ "$id" = "$main_window" ] && continue
        local cx cy cw ch
        read -r cx cy cw ch < <(client_rect "$id")
        if [ "$cw" -eq "$w" ] && [ "$cy" -eq "$y" ]; then
            bar_height=$ch
        fi
    done
    view_width=$w
    view_height=$((h - bar_height))
}

# Prints the id of a visible top-level window of the program other than the main frame and its
# children, or nothing. With "centred", only a window centred on the view by its outer frame counts:
# every prompt and message is, the progress notice (at the bottom right) is not.
find_dialog() {
    local id x y w h offset
    for id in $(xdotool search --all --onlyvisible --pid "$app_pid" --classname qx410fw 2>/dev/null || true); do
        read -r x y w h < <(client_rect "$id")
        if [ "$w" -eq "$main_width" ] || [ "$w" -eq 0 ]; then
            continue
        fi
        read -r x y w h < <(outer_rect "$id")
        offset=$((2 * x + w - view_width))
        if [ "${1:-}" = centred ] && { [ "$offset" -gt 1 ] || [ "$offset" -lt -1 ]; }; then
            continue
        fi
        echo "$id"
        return 0
    done
    return 0
}

# Fails unless the window's outer frame sits where the program's rule puts a dialog: its top-left corner
# at half the view's size less half its own, in screen coordinates. The window manager frames a new
# window and publishes its frame extents a moment after the window appears, later on a loaded machine,
# so the position is read again until it holds or STEP_TIMEOUT seconds have passed.
check_centred() {
    local x y w h i
    for ((i = 0; i < STEP_TIMEOUT * 10; i++)); do
        read -r x y w h < <(outer_rect "$1")
        if [ "$x" -eq $((view_width / 2 - w / 2)) ] && [ "$y" -eq $((view_height / 2 - h / 2)) ]; then
            step "$2 centred by its outer frame: $x,$y, ${w}x$h"
            return 0
        fi
        sleep 0.1
    done
    fail "$2 at $x,$y (outer ${w}x$h) is not centred on the ${view_width}x$view_height view by its frame"
}

# Waits for a dialog to appear and prints its id; fails after STEP_TIMEOUT seconds.
wait_dialog() {
    local id
    for ((i = 0; i < STEP_TIMEOUT * 10; i++)); do
        id=$(find_dialog)
        if [ -n "$id" ]; then
            echo "$id"
            return 0
        fi
        kill -0 "$app_pid" 2>/dev/null || fail "the updater ended while waiting for $1"
        sleep 0.1
    done
    fail "no $1 within $STEP_TIMEOUT s"
}

wait_dialog_gone() {
    for ((i = 0; i < STEP_TIMEOUT * 10; i++)); do
        if [ "$(find_dialog)" != "$1" ]; then
            return 0
        fi
        sleep 0.1
    done
    fail "the dialog $1 stayed open"
}

press() {
    local window=$1
    shift
    xdotool windowfocus --sync "$window" 2>/dev/null || xdotool windowfocus "$window"
    xdotool key --clearmodifiers "$@"
}

# Clicks a point of a dialog given in its template's dialog units (the dialog's client area spans
# width x height units).
click_units() {
    local window=$1 x=$2 y=$3 width=$4 height=$5 cx cy w h
    read -r cx cy w h < <(client_rect "$window")
    xdotool mousemove --window "$window" $((x * w / width)) $((y * h / height)) click 1
}

# pixel and check_notice_pixels: the notice's picture read from a screenshot (shared with the Windows run).
# shellcheck source=screen_checks.sh
. "$(dirname "${BASH_SOURCE[0]}")/screen_checks.sh"

if [ "$headless" -eq 1 ]; then
    screen_width=1024
    screen_height=768
    exec 4>"$work/display"
    Xvfb -displayfd 4 -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    exec 4>&-
    for ((i = 0; i < 100; i++)); do
        [ -s "$work/display" ] && break
        kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
        sleep 0.1
    done
    [ -s "$work/display" ] || fail "Xvfb did not report its display"
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
    unset WAYLAND_DISPLAY
    export QT_QPA_PLATFORM=xcb
    step "virtual display $DISPLAY (${screen_width}x${screen_height})"

    case "$wm" in
        xfwm4)
            # xfwm4 keeps its settings in xfconf, reached over a session bus of its own here.
            NO_AT_BRIDGE=1 dbus-run-session -- xfwm4 --compositor=off >"$work/wm.log" 2>&1 &
            wm_pid=$!
            ;;
        openbox)
            openbox --sm-disable >"$work/wm.log" 2>&1 &
            wm_pid=$!
            ;;
        none) ;;
    esac
    if [ -n "$wm_pid" ]; then
        for ((i = 0; i < 100; i++)); do
            xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
            kill -0 "$wm_pid" 2>/dev/null || fail "$wm did not start: $(cat "$work/wm.log")"
            sleep 0.1
        done
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' || fail "$wm did not start"
        step "window manager: $wm"
    fi

    (cd "$firmware" && exec "${app_env[@]}" "$app") >"$work/app.log" 2>&1 &
    app_pid=$!
    step "updater started (pid $app_pid)"

    # The main window comes first; the port dialog 200 ms after its first paint.
    for ((i = 0; i < STEP_TIMEOUT * 10; i++)); do
        find_main_window && break
        kill -0 "$app_pid" 2>/dev/null || fail "the updater ended at start-up"
        sleep 0.1
    done
    [ -n "$main_window" ] || fail "no main window within $STEP_TIMEOUT s"
    dialog=$(wait_dialog "port dialog")
    find_main_window
    read -r x y w h < <(outer_rect "$main_window")
    if [ "$x" -lt 0 ] || [ "$y" -lt 0 ] || [ $((x + w)) -gt "$screen_width" ] || [ $((y + h)) -gt "$screen_height" ]; then
        fail "the main window's frame ($x,$y ${w}x$h) does not fit the screen"
    fi
    step "main window $main_window: frame $x,$y ${w}x$h; view ${view_width}x$view_height"
    sleep 0.5
    check_centred "$dialog" "port dialog"
    # The port dialog's radio buttons, at their positions in the 187 x 116 template.
    case "$port" in
        auto) ;;
        usb) click_units "$dialog" 68 91 187 116 ;;
        com[1-5]) click_units "$dialog" 27 $((35 + (${port#com} - 1) * 14)) 187 116 ;;
        com[6-9]) click_units "$dialog" 67 $((35 + (${port#com} - 6) * 14)) 187 116 ;;
    esac
    sleep 0.2
    screenshot port-dialog
    step "port dialog: ${port^^} chosen, Enter (OK)"
    press "$dialog" Return
    wait_dialog_gone "$dialog"

    dialog=$(wait_dialog "file dialog")
    step "searching done, camera in update mode; file dialog open"
    sleep 0.5
    check_centred "$dialog" "file dialog"
    screenshot file-dialog
    step "file dialog: typing $image, Enter"
    press "$dialog" ctrl+a
    xdotool type --delay 2 "$image"
    sleep 0.3
    press "$dialog" Return
    wait_dialog_gone "$dialog"

    # The progress notice mid-download, once half of the blocks are written; a download that ends
    # earlier goes straight to its outcome message.
    if [ "$link" = usb ]; then
        half=124
    else
        half=2048
    fi
    step "download running; waiting for block $half"
    for ((i = 0; i < download_timeout * 5; i++)); do
        [ "$(commands_seen 1d)" -ge "$half" ] && break
        [ -n "$(find_dialog centred)" ] && break
        kill -0 "$app_pid" 2>/dev/null || fail "the updater ended during the download"
        sleep 0.2
    done
    if [ "$(commands_seen 1d)" -ge "$half" ]; then
        notice=$(find_dialog)
        [ -n "$notice" ] || fail "no progress notice at half way"
        screenshot progress-notice
        shot=$(printf '%s/%02d-progress-notice.png' "$out" "$shot_count")
        read -r x y w h < <(outer_rect "$notice")
        if [ "$x" -ne $((view_width - w - 10)) ] || [ "$y" -ne $((view_height - h)) ] ||
            [ $((x + w)) -gt "$screen_width" ] || [ $((y + h)) -gt "$screen_height" ]; then
            fail "the notice's frame ($x,$y ${w}x$h) is not at the bottom right of the view inside the screen"
        fi
        step "progress notice: frame $x,$y ${w}x$h, at the bottom right inside the screen"
        read -r x y w h < <(client_rect "$notice")
        percent=$(check_notice_pixels "$shot" "$x" "$y" "$w" "$h")
        [ "$percent" -ge 30 ] && [ "$percent" -le 70 ] || fail "the notice's bar shows $percent % at half way"
        step "progress notice painted: frame, bar at $percent %, digits"
        # The window manager's liveness check, answered while the update waits between commands.
        ping_tool="$build/tests/qx410-wm-ping"
        if [ -x "$ping_tool" ]; then
            "$ping_tool" "$main_window" 2000 || fail "the main window did not answer the liveness check"
        else
            step "no $ping_tool: liveness check skipped"
        fi
    else
        step "the download ended at block $(commands_seen 1d)"
    fi

    step "waiting for the outcome message"
    dialog=""
    for ((i = 0; i < download_timeout * 5; i++)); do
        dialog=$(find_dialog centred)
        [ -n "$dialog" ] && break
        kill -0 "$app_pid" 2>/dev/null || fail "the updater ended without an outcome message"
        sleep 0.2
    done
    [ -n "$dialog" ] || fail "no outcome message within $download_timeout s"
    sleep 0.5
    check_centred "$dialog" "outcome message"
    screenshot outcome-message
    step "outcome message: Enter"
    press "$dialog" Return

    for ((i = 0; i < STEP_TIMEOUT * 10; i++)); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$app_pid" 2>/dev/null; then
        fail "the updater did not close after the outcome message"
    fi
    app_status=0
    wait "$app_pid" || app_status=$?
    app_pid=""
    [ "$app_status" -eq 0 ] || fail "the updater ended with status $app_status"
    step "the updater closed by itself"
fi

# --- the camera's side --------------------------------------------------------------------------------
kill -TERM "$sim_pid"
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=""
cp "$work/summary.txt" "$out/summary.txt"
step "simulator summary ($out/summary.txt):"
grep -v '^command: ' "$work/summary.txt" | sed 's/^/    /'
[ "$sim_status" -eq 0 ] || fail "the simulator ended with status $sim_status"

value() { sed -n "s/^$1: //p" "$work/summary.txt"; }
if [ "$link" = usb ]; then
    compared=$USB_WRITTEN
else
    compared=$((IMAGE_SIZE - HEADER_SIZE))
fi
if cmp -s -n "$compared" "$work/flash.bin" <(tail -c +$((HEADER_SIZE + 1)) "$image"); then
    step "flash equals the image payload (first $compared bytes): yes"
    flash_ok=1
else
    step "flash equals the image payload (first $compared bytes): NO"
    flash_ok=0
fi

[ "$(value reset)" = yes ] || fail "the camera saw no reset"
[ "$(value checksum-received)" != none ] || fail "the camera received no checksum"
[ "$(value checksum-received)" = "$(value checksum-computed)" ] || fail "the checksum did not match"
[ "$flash_ok" -eq 1 ] || fail "the flash differs from the image payload"
if [ "$headless" -eq 1 ]; then
    step "update complete; screenshots in $out"
else
    step "update complete"
fi
