#!/usr/bin/env bash
# kvxmux --fps lays packets out as a recorder does: packet i carries, in each
# stream, every audio frame whose first sample comes before picture i+1's
# time, and the last packet the rest. Each file's packets are read back and
# held to that rule, worked out here in integers; the header takes the
# sources' rate; MP3 goes in as whole frames; what cannot be laid out so is
# refused, saying why.
#
#   kvxmux.sh ORVALE KVXMUX [EMULATOR...]
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_start "$@"

# 100 pictures; tones of four seconds, so the slower layouts run out of
# audio before the pictures end.
ff -f lavfi -i testsrc2=size=96x64:rate=25:duration=4 -c:v libx264 -preset ultrafast -g 30 \
  -f h264 "$work/video.264"
for rate in 44100 48000; do
  ff -f lavfi -i "sine=sample_rate=$rate:duration=4" -ac 2 -c:a aac -f adts "$work/aac$rate.aac"
done
ff -f lavfi -i sine=sample_rate=48000:duration=4 -ac 1 -c:a aac -f adts "$work/mono48000.aac"
ff -f lavfi -i sine=sample_rate=48000:duration=2 -ac 1 -c:a aac -f adts "$work/short48000.aac"
for rate in 44100 22050 11025; do
  ff -f lavfi -i "sine=sample_rate=$rate:duration=4" -c:a libmp3lame -write_xing 0 \
    -id3v2_version 0 "$work/mp3$rate.mp3"
done
ff -f lavfi -i sine=sample_rate=44100:duration=4 -c:a libmp3lame -write_id3v1 1 \
  -metadata title=tone "$work/tagged.mp3"
ff -f lavfi -i sine=sample_rate=44100:duration=10 -c:a aac -f adts "$work/ten.aac"
ff -f lavfi -i sine=sample_rate=44100:duration=60 -c:a aac -f adts "$work/long.aac"

# Frame counts of every packet, one line each.
packet_frames() {
  local file=$1 count offset entry
  count=$(le32 "$file" 12)
  offset=$((56 + 4 * count))
  for entry in $(od -An -tu4 -v -j 56 -N $((4 * count)) "$file"); do
    od -An -tu1 -j "$offset" -N 1 "$file" | tr -d ' '
    offset=$((offset + entry / 2))
  done
}

# The same, worked out from the rule: expected_frames PICTURES FRAMES
# SAMPLES_PER_FRAME RATE SEGMENTS, with SEGMENTS as --fps takes them.
expected_frames() {
  local pictures=$1 frames=$2 per_frame=$3 rate=$4 layout=$5
  local -a items nums dens counts
  local item r n d c ticks=1 i s=0 left time=0 end before=0 a b g
  IFS=, read -ra items <<<"$layout"
  for item in "${items[@]}"; do
    r=${item%%:*}
    c=0
    [[ $item == *:* ]] && c=${item#*:}
    n=${r%%/*}
    d=1
    [[ $r == */* ]] && d=${r#*/}
    nums+=("$n") dens+=("$d") counts+=("$c")
    a=$ticks b=$n
    while ((b)); do g=$((a % b)) a=$b b=$g; done
    ticks=$((ticks / a * n))
  done
  left=${counts[0]}
  for ((i = 0; i < pictures; i++)); do
    if ((left == 0 && s + 1 < ${#nums[@]})); then s=$((s + 1)) left=${counts[s]}; fi
    ((left > 0)) && left=$((left - 1))
    time=$((time + dens[s] * (ticks / nums[s])))
    # Frames whose first sample k * per_frame / rate comes before time / ticks.
    end=$(((time * rate + per_frame * ticks - 1) / (per_frame * ticks)))
    ((end > frames || i + 1 == pictures)) && end=$frames
    echo $((end - before))
    before=$end
  done
}

pictures=$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 "$work/video.264")
frames_of() { ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$1"; }

# name --fps audio... (every stream at one rate; the first gives it)
cases=(
  "aac30 30 aac44100.aac"
  "ntsc2 30000/1001 aac48000.aac mono48000.aac"
  "drop 30:40,15 aac44100.aac"
  "three 50:10,24000/1001:30,7 aac48000.aac"
  "mp3 25 mp344100.mp3"
  "mpeg2 25 mp322050.mp3"
  "mpeg25 25 mp311025.mp3"
)
for entry in "${cases[@]}"; do
  read -r name fps audio <<<"$entry"
  sources=()
  for a in $audio; do sources+=("$work/$a"); done
  first=${sources[0]}
  rate=$(ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 "$first")
  per_frame=1024
  [[ $first == *.mp3 ]] && per_frame=$((rate > 24000 ? 1152 : 576))  # MPEG-1, or 2 and 2.5
  check "$name: kvxmux lays it out" "$kvxmux" --fps "$fps" "$work/$name.kvx" "$work/video.264" "${sources[@]}"
  check "$name: the header says the sources' $rate Hz" [ "$(le32 "$work/$name.kvx" 48)" = "$rate" ]
  check "$name: each packet carries the frames that start before the next picture" \
    cmp -s <(packet_frames "$work/$name.kvx") \
    <(expected_frames "$pictures" "$(frames_of "$first")" "$per_frame" "$rate" "$fps")
done
"$orvale" -q "$work/mp3.kvx" "$work/mpeg2.kvx"
check "mp3: whole frames come back as they went in" cmp -s "$work/mp3.kvx.0.mp3" "$work/mp344100.mp3"
check "mpeg2: whole frames come back as they went in" cmp -s "$work/mpeg2.kvx.0.mp3" "$work/mp322050.mp3"
check "tagged: kvxmux finds the frames between the tags" \
  "$kvxmux" --fps 25 "$work/tagged.kvx" "$work/video.264" "$work/tagged.mp3"
"$orvale" -q "$work/tagged.kvx" || true
size=$(stat -c %s "$work/tagged.kvx.0.mp3" 2>/dev/null || echo 0)
check "tagged: the ID3 tags at either end stay out, the frames go in" \
  cmp -s "$work/tagged.kvx.0.mp3" <(head -c -128 "$work/tagged.mp3" | tail -c "$size")
check "tagged: there was a tag before the frames" \
  [ "$(stat -c %s "$work/tagged.mp3")" -gt $((size + 128)) ]
"$kvxmux" --rate 32000 --fps 25 "$work/relabelled.kvx" "$work/video.264" "$work/aac44100.aac"
check "relabelled: --rate wins over the sources" [ "$(le32 "$work/relabelled.kvx" 48)" = 32000 ]
check "relabelled: the layout follows the rate the header says" \
  cmp -s <(packet_frames "$work/relabelled.kvx") \
  <(expected_frames "$pictures" "$(frames_of "$work/aac44100.aac")" 1024 32000 25)

refuses() {  # refuses WORD ARGS...: non-zero exit and WORD in the message
  local word=$1 err
  shift
  ! err=$("$kvxmux" "$@" 2>&1) && grep -q -- "$word" <<<"$err"
}
check "refused: streams at two rates" refuses "one audio rate" \
  "$work/x.kvx" "$work/video.264" "$work/aac44100.aac" "$work/aac48000.aac"
check "refused: MP3 streams at two rates" refuses "one audio rate" \
  "$work/x.kvx" "$work/video.264" "$work/mp344100.mp3" "$work/mp322050.mp3"
check "refused: more audio than a last packet holds" refuses "at most 255" \
  --fps 25 "$work/x.kvx" "$work/video.264" "$work/long.aac"
# A first picture of 5.9 s carries 255 frames at 44.1 kHz, one of 5.93 s 256.
"$kvxmux" --fps 10/59:1,25 "$work/x.kvx" "$work/video.264" "$work/ten.aac"
check "a first packet of 255 frames" [ "$(packet_frames "$work/x.kvx" | head -1)" = 255 ]
check "refused: a first packet of 256 frames" refuses "raise --fps" \
  --fps 100/593:1,25 "$work/x.kvx" "$work/video.264" "$work/ten.aac"
check "refused: streams of different lengths" refuses "same number of frames" \
  --fps 25 "$work/x.kvx" "$work/video.264" "$work/aac48000.aac" "$work/short48000.aac"
for bad in 0 30:0 x 30,15 30:10, 1/0 2000000; do
  check "refused: --fps $bad" refuses "--fps takes" --fps "$bad" "$work/x.kvx" "$work/video.264"
done
check "refused: MP3 that is not layer III" refuses "layer III" \
  --fps 25 "$work/x.kvx" "$work/video.264" "$work/video.264"

e2e_finish kvxmux
