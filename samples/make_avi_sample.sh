#!/usr/bin/env bash
# Writes samples/clip-audio-video.avi: two seconds of a moving test pattern (MPEG-4 part 2, a key
# frame every 10 frames, 25 frames per second) after a stream of 8 kHz sound, so that the video is
# the file's second stream. Made with Debian's ffmpeg from its built-in sources alone:
# samples/make_avi_sample.sh [OUTPUT_DIR]
set -euo pipefail
out="${1:-$(dirname "$0")}"
ffmpeg -hide_banner -loglevel error -y \
    -f lavfi -i "sine=frequency=440:sample_rate=8000:duration=2" \
    -f lavfi -i "testsrc=size=96x72:rate=25:duration=2" \
    -map 0:a -map 1:v -c:a pcm_u8 -c:v mpeg4 -q:v 4 -g 10 -bf 0 \
    -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
    "$out/clip-audio-video.avi"
