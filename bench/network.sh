#!/usr/bin/env bash
# Media over bad networks: codec x content x loss x uplink, figures as a Markdown table; needs
# nftables and xterm. Usage: bench/network.sh [--codecs VP8 h264] [--contents still scrolling]
# [--losses 0 1 3 10] [--uplinks open "1 Mbit/s" "500 kbit/s"] [--repeat 5] [--step]
exec "$(dirname "$0")/run.sh" --network "$@"
