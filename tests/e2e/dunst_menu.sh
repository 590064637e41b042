#!/bin/sh
# Stands in for dmenu in dunst's context menu during the tests. dunst writes
# one line per action ("#Label [summary]") to stdin; this prints the first line
# that holds the label named in the file given as $1, or nothing (no choice)
# when that file or a matching line is missing.
choice=""
if [ -n "${1:-}" ] && [ -r "$1" ]; then
    choice=$(cat "$1")
fi
lines=$(cat)
[ -n "$choice" ] || exit 0
printf '%s\n' "$lines" | grep -F -m 1 -- "#$choice " || true
