# Sourced by the scripted desktop runs (scripts/demo.sh on Linux, tests/windows/gui_update_test.sh under
# Wine): the numbered screenshots, and what a user sees, read from a screenshot's pixels with
# ImageMagick. The caller defines fail and step, and sets out (the screenshots' folder).

# The whole screen into out/NN-NAME.png, numbered in order.
shot_count=0
screenshot() {
    shot_count=$((shot_count + 1))
    local file
    file=$(printf '%s/%02d-%s.png' "$out" "$shot_count" "$1")
    import -display "$DISPLAY" -window root "$file"
    step "screenshot: $file"
}

# The colour of a pixel of a screenshot as six hex digits.
pixel() {
    convert "$1" -format '%[hex:p{'"$2,$3"'}]' info: | cut -c1-6
}

# Checks the progress notice in a screenshot from its pixels: the client area's picture has a black
# frame outline (x 9..310, y B-31..B-12, B = client height), a blue bar from x 10 three pixels per
# percent with white beyond it, and the percentage's bitmap digits XORed over bar and white near x 140.
# Prints the percentage the bar shows.
check_notice_pixels() {
    local shot=$1 x=$2 y=$3 w=$4 h=$5 b row bar digits
    b=$h
    [ "$(pixel "$shot" $((x + 9)) $((y + b - 31)))" = 000000 ] || fail "the notice's frame (top left) is not painted"
    [ "$(pixel "$shot" $((x + 310)) $((y + b - 12)))" = 000000 ] || fail "the notice's frame (bottom right) is not painted"
    # A row of the bar below the digits: blue up to the bar's end, white after it.
    row=$(convert "$shot" -crop 300x1+$((x + 10))+$((y + b - 14)) +repage txt:- | tail -n +2)
    bar=$(grep -c '#0000FF' <<<"$row" || true)
    [ "$(grep -c -v -e '#0000FF' -e '#FFFFFF' <<<"$row" || true)" -eq 0 ] ||
        fail "the notice's bar row holds colours other than blue and white"
    [ "$(grep -n '#0000FF' <<<"$row" | tail -1 | cut -d: -f1)" = "$bar" ] || [ "$bar" -eq 0 ] ||
        fail "the notice's bar is not one run from its left end"
    # The digits: pixels in the digit cells that differ from the bar row's colour at the same x.
    digits=$(convert "$shot" -crop 40x10+$((x + 140))+$((y + b - 27)) +repage txt:- | tail -n +2 |
        awk -v bar=$((bar + 10 - 140)) '{split($1, p, /[,:]/); blue = (p[1] < bar);
            if ((blue && $3 != "#0000FF") || (!blue && $3 != "#FFFFFF")) n++} END {print n + 0}')
    [ "$digits" -ge 20 ] || fail "the notice shows no percentage digits ($digits glyph pixels)"
    echo $((bar / 3))
}
