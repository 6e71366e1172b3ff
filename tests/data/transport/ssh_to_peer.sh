#!/bin/sh
# Stands in for ssh: ignores its arguments and runs the scripted test server on its own standard
# input and output, as the remote "nolv _proxy" would, with the scenario in $PEER_SCRIPT.
exec /usr/bin/python3 "$NOLV_PEER_DIR/nolv_peer.py" --transport=stdio --script="$PEER_SCRIPT"
