#!/usr/bin/env bash
# Recordings laid out as a recorder writes them (kvxmux --fps), turned into
# MP4 and Matroska by orvale -f, and held to their sources through ffmpeg:
# (a) the video decodes to exactly the source's pictures, in display order;
# (b) every picture has the time its recording gave it, dts rise, no pts
#     comes before its dts;
# (c) each audio stream starts with the video and lasts as long, with the
#     source's channels and rate;
# (d) ffmpeg -xerror, mkvmerge and GStreamer read the file without a word.
#
#   mux.sh ORVALE KVXMUX [EMULATOR...]
# ORVALE_MUX_REFERENCE=1 checks files that ffmpeg muxes from the same sources
# instead of orvale's, to try the checks themselves; =rate, =drop or =offset
# spoils those files (pictures at 5/6 of their rate, picture 50 left out, the
# audio half a second late), and then every row should fail (the row without
# audio passes the late audio).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
e2e_start "$@"
reference=${ORVALE_MUX_REFERENCE:-}
for tool in mkvmerge gst-discoverer-1.0; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not found: muxer checks skipped"
    [[ -n ${ORVALE_REQUIRE_FFMPEG:-} ]] && exit 1
    exit 77
  fi
done

# Sources, made once each when a row first names them.
#   video PROFILE:RATE:SECONDS[:SPS_RATE]  x264 with two B-frames (bf),
#     baseline (base), or lossless 720p noise with two B-frames (big:
#     pictures of over 1 MiB); its stream says SPS_RATE pictures a second
#     when given.
#     $(source_path SHAPE).264 for kvxmux; .mp4, the same pictures with their
#     times, for the reference files.
#   audio CODEC:HZ:CHANNELS:SECONDS  aac or mp3, a tone; $(source_path SHAPE).CODEC
source_path() { echo "$work/${1//[:\/]/_}"; }
video() {
  local shape=$1 profile rate seconds sps options=() metadata=() path size=160x96 noise=
  IFS=: read -r profile rate seconds sps <<<"$shape"
  path=$(source_path "$shape")
  [[ -e $path.264 ]] && return
  case $profile in
    bf) options=(-bf 2) ;;
    base) options=(-profile:v baseline) ;;
    big) options=(-bf 2 -qp 0) size=1280x720 noise=,noise=alls=100:allf=t ;;
  esac
  [[ -n $sps ]] && metadata=(-bsf:v "h264_metadata=tick_rate=$((2 * sps))")
  ff -f lavfi -i "testsrc2=size=$size:rate=$rate:duration=$seconds$noise" -c:v libx264 \
    -preset veryfast -pix_fmt yuv420p -g 60 "${options[@]}" "${metadata[@]}" "$path.mp4"
  ff -i "$path.mp4" -c copy -f h264 "$path.264"
}
audio() {
  local shape=$1 codec rate channels seconds path
  IFS=: read -r codec rate channels seconds <<<"$shape"
  path=$(source_path "$shape").$codec
  [[ -e $path ]] && return
  local tone=(-f lavfi -i "sine=frequency=$((220 * channels)):sample_rate=$rate:duration=$seconds"
    -ac "$channels")
  case $codec in
    aac) ff "${tone[@]}" -c:a aac -b:a 64k -f adts "$path" ;;
    mp3) ff "${tone[@]}" -c:a libmp3lame -b:a 96k -write_xing 0 -id3v2_version 0 "$path" ;;
  esac
}

# The rate a row's pictures start at, and where each later segment begins:
# "30:120,15" gives 30 and the pairs "120 4" (picture 120 at 4 s).
first_rate() { local s=${1%%,*}; echo "${s%%:*}"; }
picture_length() {  # picture_length RATE: the seconds one picture lasts, as D/N
  if [[ $1 == */* ]]; then echo "${1#*/}/${1%/*}"; else echo "1/$1"; fi
}
segment_starts() {
  local item at=0 seconds=0 rate count
  local -a items
  IFS=, read -ra items <<<"$1"
  for item in "${items[@]:0:${#items[@]}-1}"; do
    rate=${item%%:*} count=${item#*:}
    seconds=$(awk "BEGIN { print $seconds + $count * $(picture_length "$rate") }")
    at=$((at + count))
    echo "$at $seconds"
  done
}

# ffmpeg's own file from the same sources, spoilt as ORVALE_MUX_REFERENCE asks.
reference_mux() {  # reference_mux FORMAT OUT VIDEO SEGMENTS AUDIO...
  local format=$1 out=$2 video=$3 segments=$4 bsf=() offset=() inputs=() maps=(-map 0:v) s=1 a
  shift 4
  local starts
  starts=$(segment_starts "$segments")
  if [[ -n $starts ]]; then
    # One change of rate: times past the change stretched by the ratio.
    local at ratio
    at=$(cut -d' ' -f2 <<<"$starts")
    ratio=$(awk -v a="$(first_rate "$segments")" -v b="${segments##*,}" 'BEGIN { print a / b }')
    bsf+=("setts=pts=if(lt(PTS\\,$at/TB)\\,PTS\\,$at/TB+(PTS-$at/TB)*$ratio):dts=if(lt(DTS\\,$at/TB)\\,DTS\\,$at/TB+(DTS-$at/TB)*$ratio)")
  else
    # Else ffmpeg guesses the last picture's length from the stream's own
    # rate, which one row's stream gives wrong on purpose.
    bsf+=("setts=pts=PTS:dts=DTS:duration=($(picture_length "$segments"))/TB")
  fi
  case $reference in
    rate) bsf+=("setts=pts=PTS*6/5:dts=DTS*6/5:duration=DURATION*6/5") ;;
    drop) bsf+=("noise=drop=eq(n\\,50)") ;;
    offset) offset=(-itsoffset 0.5) ;;
  esac
  for a in "$@"; do
    if [[ $a == *.aac ]]; then
      # ADTS holds the AAC configuration in its headers, which a Matroska
      # header on a pipe needs before the first packet.
      [[ -e $a.m4a ]] || ff -i "$a" -c copy "$a.m4a"
      a=$a.m4a
    fi
    inputs+=("${offset[@]}" -i "$a")
    maps+=(-map "$s:a")
    s=$((s + 1))
  done
  local joined
  joined=$(IFS=,; echo "${bsf[*]}")
  local muxer=(-f "$([[ $format == mkv ]] && echo matroska || echo mp4)")
  [[ $out == - && $format == mp4 ]] && muxer+=(-movflags frag_keyframe+empty_moov+delay_moov)
  ff -i "$video" "${inputs[@]}" "${maps[@]}" -c copy ${joined:+-bsf:v "$joined"} "${muxer[@]}" "$out"
}

# Each file is made once and read many times; what ffmpeg tells of it is kept
# beside it.
cached() {  # cached FILE KIND COMMAND...: COMMAND's output, run once for FILE
  local file=$1.$2
  shift 2
  [[ -e $file ]] || "$@" >"$file"
  cat "$file"
}

# --- (a) pictures ---
picture_hashes() {
  cached "$1" md5 ff -i "$1" -map 0:v:0 -fps_mode passthrough -f framemd5 - | grep -v '^#' |
    cut -d, -f6
}
same_pictures() { cmp -s <(picture_hashes "$1") <(picture_hashes "$2"); }
key_pictures() {  # the key pictures' count: a player seeks only to these
  ffprobe -v error -select_streams v:0 -show_entries packet=flags -of csv=p=0 "$1" | grep -c K
}

# --- (b) times ---
video_packets() {  # pts and dts in seconds, one packet a line, in file order
  cached "$1" packets \
    ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,dts_time -of csv=p=0 "$1"
}
steps_are() {  # steps_are FILE RATE: sorted pts one picture apart, within 1 ms
  video_packets "$1" | cut -d, -f1 | sort -g | awk -v r="$2" -F, '
    BEGIN { split(r, f, "/"); if (!(2 in f)) f[2] = 1; step = f[2] / f[1] }
    NR > 1 && ($1 - last - step > 0.001 || last - $1 + step > 0.001) { bad = 1 }
    { last = $1 } END { exit bad || NR < 2 }'
}
same_rate() {  # same_rate A B: two rates (N or N/D) equal
  awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, "/"); split(b, y, "/");
    if (!(2 in x)) x[2] = 1; if (!(2 in y)) y[2] = 1
    exit !(y[2] * x[1] != 0 && (x[1] * y[2] - y[1] * x[2]) ^ 2 < 1e-12 * (x[2] * y[1]) ^ 2) }'
}
stream_field() {  # stream_field FILE SELECTOR FIELD
  ffprobe -v error -select_streams "$2" -show_entries "stream=$3" -of csv=p=0 "$1"
}
says_rate() { same_rate "$(stream_field "$1" v:0 "$2")" "$3"; }
picture_at() {  # picture_at FILE N SECONDS: picture N in display order, 60 ms either way
  video_packets "$1" | cut -d, -f1 | sort -g | awk -v n="$2" -v t="$3" '
    NR == 1 { first = $1 } NR == n + 1 { at = $1 - first; found = 1 }
    END { exit !(found && at - t < 0.06 && t - at < 0.06) }'
}
dts_rise() {  # dts strictly rising where known, and no pts before its dts
  video_packets "$1" | awk -F, '
    $2 != "N/A" { if (seen && $2 <= last) bad = 1; seen = 1; last = $2
                  if ($1 != "N/A" && $1 < $2) bad = 1 }
    END { exit bad || !seen }'
}

# --- (c) audio ---
span() {  # span FILE SELECTOR: first pts and end (last pts + duration)
  ffprobe -v error -select_streams "$2" -show_entries packet=pts_time,duration_time -of csv=p=0 "$1" |
    sort -g | awk -F, 'NR == 1 { first = $1 } { if ($1 + $2 > end) end = $1 + $2 }
      END { print first, end }'
}
audio_with_video() {  # audio_with_video FILE STREAM RATE: starts within a picture, ends within 150 ms
  local video audio
  video=$(span "$1" v:0) audio=$(span "$1" "a:$2")
  awk -v v="$video" -v a="$audio" -v r="$3" 'BEGIN { split(r, f, "/"); if (!(2 in f)) f[2] = 1
    split(v, x, " "); split(a, y, " "); d = y[1] - x[1]; e = (y[2] - y[1]) - (x[2] - x[1])
    exit !(d * d <= (f[2] / f[1]) ^ 2 && e * e <= 0.15 ^ 2) }'
}
audio_count() { ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "$1" | grep -c audio || true; }

# --- (d) other readers ---
strict_clean() { local err; err=$(ff -xerror -i "$1" -f null - 2>&1) && [[ -z $err ]]; }
mkvmerge_reads() {
  local json
  json=$(mkvmerge -J "$1") && grep -q '"errors": \[\]' <<<"$json" &&
    grep -q '"recognized": true' <<<"$json" && grep -q '"supported": true' <<<"$json"
}
gstreamer_reads() {
  local out
  out=$(gst-discoverer-1.0 "$1" 2>&1) && grep -q 'video #' <<<"$out" &&
    ! grep -qiE 'error|missing plugin' <<<"$out"
}

make_output() {  # make_output FORMAT KVX OUT VIDEO SEGMENTS AUDIO...
  local format=$1 kvx=$2 out=$3 video=$4 segments=$5
  shift 5
  if [[ -n $reference ]]; then
    reference_mux "$format" "$out" "$video" "$segments" "$@"
  else
    # A sound recording is made without a word.
    local err
    err=$("$orvale" -q -f "$format" -o "$(dirname "$out")" "$kvx" 2>&1) && [[ -z $err ]]
  fi
}

# --list tells the rates the file is timed by: "30:0,15:120" for 30 from
# picture 0, then 15 from picture 120; the expectation says "30:120,15".
listed_rates() {
  "$orvale" --list --json "$1" | awk -F': ' '
    /"first_picture"/ { first = $2; sub(/,$/, "", first) }
    /"rate"/ { rate = $2; gsub(/[",]/, "", rate); out = out (n++ ? "," : "") rate ":" first }
    END { print out }'
}
expected_rates() {
  awk -v e="$1" 'BEGIN { n = split(e, parts, ","); first = 0; out = ""
    for (i = 1; i <= n; i++) { split(parts[i], p, ":"); out = out (i > 1 ? "," : "") p[1] ":" first
      first += p[2] } print out }'
}

check_output() {  # check_output LABEL OUT SOURCE264 SEGMENTS EXPECT AUDIO_SOURCES...
  local label=$1 out=$2 source=$3 segments=$4 expect=$5
  shift 5
  local rate
  rate=$(first_rate "$expect")
  check "$label: (a) the source's pictures, every one, in display order" same_pictures "$out" "$source"
  if [[ $expect == *,* ]]; then
    local at seconds
    while read -r at seconds; do
      check "$label: (b) picture $at at $seconds s" picture_at "$out" "$at" "$seconds"
    done < <(segment_starts "$expect")
  else
    check "$label: (b) one picture every 1/$expect s" steps_are "$out" "$expect"
    check "$label: (b) avg_frame_rate says $expect" says_rate "$out" avg_frame_rate "$expect"
    check "$label: (b) r_frame_rate says $expect" says_rate "$out" r_frame_rate "$expect"
  fi
  check "$label: (b) dts rise, no pts before its dts" dts_rise "$out"
  check "$label: (b) the key pictures are the source's" \
    [ "$(key_pictures "$out")" = "$(key_pictures "$source")" ]
  check "$label: (c) $# audio streams" [ "$(audio_count "$out")" = "$#" ]
  local s=0 a
  for a in "$@"; do
    check "$label: (c) audio $s starts and ends with the video" audio_with_video "$out" "$s" "$rate"
    for field in channels sample_rate; do
      check "$label: (c) audio $s $field as the source's" \
        [ "$(stream_field "$out" "a:$s" "$field")" = "$(stream_field "$a" a:0 "$field")" ]
    done
    s=$((s + 1))
  done
}

# name | video | audio... | kvxmux --fps | expected rate or segments | formats
rows=(
  "b30      | bf:30:6           | aac:44100:2:6                 | 30         | 30         | mp4 mkv"
  "base30   | base:30:6         | aac:48000:1:6 aac:48000:2:6   | 30         | 30         | mp4"
  "b2997    | bf:30000/1001:6   | aac:48000:2:6                 | 30000/1001 | 30000/1001 | mp4 mkv"
  "base2997 | base:30000/1001:6 | aac:44100:1:6                 | 30000/1001 | 30000/1001 | mp4"
  "b25      | bf:25:8           | mp3:44100:2:8                 | 25         | 25         | mp4"
  "base25   | base:25:8         | aac:44100:2:8 aac:44100:1:8   | 25         | 25         | mp4"
  "drop     | bf:30:6           | aac:44100:2:8                 | 30:120,15  | 30:120,15  | mp4"
  "says25   | bf:15:8:25        | aac:48000:2:8                 | 15         | 15         | mp4"
  "silent   | bf:30:6           |                               | 30         | 30         | mp4"
  "big      | big:30:1          | aac:48000:2:1                 | 30         | 30         | mp4 mkv"
)
mkdir "$work/out"
for row in "${rows[@]}"; do
  IFS='|' read -r name vspec aspecs fps expect formats <<<"$row"
  read -r name <<<"$name"
  read -r vspec <<<"$vspec"
  read -r fps <<<"$fps"
  read -r expect <<<"$expect"
  video "$vspec"
  sources=()
  for a in $aspecs; do
    audio "$a"
    sources+=("$(source_path "$a").${a%%:*}")
  done
  kvx=$work/$name.kvx
  vpath=$(source_path "$vspec")
  "$kvxmux" --fps "$fps" "$kvx" "$vpath.264" "${sources[@]}"
  [[ -n $reference ]] ||
    check "$name: --list tells the rates $expect" [ "$(listed_rates "$kvx")" = "$(expected_rates "$expect")" ]
  for format in $formats; do
    out=$work/out/$name.kvx.$format
    if make_output "$format" "$kvx" "$out" "$vpath.mp4" "$fps" "${sources[@]}"; then
      check_output "$name.$format" "$out" "$vpath.264" "$fps" "$expect" "${sources[@]}"
      check "$name.$format: (d) ffmpeg -xerror decodes it without a word" strict_clean "$out"
      check "$name.$format: (d) mkvmerge reads it" mkvmerge_reads "$out"
      check "$name.$format: (d) GStreamer reads it" gstreamer_reads "$out"
    else
      check "$name.$format: made" false
    fi
  done
done

# Ten packets the walk skips, whose numbers the index gives: their time is
# left out, for the pictures and the audio alike, so both end together and
# the picture after them is where it was.
lost_gap() {
  local kvx=$work/lost.kvx out=$work/out/lost.kvx.mp4 k at status=0
  cp "$work/base30.kvx" "$kvx"
  for ((k = 60; k < 70; k++)); do
    at=$(($(packet_offset "$kvx" "$k") + 9))
    printf '\377\377\377\177' | dd of="$kvx" bs=1 seek="$at" conv=notrunc status=none
  done
  "$orvale" -q -f mp4 -o "$work/out" "$kvx" 2>/dev/null || status=$?
  check "lost: ends with status 1" [ "$status" = 1 ]
  check "lost: picture 60 of those written is at 70/30 s" picture_at "$out" 60 2.3333
  check "lost: audio 0 starts and ends with the video" audio_with_video "$out" 0 30
  check "lost: audio 1 starts and ends with the video" audio_with_video "$out" 1 30
}
[[ -n $reference ]] || lost_gap

# A rate ADTS has no index for is no fault in MP4: the AudioSpecificConfig
# spells it out, and nothing is told.
odd_rate() {
  local kvx=$work/odd.kvx out=$work/out/odd.kvx.mkv
  cp "$work/base30.kvx" "$kvx"
  printf '\250\223\000\000' | dd of="$kvx" bs=1 seek=48 conv=notrunc status=none  # 37800 Hz
  check "odd rate: made without a word" make_output mkv "$kvx" "$out" "" 30
  check "odd rate: the file says 37800 Hz" grep -q '"audio_sampling_frequency": 37800' \
    <(mkvmerge -J "$out")
}
[[ -n $reference ]] || odd_rate

# A pipe cannot be read twice: refused, saying why, and nothing is made.
from_pipe() {
  local fifo=$work/pipe.kvx err status=0
  mkfifo "$fifo"
  cat "$work/base30.kvx" >"$fifo" 2>/dev/null &
  err=$("$orvale" -q -f mp4 -o "$work/out" "$fifo" 2>&1) || status=$?
  wait || true
  check "pipe: refused with status 2" [ "$status" = 2 ]
  check "pipe: says it needs a regular file" grep -q 'need a regular file' <<<"$err"
  check "pipe: nothing made" [ ! -e "$work/out/pipe.kvx.mp4" ]
}
[[ -n $reference ]] || from_pipe

# To standard output: Matroska, and MP4 in fragments, as a pipe allows.
for format in mkv mp4; do
  out=$work/piped.$format
  if [[ -n $reference ]]; then
    made() { reference_mux "$format" - "$(source_path bf:30:6).mp4" 30 "$(source_path aac:44100:2:6).aac"; }
  else
    made() { "$orvale" -q -f "$format" -c "$work/b30.kvx"; }
  fi
  check "stdout.$format: made" made >"$out"
  check_output "stdout.$format" "$out" "$(source_path bf:30:6).264" 30 30 \
    "$(source_path aac:44100:2:6).aac"
  check "stdout.$format: (d) ffmpeg -xerror decodes it without a word" strict_clean "$out"
done
check "stdout.mp4: fragmented" grep -q moof "$work/piped.mp4"

e2e_finish mux
