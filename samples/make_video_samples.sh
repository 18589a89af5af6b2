#!/usr/bin/env bash
# Writes the sample video clips of the main job into this folder (or OUTPUT_DIR): three seconds
# of a moving test pattern with a running clock, 25 frames a second, H.264 with B-frames and a
# key frame every second, in MP4 and in Matroska (with an audio tone ahead of the video there).
# Usage: samples/make_video_samples.sh [OUTPUT_DIR]    (needs ffmpeg with libx264)
set -euo pipefail
out="${1:-$(dirname "$0")}"
pattern="testsrc2=size=192x108:rate=25:duration=3"
x264=(-c:v libx264 -preset veryfast -crf 26 -g 25 -bf 2 -pix_fmt yuv420p
      -bitexact -map_metadata -1 -fflags +bitexact)
ffmpeg -v error -y -f lavfi -i "$pattern" "${x264[@]}" -movflags +faststart \
    "$out/video-h264.mp4"
ffmpeg -v error -y -f lavfi -i "sine=frequency=440:duration=3" -f lavfi -i "$pattern" \
    -map 0:a -map 1:v -c:a mp2 -b:a 64k "${x264[@]}" "$out/video-audio-first.mkv"
