#!/usr/bin/env bash
# Regenerates the picture fixtures with Debian's tools (ImageMagick, cwebp, ffmpeg with libx264).
# quad.*: 32x32, quadrants red (top left), green (top right), blue (bottom left), white.
set -euo pipefail
cd "$(dirname "$0")"
convert=/usr/bin/convert
$convert -size 16x16 xc:'#ff0000' xc:'#00ff00' +append top.ppm
$convert -size 16x16 xc:'#0000ff' xc:'#ffffff' +append bottom.ppm
$convert top.ppm bottom.ppm -append PNG24:quad.png
rm -f top.ppm bottom.ppm
$convert quad.png -quality 95 quad.jpg
cwebp -quiet -lossless quad.png -o quad.webp
x264=(-c:v libx264 -preset ultrafast -tune zerolatency -profile:v baseline -bsf:v h264_mp4toannexb -f h264)
# 10 frames of a moving test pattern.
ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -frames:v 10 -pix_fmt yuv420p "${x264[@]}" tiny.h264
# #123456 in limited range (x264's default) and in full range.
ffmpeg -loglevel error -y -f lavfi -i color=c=0x123456:size=32x32:rate=5 -frames:v 3 -pix_fmt yuv420p "${x264[@]}" solid-limited.h264
ffmpeg -loglevel error -y -f lavfi -i color=c=0x123456:size=32x32:rate=5 -frames:v 3 \
  -vf format=rgb24,scale=out_range=pc,format=yuvj420p -color_range pc "${x264[@]}" solid-full.h264
# 1280x720: red top-left quarter on #123456, to be drawn as 640x480.
ffmpeg -loglevel error -y -f lavfi -i color=c=0x123456:size=1280x720:rate=5 -frames:v 3 \
  -vf drawbox=x=0:y=0:w=640:h=360:color=red:t=fill -pix_fmt yuv420p "${x264[@]}" big720.h264
# Access unit delimiters in front of every frame, as the demo server sends them.
ffmpeg -loglevel error -y -f lavfi -i testsrc=size=32x32:rate=10 -frames:v 3 -pix_fmt yuv420p \
  -x264-params aud=1 "${x264[@]}" aud.h264
