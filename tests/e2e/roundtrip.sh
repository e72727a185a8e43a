#!/usr/bin/env bash
# Real streams through kvxmux and orvale, checked by ffmpeg: the video decodes
# to the very frames it came from, without SEI units and delimiters; the AAC
# decodes to the very samples; MP3 comes back byte for byte. Then the same on
# a damaged file: a corrupted packet and a file cut short.
#
#   roundtrip.sh ORVALE KVXMUX [EMULATOR...]
# A cross build passes the emulator its programs run under.
# Exits 77 (skipped) without ffmpeg, unless ORVALE_REQUIRE_FFMPEG is set.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_start "$@"

frames_md5() { ff -i "$1" -f framemd5 - | grep -v '^#'; }
audio_md5() { ff -i "$1" -f md5 -; }
same_frames() { [[ "$(frames_md5 "$1")" == "$(frames_md5 "$2")" ]]; }
same_samples() { [[ "$(audio_md5 "$1")" == "$(audio_md5 "$2")" ]]; }
nal_types() {
  ffmpeg -nostdin -i "$1" -c copy -bsf:v trace_headers -f null - 2>&1 |
    sed -n 's/.*nal_unit_type .* = \([0-9]*\)$/\1/p' | sort -u | tr '\n' ' '
}
no_sei_or_delimiter() { ! nal_types "$1" | grep -qwE '6|9'; }
has_sei_and_delimiter() { nal_types "$1" | grep -qw 6 && nal_types "$1" | grep -qw 9; }
probe() { ffprobe -v error -select_streams a:0 -show_entries "stream=$2" -of csv=p=0 "$1"; }
decodes_cleanly() { [[ -z "$(ff -i "$1" -f null - 2>&1)" ]]; }
strict_decode() { ff -xerror -i "$1" -f null -; }
frame_count() { ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
runs_clean() {  # runs_clean INPUT: exit 0, nothing printed
  local out
  out=$("$orvale" "$1" 2>&1) && [[ -z "$out" ]]
}

# Sources: five seconds of video with a delimiter and SEI in every access
# unit, two AAC tones at each rate, one MP3 tone.
ff -f lavfi -i testsrc2=size=320x240:rate=25:duration=5 -c:v libx264 -preset veryfast \
  -pix_fmt yuv420p -g 50 -b:v 300k -maxrate 400k -bufsize 800k -x264-params aud=1:nal-hrd=vbr \
  -f h264 "$work/video.264"
check "source video carries SEI units and delimiters" has_sei_and_delimiter "$work/video.264"
for rate in 44100 32000; do
  for tone in 0:440 1:880; do
    ff -f lavfi -i "sine=frequency=${tone#*:}:sample_rate=$rate:duration=5" -ac 2 -c:a aac \
      -b:a 64k -f adts "$work/tone$rate.${tone%%:*}.aac"
  done
  # One microphone, as many cameras record.
  ff -f lavfi -i "sine=frequency=660:sample_rate=$rate:duration=5" -ac 1 -c:a aac -b:a 48k \
    -f adts "$work/mono$rate.aac"
done
# Plain frames, as a recorder streams them: no Xing frame, which holds no
# audio but would count as a frame.
ff -f lavfi -i sine=frequency=550:sample_rate=44100:duration=5 -c:a libmp3lame -b:a 96k \
  -write_xing 0 "$work/tone.mp3"

# name rate audio...
cases=(
  "aac44100 44100 tone44100.0.aac tone44100.1.aac"
  "aac32000 32000 tone32000.0.aac tone32000.1.aac"
  "mp3 44100 tone.mp3"
  "mono44100 44100 mono44100.aac tone44100.1.aac"
  "mono32000 32000 mono32000.aac"
)
for entry in "${cases[@]}"; do
  read -r name rate audio <<<"$entry"
  sources=()
  for a in $audio; do sources+=("$work/$a"); done
  "$kvxmux" --rate "$rate" "$work/$name.kvx" "$work/video.264" "${sources[@]}"
  check "$name: orvale runs clean" runs_clean "$work/$name.kvx"
  check "$name: video decodes to the source frames" same_frames "$work/$name.kvx.264" "$work/video.264"
  check "$name: no SEI or delimiter left" no_sei_or_delimiter "$work/$name.kvx.264"
  s=0
  for a in $audio; do
    if [[ $a == *.aac ]]; then
      out="$work/$name.kvx.$s.aac"
      check "$name: stream $s is AAC" [ "$(probe "$out" codec_name)" = aac ]
      check "$name: stream $s at $rate Hz" [ "$(probe "$out" sample_rate)" = "$rate" ]
      channels=$(probe "$work/$a" channels)
      check "$name: stream $s has the source's $channels channels" \
        [ "$(probe "$out" channels)" = "$channels" ]
      check "$name: stream $s decodes with -xerror" strict_decode "$out"
      check "$name: stream $s decodes to the source samples" same_samples "$out" "$work/$a"
    else
      check "$name: stream $s is the source MP3" cmp -s "$work/$name.kvx.$s.mp3" "$work/$a"
    fi
    s=$((s + 1))
  done
done

# kvxmux marks key frames in bit 0 of the index entries, one per IDR picture.
key_entries() {
  od -An -tu4 -v -j 56 -N $((4 * $(le32 "$1" 12))) "$1" | tr -s ' ' '\n' | grep -c '[13579]$'
}
idr_pictures() {
  ffprobe -v error -show_entries packet=flags -of csv=p=0 "$1" | grep -c K
}
check "kvxmux: key frames flagged in the index" \
  [ "$(key_entries "$work/aac44100.kvx")" = "$(idr_pictures "$work/video.264")" ]

# kvxmux refuses what it cannot mux, saying why.
refuses() {  # refuses WORD ARGS...: non-zero exit and WORD in the message
  local word=$1 err
  shift
  ! err=$("$kvxmux" "$@" 2>&1) && grep -q "$word" <<<"$err"
}
check "kvxmux: missing video" refuses "cannot read" "$work/x.kvx" "$work/absent.264"
check "kvxmux: AAC and MP3 mixed" refuses "all MP3" "$work/x.kvx" "$work/video.264" \
  "$work/tone44100.0.aac" "$work/tone.mp3"
check "kvxmux: audio that is not ADTS" refuses "ADTS" "$work/x.kvx" "$work/video.264" \
  "$work/tone44100.0.aac" "$work/video.264"
echo "no video here" >"$work/text.264"
check "kvxmux: video without start codes" refuses "no H.264 start code" "$work/x.kvx" \
  "$work/text.264"
check "kvxmux: eleven audio files" refuses "at most 10" "$work/x.kvx" "$work/video.264" \
  $(for i in $(seq 11); do echo "$work/tone.mp3"; done)

# Damaged files, made from the 44.1 kHz file; packet 49 is the last of the
# first group of pictures, so no later picture refers to it.
full="$work/aac44100.kvx"
total=$(frame_count "$full.264")

cp "$full" "$work/corrupt.kvx"
at=$(($(packet_offset "$full" 49) + 9))
printf '\xff\xff\xff\x7f' | dd of="$work/corrupt.kvx" bs=1 seek="$at" conv=notrunc status=none
status=0
err=$("$orvale" "$work/corrupt.kvx" 2>&1 >/dev/null) || status=$?
check "corrupt: exit status 1" [ "$status" = 1 ]
check "corrupt: diagnostic names the packet" grep -q "packet 49 " <<<"$err"
check "corrupt: video decodes cleanly" decodes_cleanly "$work/corrupt.kvx.264"
check "corrupt: every other picture is there" [ "$(frame_count "$work/corrupt.kvx.264")" = $((total - 1)) ]
for s in 0 1; do
  check "corrupt: stream $s decodes cleanly" decodes_cleanly "$work/corrupt.kvx.$s.aac"
  check "corrupt: stream $s is shorter than the whole" \
    [ "$(stat -c %s "$work/corrupt.kvx.$s.aac")" -lt "$(stat -c %s "$full.$s.aac")" ]
done

cut_at=$(($(packet_offset "$full" 60) + 100))
head -c "$cut_at" "$full" >"$work/cut.kvx"
status=0
err=$("$orvale" "$work/cut.kvx" 2>&1 >/dev/null) || status=$?
check "cut: exit status 1" [ "$status" = 1 ]
check "cut: diagnostic says where the input ends" grep -q "the input ends at byte $cut_at" <<<"$err"
check "cut: video decodes cleanly" decodes_cleanly "$work/cut.kvx.264"
check "cut: the 60 whole pictures are there" [ "$(frame_count "$work/cut.kvx.264")" = 60 ]
check "cut: video is a prefix of the whole" cmp -s "$work/cut.kvx.264" "$full.264" -n "$(stat -c %s "$work/cut.kvx.264")"
for s in 0 1; do
  check "cut: stream $s decodes cleanly" decodes_cleanly "$work/cut.kvx.$s.aac"
  check "cut: stream $s is a prefix of the whole" \
    cmp -s "$work/cut.kvx.$s.aac" "$full.$s.aac" -n "$(stat -c %s "$work/cut.kvx.$s.aac")"
done

# Rescue: an index whose first entry lost a bit misaligns every later packet;
# a plain run gets one picture, a rescue gets them all back.
cp "$full" "$work/flipped.kvx"
byte=$(od -An -tu1 -j 57 -N 1 "$full" | tr -d ' ')
printf "\\$(printf '%03o' $((byte ^ 1)))" | dd of="$work/flipped.kvx" bs=1 seek=57 conv=notrunc status=none
status=0
err=$("$orvale" "$work/flipped.kvx" 2>&1 >/dev/null) || status=$?
check "flipped: a plain run says the index looks damaged" grep -q "the index looks damaged at entry 0" <<<"$err"
mkdir "$work/rescued"
status=0
err=$("$orvale" --rescue -o "$work/rescued" "$work/flipped.kvx" 2>&1 >/dev/null) || status=$?
check "flipped: rescue exits 1" [ "$status" = 1 ]
check "flipped: rescue says what it recovered" grep -q "recovered by structure" <<<"$err"
check "flipped: rescued video decodes cleanly" decodes_cleanly "$work/rescued/flipped.kvx.264"
check "flipped: every picture is back" [ "$(frame_count "$work/rescued/flipped.kvx.264")" = "$total" ]
for s in 0 1; do
  check "flipped: stream $s is back whole" cmp -s "$work/rescued/flipped.kvx.$s.aac" "$full.$s.aac"
done

# Looking first: the listing counts what ffmpeg counts, and one stream piped
# straight into ffmpeg decodes as the file does.
listed() { "$orvale" --list "$full" | grep -o "$1"; }
check "list: as many pictures as ffmpeg decodes" \
  [ "$(listed '[0-9]* pictures')" = "$(frame_count "$full.264") pictures" ]
check "list: as many frames as stream 1 holds" \
  grep -q "audio 1: .* $(frame_count "$full.1.aac") frames" <(listed 'audio 1:.*frames')
check "list: as many MP3 frames as ffprobe counts" \
  grep -q " $(frame_count "$work/mp3.kvx.0.mp3") frames" <("$orvale" --list "$work/mp3.kvx")
piped() { "$orvale" -c -s v "$full" | ffmpeg -v error -xerror -f h264 -i - -f framecrc -; }
check "stdout: the piped video decodes to the file's frames" \
  cmp -s <(piped) <(ffmpeg -v error -xerror -i "$full.264" -f framecrc -)

e2e_finish roundtrip
