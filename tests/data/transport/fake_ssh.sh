#!/bin/sh
# Stands in for ssh in the transport tests: writes its arguments, each followed by a NUL byte,
# to the file $FAKE_SSH_ARGV, then echoes its standard input (or exits when FAKE_SSH_EXIT is set).
printf '%s\0' "$@" > "$FAKE_SSH_ARGV"
[ -n "$FAKE_SSH_EXIT" ] && exit 0
exec cat
